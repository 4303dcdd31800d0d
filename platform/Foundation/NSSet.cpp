#include "Foundation/NSSet.h"

#include <string>

#include "Foundation/NSArray.h"
#include "Foundation/NSString.h"

NSSet* NSSet::set() {
    NSSet* s = alloc<NSSet>();
    s->autorelease();
    return s;
}

NSSet* NSSet::setWithObject(NSObject* object) {
    NSSet* s = set();
    s->add(object);
    return s;
}

NSSet* NSSet::setWithObjects(std::initializer_list<NSObject*> objects) {
    NSSet* s = set();
    for (NSObject* o : objects) s->add(o);
    return s;
}

NSSet* NSSet::setWithArray(NSArray* array) {
    NSSet* s = set();
    if (array)
        for (NSObject* o : *array) s->add(o);
    return s;
}

void NSSet::add(NSObject* object) {
    if (!object || _members.count(object)) return;
    _objects.push_back(retained(object));
    _members.insert(object);
}

NSObject* NSSet::anyObject() const {
    return _objects.empty() ? nullptr : _objects.front().get();
}

NSObject* NSSet::member(NSObject* object) const {
    if (!object) return nullptr;
    auto it = _members.find(object);
    return it == _members.end() ? nullptr : *it;
}

bool NSSet::containsObject(NSObject* object) const {
    return member(object) != nullptr;
}

NSArray* NSSet::allObjects() const {
    NSMutableArray* a = NSMutableArray::arrayWithCapacity(_objects.size());
    for (auto& o : _objects) a->addObject(o.get());
    return a;
}

bool NSSet::isEqual(NSObject* other) {
    if (other == this) return true;
    auto* s = dynamic_cast<NSSet*>(other);
    if (!s || s->count() != count()) return false;
    for (auto& o : _objects)
        if (!s->containsObject(o.get())) return false;
    return true;
}

NSString* NSSet::description() {
    std::string text = "{(";
    for (size_t i = 0; i < _objects.size(); ++i) {
        text += i ? ", " : "";
        text += _objects[i]->description()->str();
    }
    text += ")}";
    return NSString::stringWithStdString(std::move(text));
}
