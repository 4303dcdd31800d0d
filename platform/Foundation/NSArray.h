#pragma once
// NSArray / NSMutableArray: an ordered list of retained objects (null entries are not stored).

#include <initializer_list>
#include <vector>
#include "Foundation/Export.h"

#include "Foundation/NSObject.h"

class BD_EXPORT NSArray : public NSObject {
  public:
    using const_iterator = std::vector<Ref<NSObject>>::const_iterator;

    // +array [any-thread]
    static NSArray* array();
    // +arrayWithObjects: [any-thread] nulls are skipped.
    static NSArray* arrayWithObjects(std::initializer_list<NSObject*> objects);

    // -count [any-thread]
    virtual size_t count() const { return _objects.size(); }
    // -objectAtIndex: [any-thread] null when out of range.
    virtual NSObject* objectAtIndex(size_t index) const;
    // -firstObject / -lastObject [any-thread] null when empty.
    virtual NSObject* firstObject() const;
    virtual NSObject* lastObject() const;
    // -containsObject: [any-thread] by isEqual.
    virtual bool containsObject(NSObject* object) const;
    // -indexOfObject: [any-thread] count() when absent.
    virtual size_t indexOfObject(NSObject* object) const;

    bool isEqual(NSObject* other) override;
    NSString* description() override;

    // range-for over NSObject*
    struct iterator {
        const_iterator it;
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
    std::vector<Ref<NSObject>> _objects;
};

class BD_EXPORT NSMutableArray : public NSArray {
  public:
    // +array [any-thread]
    static NSMutableArray* array();
    // +arrayWithCapacity: [any-thread]
    static NSMutableArray* arrayWithCapacity(size_t capacity);

    // -addObject: [any-thread] null is ignored.
    virtual void addObject(NSObject* object);
    // -insertObject:atIndex: [any-thread] index past the end appends.
    virtual void insertObject(NSObject* object, size_t atIndex);
    // -removeObject: [any-thread] every entry equal to object.
    virtual void removeObject(NSObject* object);
    // -removeObjectAtIndex: [any-thread] out of range is ignored.
    virtual void removeObjectAtIndex(size_t index);
    // -removeAllObjects [any-thread]
    virtual void removeAllObjects();
};
