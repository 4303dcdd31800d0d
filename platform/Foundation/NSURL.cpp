#include "Foundation/NSURL.h"

#include "Foundation/NSString.h"

NSURL* NSURL::fileURLWithPath(NSString* path) {
    if (!path) return nullptr;
    NSURL* u = alloc<NSURL>();
    u->_path = retained(path);
    u->autorelease();
    return u;
}

NSString* NSURL::absoluteString() {
    return NSString::stringWithFormat("file://%s", _path->UTF8String());
}

bool NSURL::isEqual(NSObject* other) {
    auto* u = dynamic_cast<NSURL*>(other);
    return u && u->_path->isEqual(_path.get());
}

size_t NSURL::hash() {
    return _path->hash();
}
NSString* NSURL::description() {
    return absoluteString();
}
