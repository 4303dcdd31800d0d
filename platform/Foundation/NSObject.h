#pragma once
// The root of the object model: an intrusive, atomic reference count that starts at 1,
// retain/release/autorelease, a virtual teardown chain (dealloc) and the delayed / main-thread
// perform family. Including this header brings the whole object model: thread checks,
// selectors, alloc, Ref, as<> and the autorelease pool.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include "Foundation/Export.h"

#include "Foundation/Selector.h"
#include "Foundation/ThreadCheck.h"

class NSString;

class BD_EXPORT NSObject {
  public:
    NSObject() = default;
    NSObject(const NSObject&) = delete;
    NSObject& operator=(const NSObject&) = delete;

    // [any-thread]
    NSObject* retain() {
        _retainCount.fetch_add(1, std::memory_order_relaxed);
        return this;
    }
    // [any-thread] Drops one reference; the last one runs dealloc().
    void release();
    // [any-thread] Hands the reference to the innermost autorelease pool of this thread.
    NSObject* autorelease();
    // [any-thread]
    int retainCount() const { return _retainCount.load(std::memory_order_relaxed); }

    // -init [any-thread]: the base initialiser; returns the object or null (releasing itself on
    // failure). Subclasses that override it return their own pointer type.
    [[nodiscard]] virtual NSObject* init() { return this; }

    // -description, -isEqual:, -hash [any-thread]
    virtual NSString* description();
    virtual bool isEqual(NSObject* other) { return other == this; }
    virtual size_t hash() { return reinterpret_cast<size_t>(this); }

    // -respondsToSelector: [any-thread]
    virtual bool respondsToSelector(const Selector& sel) { return sel.accepts(this); }

    // -performSelector:withObject:afterDelay: [main-thread] (runs on the main run loop).
    // The pending call retains the target and the argument until it has run or been cancelled.
    void performSelector(const Selector& sel, NSObject* withObject, double afterDelay);
    // +cancelPreviousPerformRequestsWithTarget:selector:object: [main-thread]
    static void cancelPreviousPerformRequestsWithTarget(NSObject* target, const Selector& selector,
                                                        NSObject* object);
    // -performSelectorOnMainThread:withObject:waitUntilDone: [any-thread]
    // Runs inline when already on the main thread and asked to wait.
    void performSelectorOnMainThread(const Selector& sel, NSObject* withObject, bool waitUntilDone);

  protected:
    // -dealloc: teardown chain. Each class tears down its own state and then calls its base's
    // dealloc; NSObject::dealloc frees the object. Runs with the whole object alive, so a
    // message the teardown sends to itself reaches the most derived class.
    virtual void dealloc();
    virtual ~NSObject();

  private:
    std::atomic<int> _retainCount{1};
#if defined(BD_DEBUG_CHECKS)
    // Debug builds mark a live object so that a release or autorelease after the teardown is
    // caught instead of corrupting memory.
    static constexpr uint32_t kLiveMagic = 0x0b1ec7u;
    static constexpr uint32_t kDeadMagic = 0xdeadb1ecu;
    std::atomic<uint32_t> _magic{kLiveMagic};
#endif
};

#include "Foundation/Alloc.h"
#include "Foundation/Cast.h"
#include "Foundation/NSAutoreleasePool.h"
#include "Foundation/Ref.h"
