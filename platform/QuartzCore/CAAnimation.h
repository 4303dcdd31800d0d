#pragma once
// Layer animations: CAAnimation (timing, removal and delegate), CABasicAnimation (one key path
// from one value to another) and CAAnimationGroup (animations that run together), plus the
// protocol of their delegates. A layer runs an animation through CALayer::addAnimation, which
// attaches a copy; docs/animations.md states the runtime's timing and delegate rules.
// Animations are main-thread objects.

#include <atomic>
#include <memory>
#include "Foundation/Export.h"

#include "Foundation/NSObject.h"

class CAAnimation;
class CALayer;
class NSArray;
class NSString;

namespace bd {
// The shared slot through which animations reach their delegate; the delegate empties it when
// it is destroyed.
struct AnimationDelegateSlot;
}  // namespace bd

// The protocol of an animation's delegate. An animation does not own its delegate: it refers to
// it through a slot that the delegate empties when it is destroyed, so an animation never keeps
// its delegate alive (no cycle through a layer back to its view) and never calls one that is
// gone. Delegates must be destroyed on the main thread, where every call to them is made.
class BD_EXPORT CAAnimationDelegate {
  public:
    // -animationDidStart: [main-thread] the animation has begun. Base: nothing.
    virtual void animationDidStart(CAAnimation* anim) { (void)anim; }
    // -animationDidStop:finished: [main-thread] the animation has stopped, finished when it ran
    // to its end, not when it was removed or replaced before. Base: nothing.
    virtual void animationDidStop(CAAnimation* anim, bool finished) {
        (void)anim;
        (void)finished;
    }

  protected:
    CAAnimationDelegate() = default;
    virtual ~CAAnimationDelegate();  // [main-thread] empties the slot
    CAAnimationDelegate(const CAAnimationDelegate&) = delete;
    CAAnimationDelegate& operator=(const CAAnimationDelegate&) = delete;

  private:
    friend class CAAnimation;
    std::shared_ptr<bd::AnimationDelegateSlot> _slot;  // made when first named a delegate
};

namespace bd {
struct BD_EXPORT AnimationDelegateSlot {
    std::atomic<CAAnimationDelegate*> target{nullptr};
};
}  // namespace bd

// The base animation: how long it runs, how often, whether it plays back again, whether its
// layer lets go of it at the end, and whom it tells.
class BD_EXPORT CAAnimation : public NSObject {
  public:
    // +animation [main-thread] a new animation with every field at its default, autoreleased
    static CAAnimation* animation();
    [[nodiscard]] CAAnimation* init() override;  // [main-thread]
    // -copy [main-thread] a new animation with the same fields and delegate, owned by the caller
    [[nodiscard]] virtual CAAnimation* copy();

    // Fields [main-thread]. Defaults: duration 0 (the runtime runs that as 0.25 s), repeat
    // count 0 (once), no autoreverse, removed on completion, no delegate.
    virtual double duration() { return _duration; }
    virtual void setDuration(double duration) { _duration = duration; }
    virtual float repeatCount() { return _repeatCount; }
    virtual void setRepeatCount(float repeatCount) { _repeatCount = repeatCount; }
    virtual bool autoreverses() { return _autoreverses; }
    virtual void setAutoreverses(bool autoreverses) { _autoreverses = autoreverses; }
    // -isRemovedOnCompletion / -setRemovedOnCompletion:
    virtual bool isRemovedOnCompletion() { return _removedOnCompletion; }
    virtual void setRemovedOnCompletion(bool removedOnCompletion) {
        _removedOnCompletion = removedOnCompletion;
    }
    // -delegate / -setDelegate: not owned (see CAAnimationDelegate); null once it is gone.
    virtual CAAnimationDelegate* delegate();
    virtual void setDelegate(CAAnimationDelegate* delegate);

  protected:
    // Copies this class's fields and the delegate into a fresh animation.
    void copyAnimationFieldsTo(CAAnimation* other);

  private:
    friend class CALayer;
    // [main-thread] Tell the delegate, each at most once; a stop sends a start not yet sent.
    void sendDidStart();
    void sendDidStop(bool finished);

    double _duration = 0;
    float _repeatCount = 0;
    bool _autoreverses = false;
    bool _removedOnCompletion = true;
    std::shared_ptr<bd::AnimationDelegateSlot> _delegate;
    // Delivery state of an attached copy: each is told at most once, the start first.
    bool _didStartSent = false;
    bool _didStopSent = false;
};

// Animates one key path of a layer from fromValue to toValue, linearly. The values are
// NSNumbers; a value that is not set (or not a number) is taken from the layer: without a
// fromValue the animation starts from what the layer shows when it is attached; without a
// toValue it ends at the layer's own value; with neither it goes from what the layer showed
// before its value last changed to the value it has now.
class BD_EXPORT CABasicAnimation : public CAAnimation {
  public:
    // +animationWithKeyPath: [main-thread] autoreleased
    static CABasicAnimation* animationWithKeyPath(NSString* path);
    [[nodiscard]] CABasicAnimation* init() override;  // [main-thread]
    [[nodiscard]] CABasicAnimation* copy() override;  // [main-thread]

    // Fields [main-thread]
    virtual NSString* keyPath() { return _keyPath.get(); }
    virtual void setKeyPath(NSString* keyPath);
    virtual NSObject* fromValue() { return _fromValue.get(); }
    virtual void setFromValue(NSObject* fromValue) { _fromValue = retained(fromValue); }
    virtual NSObject* toValue() { return _toValue.get(); }
    virtual void setToValue(NSObject* toValue) { _toValue = retained(toValue); }

  private:
    Ref<NSString> _keyPath;
    Ref<NSObject> _fromValue;
    Ref<NSObject> _toValue;
};

// Runs its member animations together on one layer, each on the group's own time line (a
// member that is longer than the group is cut off). Only the group's delegate is told.
class BD_EXPORT CAAnimationGroup : public CAAnimation {
  public:
    // +animation [main-thread] a new, empty group, autoreleased
    static CAAnimationGroup* animation();
    [[nodiscard]] CAAnimationGroup* init() override;  // [main-thread]
    [[nodiscard]] CAAnimationGroup* copy() override;  // [main-thread] copies the members as well

    // -animations / -setAnimations: [main-thread] the members (CAAnimation objects), or null
    virtual NSArray* animations() { return _animations.get(); }
    virtual void setAnimations(NSArray* animations);

  private:
    Ref<NSArray> _animations;
};
