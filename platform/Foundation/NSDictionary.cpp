#include "Foundation/NSDictionary.h"

#include "Foundation/NSArray.h"
#include "Foundation/NSPropertyList.h"
#include "Foundation/NSString.h"

NSDictionary* NSDictionary::dictionary() {
    NSDictionary* d = alloc<NSDictionary>();
    d->autorelease();
    return d;
}

NSDictionary* NSDictionary::dictionaryWithObjects(NSArray* objects, NSArray* forKeys) {
    NSDictionary* d = alloc<NSDictionary>();
    d->autorelease();
    if (!objects || !forKeys) return d;
    size_t n = objects->count() < forKeys->count() ? objects->count() : forKeys->count();
    for (size_t i = 0; i < n; ++i) d->put(forKeys->objectAtIndex(i), objects->objectAtIndex(i));
    return d;
}

NSDictionary* NSDictionary::dictionaryWithContentsOfFile(NSString* path) {
    return as<NSDictionary>(NSPropertyList::propertyListWithContentsOfFile(path));
}

void NSDictionary::put(NSObject* key, NSObject* value) {
    if (!key || !value) return;
    auto it = _index.find(key);
    if (it != _index.end()) {
        _values[it->second] = retained(value);
        return;
    }
    _keys.push_back(retained(key));
    _values.push_back(retained(value));
    _index.emplace(key, _keys.size() - 1);
}

void NSDictionary::erase(NSObject* key) {
    if (!key) return;
    auto it = _index.find(key);
    if (it == _index.end()) return;
    size_t pos = it->second;
    _index.erase(it);
    Ref<NSObject> k = _keys[pos], v = _values[pos];  // released after the maps are consistent
    _keys.erase(_keys.begin() + static_cast<std::ptrdiff_t>(pos));
    _values.erase(_values.begin() + static_cast<std::ptrdiff_t>(pos));
    for (auto& e : _index)
        if (e.second > pos) --e.second;
}

void NSDictionary::clear() {
    _index.clear();
    std::vector<Ref<NSObject>> k, v;
    k.swap(_keys);
    v.swap(_values);
}

NSObject* NSDictionary::objectForKey(NSObject* key) const {
    if (!key) return nullptr;
    auto it = _index.find(key);
    return it == _index.end() ? nullptr : _values[it->second].get();
}

NSArray* NSDictionary::allKeys() const {
    NSMutableArray* a = NSMutableArray::arrayWithCapacity(_keys.size());
    for (auto& k : _keys) a->addObject(k.get());
    return a;
}

NSArray* NSDictionary::allValues() const {
    NSMutableArray* a = NSMutableArray::arrayWithCapacity(_values.size());
    for (auto& v : _values) a->addObject(v.get());
    return a;
}

bool NSDictionary::isEqual(NSObject* other) {
    if (other == this) return true;
    auto* d = dynamic_cast<NSDictionary*>(other);
    if (!d || d->count() != count()) return false;
    for (size_t i = 0; i < _keys.size(); ++i) {
        NSObject* v = d->objectForKey(_keys[i].get());
        if (!v || !_values[i]->isEqual(v)) return false;
    }
    return true;
}

NSString* NSDictionary::description() {
    std::string s = "{";
    for (size_t i = 0; i < _keys.size(); ++i) {
        s += i ? "; " : " ";
        s += _keys[i]->description()->str() + " = " + _values[i]->description()->str();
    }
    s += _keys.empty() ? "}" : "; }";
    return NSString::stringWithStdString(std::move(s));
}

NSMutableDictionary* NSMutableDictionary::dictionary() {
    NSMutableDictionary* d = alloc<NSMutableDictionary>();
    d->autorelease();
    return d;
}

NSMutableDictionary* NSMutableDictionary::dictionaryWithCapacity(size_t capacity) {
    NSMutableDictionary* d = alloc<NSMutableDictionary>()->initWithCapacity(capacity);
    d->autorelease();
    return d;
}

NSMutableDictionary* NSMutableDictionary::initWithCapacity(size_t capacity) {
    size_t n = capacity < 4096 ? capacity : 4096;
    _keys.reserve(n);
    _values.reserve(n);
    _index.reserve(n);
    return this;
}

void NSMutableDictionary::setObject(NSObject* object, NSObject* forKey) {
    put(forKey, object);
}
void NSMutableDictionary::removeObjectForKey(NSObject* key) {
    erase(key);
}
void NSMutableDictionary::removeAllObjects() {
    clear();
}

void NSMutableDictionary::setDictionary(NSDictionary* other) {
    if (other == this) return;
    Ref<NSDictionary> keep = retained(other);
    clear();
    if (!other) return;
    NSArray* keys = other->allKeys();
    NSArray* values = other->allValues();
    for (size_t i = 0; i < keys->count(); ++i)
        put(keys->objectAtIndex(i), values->objectAtIndex(i));
}
