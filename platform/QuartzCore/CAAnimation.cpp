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
    if (!NSObject::init()) return nullptr;
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
    Ref<CAAnimation> keep = retained(this);
    if (CAAnimationDelegate* d = delegate()) d->animationDidStart(this);
}

void CAAnimation::sendDidStop(bool finished) {
    if (_didStopSent) return;
    Ref<CAAnimation> keep = retained(this);
    sendDidStart();
    _didStopSent = true;
    if (CAAnimationDelegate* d = delegate()) d->animationDidStop(this, finished);
}

// ----- CABasicAnimation

CABasicAnimation* CABasicAnimation::init() {
    return static_cast<CABasicAnimation*>(CAAnimation::init());
}

CABasicAnimation* CABasicAnimation::animationWithKeyPath(NSString* path) {
    CABasicAnimation* a = alloc<CABasicAnimation>()->init();
    if (!a) return nullptr;
    a->setKeyPath(path);
    a->autorelease();
    return a;
}

CABasicAnimation* CABasicAnimation::copy() {
    CABasicAnimation* c = alloc<CABasicAnimation>()->init();
    copyAnimationFieldsTo(c);
    c->_keyPath = _keyPath;
    c->_fromValue = _fromValue;
    c->_toValue = _toValue;
    return c;
}

void CABasicAnimation::setKeyPath(NSString* keyPath) {
    _keyPath = retained(keyPath);
}

// ----- CAAnimationGroup

CAAnimationGroup* CAAnimationGroup::init() {
    return static_cast<CAAnimationGroup*>(CAAnimation::init());
}

CAAnimationGroup* CAAnimationGroup::animation() {
    CAAnimationGroup* g = alloc<CAAnimationGroup>()->init();
    if (g) g->autorelease();
    return g;
}

CAAnimationGroup* CAAnimationGroup::copy() {
    CAAnimationGroup* c = alloc<CAAnimationGroup>()->init();
    copyAnimationFieldsTo(c);
    if (_animations) {
        Ref<NSMutableArray> members =
            retained(NSMutableArray::arrayWithCapacity(_animations->count()));
        for (NSObject* o : *_animations)
            if (auto* a = as<CAAnimation>(o)) members->addObject(adopt(a->copy()).get());
        c->_animations = members;
    }
    return c;
}

void CAAnimationGroup::setAnimations(NSArray* animations) {
    // The group keeps its own list, so later changes to a mutable array don't reach it.
    if (!animations) {
        _animations = nullptr;
        return;
    }
    Ref<NSMutableArray> members = retained(NSMutableArray::arrayWithCapacity(animations->count()));
    for (NSObject* o : *animations) members->addObject(o);
    _animations = members;
}
