#pragma once
// NSDictionary / NSMutableDictionary: key -> object, keys compared by isEqual/hash.
// Iteration order (allKeys/allValues) is insertion order; replacing a value keeps its place.

#include <unordered_map>
#include <vector>
#include "Foundation/Export.h"

#include "Foundation/NSArray.h"
#include "Foundation/NSObject.h"

class NSString;

class BD_EXPORT NSDictionary : public NSObject {
  public:
    // +dictionary [any-thread]
    static NSDictionary* dictionary();
    // +dictionaryWithObjects:forKeys: [any-thread] pairs up to the shorter list; null entries
    // skipped.
    static NSDictionary* dictionaryWithObjects(NSArray* objects, NSArray* forKeys);
    // +dictionaryWithContentsOfFile: [any-thread] a property list (XML or binary) whose root is
    // a dictionary; null otherwise.
    static NSDictionary* dictionaryWithContentsOfFile(NSString* path);

    // -objectForKey: [any-thread] null when absent.
    virtual NSObject* objectForKey(NSObject* key) const;
    // -count [any-thread]
    virtual size_t count() const { return _keys.size(); }
    // -allKeys / -allValues [any-thread] in the same order.
    virtual NSArray* allKeys() const;
    virtual NSArray* allValues() const;

    bool isEqual(NSObject* other) override;
    NSString* description() override;

  protected:
    struct KeyHash {
        size_t operator()(NSObject* k) const { return k->hash(); }
    };
    struct KeyEq {
        bool operator()(NSObject* a, NSObject* b) const { return a == b || a->isEqual(b); }
    };
    void put(NSObject* key, NSObject* value);
    void erase(NSObject* key);
    void clear();

    std::vector<Ref<NSObject>> _keys;
    std::vector<Ref<NSObject>> _values;
    std::unordered_map<NSObject*, size_t, KeyHash, KeyEq> _index;  // key -> position
};

class BD_EXPORT NSMutableDictionary : public NSDictionary {
  public:
    // +dictionary [any-thread]
    static NSMutableDictionary* dictionary();
    // +dictionaryWithCapacity: [any-thread]
    static NSMutableDictionary* dictionaryWithCapacity(size_t capacity);
    // -initWithCapacity: [any-thread]
    [[nodiscard]] virtual NSMutableDictionary* initWithCapacity(size_t capacity);

    // -setObject:forKey: [any-thread] a null object or key is ignored.
    virtual void setObject(NSObject* object, NSObject* forKey);
    // -removeObjectForKey: [any-thread]
    virtual void removeObjectForKey(NSObject* key);
    // -removeAllObjects [any-thread]
    virtual void removeAllObjects();
    // -setDictionary: [any-thread] replaces the whole content (null empties it).
    virtual void setDictionary(NSDictionary* other);
};
