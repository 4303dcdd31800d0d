#include "QuartzCore/CAAnimation.h"

#include "Foundation/NSArray.h"
#include "Foundation/NSString.h"

CAAnimationDelegate::~CAAnimationDelegate() {
    if (_slot) _slot->target.store(nullptr, std::memory_order_release);
}

// ----- CAAnimation

CAAnimation* CAAnimation::animation() {
    CAAnimation* a = alloc<CAAnimation>()->init();
    if (a) a->autorelease();
    return a;
}

CAAnimation* CAAnimation::init() {
    NSObject::init();
    return this;
}

CAAnimation* CAAnimation::copy() {
    CAAnimation* c = alloc<CAAnimation>()->init();
    copyAnimationFieldsTo(c);
    return c;
}

void CAAnimation::copyAnimationFieldsTo(CAAnimation* other) {
    other->_duration = _duration;
    other->_repeatCount = _repeatCount;
    other->_autoreverses = _autoreverses;
    other->_removedOnCompletion = _removedOnCompletion;
    other->_delegate = _delegate;  // the same slot: the copy tells the same delegate
}

CAAnimationDelegate* CAAnimation::delegate() {
    return _delegate ? _delegate->target.load(std::memory_order_acquire) : nullptr;
}

void CAAnimation::setDelegate(CAAnimationDelegate* delegate) {
    BD_ASSERT_MAIN_THREAD();
    if (!delegate) {
        _delegate.reset();
        return;
    }
    if (!delegate->_slot) {
        delegate->_slot = std::make_shared<bd::AnimationDelegateSlot>();
        delegate->_slot->target.store(delegate, std::memory_order_release);
    }
    _delegate = delegate->_slot;
}

void CAAnimation::sendDidStart() {
    if (_didStartSent) return;
    _didStartSent = true;
    // Keep the animation alive through the call: the delegate may drop the last reference.
    Ref<CAAnimation> keep(this);
    if (CAAnimationDelegate* d = delegate()) d->animationDidStart(this);
}

void CAAnimation::sendDidStop(bool finished) {
    if (_didStopSent) return;
    Ref<CAAnimation> keep(this);
    sendDidStart();
    _didStopSent = true;
    if (CAAnimationDelegate* d = delegate()) d->animationDidStop(this, finished);
}

// ----- CABasicAnimation

CABasicAnimation* CABasicAnimation::animationWithKeyPath(NSString* path) {
    auto* a = static_cast<CABasicAnimation*>(alloc<CABasicAnimation>()->init());
    if (!a) return nullptr;
    a->setKeyPath(path);
    a->autorelease();
    return a;
}

CABasicAnimation* CABasicAnimation::copy() {
    auto* c = static_cast<CABasicAnimation*>(alloc<CABasicAnimation>()->init());
    copyAnimationFieldsTo(c);
    c->_keyPath = _keyPath;
    c->_fromValue = _fromValue;
    c->_toValue = _toValue;
    return c;
}

void CABasicAnimation::setKeyPath(NSString* keyPath) {
    _keyPath = keyPath;
}

// ----- CAAnimationGroup

CAAnimationGroup* CAAnimationGroup::animation() {
    auto* g = static_cast<CAAnimationGroup*>(alloc<CAAnimationGroup>()->init());
    if (g) g->autorelease();
    return g;
}

CAAnimationGroup* CAAnimationGroup::copy() {
    auto* c = static_cast<CAAnimationGroup*>(alloc<CAAnimationGroup>()->init());
    copyAnimationFieldsTo(c);
    if (_animations) {
        Ref<NSMutableArray> members(NSMutableArray::arrayWithCapacity(_animations->count()));
        for (NSObject* o : *_animations)
            if (auto* a = as<CAAnimation>(o)) members->addObject(adopt(a->copy()).get());
        c->_animations = members.get();
    }
    return c;
}

void CAAnimationGroup::setAnimations(NSArray* animations) {
    // The group keeps its own list, so later changes to a mutable array don't reach it.
    if (!animations) {
        _animations = nullptr;
        return;
    }
    Ref<NSMutableArray> members(NSMutableArray::arrayWithCapacity(animations->count()));
    for (NSObject* o : *animations) members->addObject(o);
    _animations = members.get();
}
