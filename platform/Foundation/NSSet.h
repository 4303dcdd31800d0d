#pragma once
// NSSet: an unordered collection of distinct retained objects (by isEqual/hash). Iteration and
// allObjects follow the order in which the objects were first added; null is never stored.

#include <initializer_list>
#include <unordered_set>
#include <vector>
#include "Foundation/Export.h"

#include "Foundation/NSObject.h"

class NSArray;

class BD_EXPORT NSSet : public NSObject {
  public:
    // +set [any-thread]
    static NSSet* set();
    // +setWithObject: [any-thread] an empty set for null.
    static NSSet* setWithObject(NSObject* object);
    // +setWithObjects: [any-thread] nulls are skipped, repeats kept once.
    static NSSet* setWithObjects(std::initializer_list<NSObject*> objects);
    // +setWithArray: [any-thread] an empty set for null.
    static NSSet* setWithArray(NSArray* array);

    // -count [any-thread]
    virtual size_t count() const { return _objects.size(); }
    // -anyObject [any-thread] one of the objects (the first added), null when empty.
    virtual NSObject* anyObject() const;
    // -containsObject: [any-thread] by isEqual.
    virtual bool containsObject(NSObject* object) const;
    // -member: [any-thread] the stored object equal to object, or null.
    virtual NSObject* member(NSObject* object) const;
    // -allObjects [any-thread] autoreleased.
    virtual NSArray* allObjects() const;

    bool isEqual(NSObject* other) override;
    NSString* description() override;

    // range-for over NSObject*
    struct iterator {
        std::vector<Ref<NSObject>>::const_iterator it;
        NSObject* operator*() const { return it->get(); }
        iterator& operator++() {
            ++it;
            return *this;
        }
        bool operator!=(const iterator& o) const { return it != o.it; }
        bool operator==(const iterator& o) const { return it == o.it; }
    };
    iterator begin() const { return {_objects.begin()}; }
    iterator end() const { return {_objects.end()}; }

  protected:
    // Adds object unless null or already present.
    void add(NSObject* object);

  private:
    struct Hash {
        size_t operator()(NSObject* o) const { return o->hash(); }
    };
    struct Eq {
        bool operator()(NSObject* a, NSObject* b) const { return a == b || a->isEqual(b); }
    };
    std::vector<Ref<NSObject>> _objects;
    std::unordered_set<NSObject*, Hash, Eq> _members;
};
