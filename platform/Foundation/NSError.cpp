#include "Foundation/NSError.h"

#include "Foundation/NSDictionary.h"
#include "Foundation/NSString.h"

NSString* NSLocalizedDescriptionKey() {
    return NSSTR("NSLocalizedDescription");
}

NSError* NSError::errorWithDomain(NSString* domain, long code, NSDictionary* userInfo) {
    NSError* e = alloc<NSError>();
    e->_domain = retained(domain);
    e->_code = code;
    e->_userInfo = retained(userInfo);
    e->autorelease();
    return e;
}

NSString* NSError::localizedDescription() {
    if (_userInfo)
        if (auto* s = as<NSString>(_userInfo->objectForKey(NSLocalizedDescriptionKey()))) return s;
    return NSString::stringWithFormat("The operation couldn't be completed. (%s error %ld.)",
                                      _domain ? _domain->UTF8String() : "", _code);
}

NSString* NSError::description() {
    return NSString::stringWithFormat("Error Domain=%s Code=%ld \"%s\"",
                                      _domain ? _domain->UTF8String() : "", _code,
                                      localizedDescription()->UTF8String());
}
