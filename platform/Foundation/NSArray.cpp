#include "Foundation/NSArray.h"

#include "Foundation/NSString.h"

NSArray* NSArray::array() {
    NSArray* a = alloc<NSArray>();
    a->autorelease();
    return a;
}

NSArray* NSArray::arrayWithObjects(std::initializer_list<NSObject*> objects) {
    NSArray* a = alloc<NSArray>();
    for (NSObject* o : objects)
        if (o) a->_objects.push_back(retained(o));
    a->autorelease();
    return a;
}

NSObject* NSArray::objectAtIndex(size_t index) const {
    return index < _objects.size() ? _objects[index].get() : nullptr;
}

NSObject* NSArray::firstObject() const {
    return _objects.empty() ? nullptr : _objects.front().get();
}
NSObject* NSArray::lastObject() const {
    return _objects.empty() ? nullptr : _objects.back().get();
}

size_t NSArray::indexOfObject(NSObject* object) const {
    if (!object) return _objects.size();
    for (size_t i = 0; i < _objects.size(); ++i)
        if (_objects[i].get() == object || _objects[i]->isEqual(object)) return i;
    return _objects.size();
}

bool NSArray::containsObject(NSObject* object) const {
    return indexOfObject(object) < _objects.size();
}

bool NSArray::isEqual(NSObject* other) {
    if (other == this) return true;
    auto* a = dynamic_cast<NSArray*>(other);
    if (!a || a->count() != count()) return false;
    for (size_t i = 0; i < _objects.size(); ++i)
        if (!_objects[i]->isEqual(a->_objects[i].get())) return false;
    return true;
}

NSString* NSArray::description() {
    std::string s = "(";
    for (size_t i = 0; i < _objects.size(); ++i) {
        s += i ? ", " : "";
        s += _objects[i]->description()->str();
    }
    s += ")";
    return NSString::stringWithStdString(std::move(s));
}

NSMutableArray* NSMutableArray::array() {
    NSMutableArray* a = alloc<NSMutableArray>();
    a->autorelease();
    return a;
}

NSMutableArray* NSMutableArray::arrayWithCapacity(size_t capacity) {
    NSMutableArray* a = array();
    a->_objects.reserve(capacity < 4096 ? capacity : 4096);
    return a;
}

void NSMutableArray::addObject(NSObject* object) {
    if (object) _objects.push_back(retained(object));
}

void NSMutableArray::insertObject(NSObject* object, size_t atIndex) {
    if (!object) return;
    if (atIndex > _objects.size()) atIndex = _objects.size();
    _objects.insert(_objects.begin() + static_cast<std::ptrdiff_t>(atIndex), retained(object));
}

void NSMutableArray::removeObject(NSObject* object) {
    if (!object) return;
    Ref<NSObject> keep = retained(object);  // the entry may hold the last reference to object
    std::erase_if(_objects,
                  [&](const Ref<NSObject>& o) { return o.get() == object || o->isEqual(object); });
}

void NSMutableArray::removeObjectAtIndex(size_t index) {
    if (index < _objects.size())
        _objects.erase(_objects.begin() + static_cast<std::ptrdiff_t>(index));
}

void NSMutableArray::removeAllObjects() {
    std::vector<Ref<NSObject>> old;
    old.swap(_objects);
}
