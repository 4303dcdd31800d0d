// IconViewNode: strong properties share and release their objects; teardown releases all three.

#include "interface/IconViewNode.h"

#include <gtest/gtest.h>

#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"

TEST(IconViewNode, SettersShareAndReleaseThePreviousValue) {
    Ref<UIImage> first = adopt(alloc<UIImage>());
    Ref<UIImage> second = adopt(alloc<UIImage>());
    Ref<IconViewNode> n = adopt(alloc<IconViewNode>());
    n->setAppicon(first);
    EXPECT_EQ(n->appicon(), first.get());  // shared, not copied
    EXPECT_EQ(first->retainCount(), 2);
    n->setAppicon(second);
    EXPECT_EQ(first->retainCount(), 1);
    EXPECT_EQ(second->retainCount(), 2);
    n->setAppicon(second);  // setting the same value keeps it alive
    EXPECT_EQ(second->retainCount(), 2);
}

TEST(IconViewNode, TeardownReleasesEveryField) {
    Ref<NSString> id = adopt(alloc<NSString>());
    Ref<NSString> name = adopt(alloc<NSString>());
    Ref<UIImage> icon = adopt(alloc<UIImage>());
    IconViewNode* n = alloc<IconViewNode>();
    n->setAppID(id);
    n->setAppName(name);
    n->setAppicon(icon);
    EXPECT_EQ(id->retainCount(), 2);
    n->release();
    EXPECT_EQ(id->retainCount(), 1);
    EXPECT_EQ(name->retainCount(), 1);
    EXPECT_EQ(icon->retainCount(), 1);
    alloc<IconViewNode>()->release();  // all null: releases nothing, no crash
}
