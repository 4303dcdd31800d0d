#pragma once
// Operations and operation queues. Each queue runs its operations on worker threads of its
// own (at most maxConcurrentOperationCount at once, unbounded by default); the queue retains
// an operation while it is queued or running.

#include <atomic>
#include <memory>
#include "Foundation/Export.h"

#include "Foundation/NSObject.h"

class BD_EXPORT NSOperation : public NSObject {
  public:
    // -main: the body. [frame-thread] when run by a queue.
    virtual void main() {}
    // -start: runs main() unless cancelled or already started; then finished. [any-thread]
    virtual void start();
    virtual void cancel();             // [any-thread]
    virtual bool isCancelled() const;  // [any-thread]
    virtual bool isExecuting() const;  // [any-thread]
    virtual bool isFinished() const;   // [any-thread]

    // [any-thread] The operation whose start() is running on this thread, or null.
    static NSOperation* currentOperation();

  private:
    std::atomic<bool> _cancelled{false};
    std::atomic<bool> _executing{false};
    std::atomic<bool> _finished{false};
    std::atomic<bool> _started{false};
};

enum : long { NSOperationQueueDefaultMaxConcurrentOperationCount = -1 };

class BD_EXPORT NSOperationQueue : public NSObject {
  public:
    NSOperationQueue();
    // [any-thread] Retains op and runs it on a worker thread. An op already finished, running
    // or queued elsewhere is still retained and started; start() ignores a second start.
    virtual void addOperation(NSOperation* op);
    virtual void cancelAllOperations();         // [any-thread]
    virtual void setSuspended(bool suspended);  // [any-thread] suspends taking new operations
    virtual bool isSuspended();                 // [any-thread]
    // [any-thread] Blocks until no operation is queued or running. Not from a thread that an
    // operation of this queue waits for (the main thread while an op posts-and-waits to it).
    virtual void waitUntilAllOperationsAreFinished();
    virtual size_t operationCount();                      // [any-thread] queued + running
    virtual void setMaxConcurrentOperationCount(long n);  // [any-thread] -1: unbounded
    virtual long maxConcurrentOperationCount();           // [any-thread]

    struct BD_HIDDEN State;

  protected:
    void dealloc() override;  // queued operations are released; workers finish on their own

  private:
    std::shared_ptr<State> _state;
};
