// The object model's ownership rules: a Ref says whether it adopts or retains, initialisers
// return their own class, and a Ref survives assignment to itself.
#include <gtest/gtest.h>

#include <type_traits>

#include "Common/SoundPlay.h"
#include "Foundation/NSObject.h"
#include "QuartzCore/CAAnimation.h"
#include "UIKit/UIImageView.h"
#include "interface/DeskTopView.h"
#include "interface/IconViewNode.h"

namespace {

// A raw pointer never becomes a Ref by itself: `Ref<X> x = alloc<X>()->init();` does not compile.
static_assert(!std::is_convertible_v<NSObject*, Ref<NSObject>>);
static_assert(!std::is_constructible_v<Ref<NSObject>, NSObject*>);
static_assert(!std::is_assignable_v<Ref<NSObject>&, NSObject*>);
static_assert(std::is_constructible_v<Ref<NSObject>, Ref<IconViewNode>>);  // upcasts are fine

// Initialisers hand back the class that was allocated.
static_assert(std::is_same_v<decltype(alloc<SoundPlay>()->init()), SoundPlay*>);
static_assert(std::is_same_v<decltype(alloc<IconViewNode>()->init()), IconViewNode*>);
static_assert(std::is_same_v<decltype(alloc<CABasicAnimation>()->init()), CABasicAnimation*>);
static_assert(
    std::is_same_v<decltype(alloc<UIImageView>()->initWithFrame(CGRect{})), UIImageView*>);
static_assert(
    std::is_same_v<decltype(alloc<DeskTopView>()->initWithFrame(CGRect{})), DeskTopView*>);

TEST(ObjectModel, AdoptTakesOverAndRetainedAddsAReference) {
    IconViewNode* raw = alloc<IconViewNode>()->init();
    ASSERT_NE(raw, nullptr);
    Ref<IconViewNode> owner = adopt(raw);
    EXPECT_EQ(raw->retainCount(), 1);
    {
        Ref<IconViewNode> other = retained(raw);
        EXPECT_EQ(raw->retainCount(), 2);
        Ref<NSObject> base = other;  // a copy retains
        EXPECT_EQ(raw->retainCount(), 3);
    }
    EXPECT_EQ(raw->retainCount(), 1);

    Ref<IconViewNode>& same = owner;
    owner = same;  // assignment to itself keeps the object
    EXPECT_EQ(raw->retainCount(), 1);
    EXPECT_EQ(owner.get(), raw);

    IconViewNode* kept = owner.leak();
    EXPECT_FALSE(owner);
    adopt(kept).reset();  // hands the reference back; nothing leaks
}

}  // namespace
