// The shared image cache: binding, loading by name, the screen scale, resource packages.

#include "Common/ImageCache.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Common/NSData+DataEncrypt.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/ResourceNotes.h"
#include "UIKit/UIScreen.h"
#include "support/files.h"
#include "support/pictures.h"

namespace {

class ImageCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        bundle = retained(NSBundle::bundleWithPath(NSString::stringWithUTF8String(dir.c_str())));
        ASSERT_TRUE(bundle);
        UIScreen::mainScreen()->setScale(2.0);
        cache = adopt(alloc<ImageCache>()->init());
        cache->setResBundle(bundle);
    }
    void put(const char* name, size_t w, size_t h) {
        ASSERT_TRUE(bdtest::writeFile(dir + "/" + name, bdtest::solidPng(w, h, 0xFF336699u)));
    }
    NSAutoreleasePool pool;
    bdtest::TempDir tmp{"cache"};
    std::string dir = tmp.path();
    Ref<NSBundle> bundle;
    Ref<ImageCache> cache;
};

TEST_F(ImageCacheTest, SecondRequestIsTheSameObjectWithoutTouchingTheFile) {
    put("a.png", 4, 6);
    UIImage* first = cache->imageWithName(NSSTR("a.png"));
    ASSERT_TRUE(first);
    std::remove((dir + "/a.png").c_str());
    EXPECT_EQ(cache->imageWithName(NSSTR("a.png")), first);
    EXPECT_EQ(cache->count(), 1u);
}

TEST_F(ImageCacheTest, MissIsNotRememberedAndLaterFileIsLoaded) {
    EXPECT_EQ(cache->imageWithName(NSSTR("late.png")), nullptr);
    EXPECT_EQ(cache->count(), 0u);
    put("late.png", 2, 2);
    EXPECT_NE(cache->imageWithName(NSSTR("late.png")), nullptr);
}

// What the cache could not serve is noted for a tool that listens (the calls' results and the
// log stay as they were): the call, the path it formed, and why.
TEST_F(ImageCacheTest, MissesAreNotedWithTheCallAndPath) {
    std::vector<bd::ResourceNote> notes;
    bd::setResourceNoteHandler([&](const bd::ResourceNote& n) { notes.push_back(n); });
    put("a.png", 2, 2);
    ASSERT_TRUE(bdtest::writeFile(dir + "/junk.png", {1, 2, 3}));
    EXPECT_EQ(cache->imageWithName2x(NSSTR("typo.png")), nullptr);
    EXPECT_EQ(cache->imageWithName(NSSTR("junk.png")), nullptr);
    EXPECT_NE(cache->imageWithName(NSSTR("a.png")), nullptr);
    cache->setResourceData(NSSTR("none.pkg"));
    bd::setResourceNoteHandler(nullptr);
    EXPECT_EQ(cache->imageWithName(NSSTR("after.png")), nullptr);  // nobody listens now
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[0].call, "imageWithName2x:");
    EXPECT_EQ(notes[0].path, bundle->resourcePath()->str() + "/typo.png");
    EXPECT_EQ(notes[0].detail, "no such file");
    EXPECT_EQ(notes[1].call, "imageWithName:");
    EXPECT_EQ(notes[1].detail, "not a picture");
    EXPECT_EQ(notes[2].call, "setResourceData:");
    EXPECT_EQ(notes[2].detail, "no such file");
}

TEST_F(ImageCacheTest, BindingAgainEmptiesAndClearKeepsBundle) {
    put("a.png", 2, 2);
    ASSERT_TRUE(cache->imageWithName(NSSTR("a.png")));
    cache->setResBundle(bundle);  // the bundle already bound
    EXPECT_EQ(cache->count(), 0u);
    EXPECT_EQ(cache->resBundle(), bundle.get());
    ASSERT_TRUE(cache->imageWithName(NSSTR("a.png")));
    cache->clearMemorryCache();
    EXPECT_EQ(cache->count(), 0u);
    EXPECT_EQ(cache->resBundle(), bundle.get());
    cache->setResBundle(nullptr);
    EXPECT_EQ(cache->resBundle(), nullptr);
}

TEST_F(ImageCacheTest, RebindingTheOnlyReferenceKeepsTheBundleAlive) {
    NSBundle* raw = bundle.get();
    bundle = nullptr;  // the cache and the pool hold it now
    cache->setResBundle(raw);
    EXPECT_EQ(cache->resBundle(), raw);
    EXPECT_GE(raw->retainCount(), 1);
}

TEST_F(ImageCacheTest, ScreenScaleDecidesTheFormForBothOperations) {
    put("big.png", 64, 96);
    UIImage* scaled = cache->imageWithName2x(NSSTR("big.png"));
    ASSERT_TRUE(scaled);
    EXPECT_DOUBLE_EQ(scaled->size().width, 32);
    EXPECT_DOUBLE_EQ(scaled->size().height, 48);
    EXPECT_DOUBLE_EQ(scaled->scale(), 2.0);
    EXPECT_EQ(cache->imageWithName(NSSTR("big.png")), scaled);

    cache->clearMemorryCache();
    UIImage* plain = cache->imageWithName(NSSTR("big.png"));
    ASSERT_TRUE(plain);
    EXPECT_DOUBLE_EQ(plain->size().width, 64);
    EXPECT_EQ(cache->imageWithName2x(NSSTR("big.png")), plain);
}

TEST_F(ImageCacheTest, PackageReplacesContentAndSkipsRecordsThatAreNoPicture) {
    put("old.png", 2, 2);
    ASSERT_TRUE(cache->imageWithName(NSSTR("old.png")));
    auto record = [](const std::vector<uint8_t>& bytes) {
        return DataEncrypt::encryptionDataWithData(
            NSData::dataWithBytes(bytes.data(), bytes.size()), true);
    };
    NSMutableDictionary* pkg = NSMutableDictionary::dictionary();
    pkg->setObject(record(bdtest::solidPng(3, 3, 0xFFFF0000u)), NSSTR("red.png"));
    pkg->setObject(record(bdtest::solidPng(5, 5, 0xFF00FF00u)), NSSTR("dir/green.png"));
    pkg->setObject(record({'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'}), NSSTR("junk.png"));
    ASSERT_TRUE(
        DataEncrypt::saveDatas(pkg, NSString::stringWithUTF8String((dir + "/res.pkg").c_str())));

    cache->setResourceData(NSSTR("res.pkg"));
    EXPECT_EQ(cache->count(), 2u);
    UIImage* red = cache->imageWithName(NSSTR("red.png"));  // no file of that name exists
    ASSERT_TRUE(red);
    EXPECT_EQ(CGImageGetWidth(red->CGImage()), 3u);
    EXPECT_DOUBLE_EQ(cache->imageWithName2x(NSSTR("dir/green.png"))->scale(), 1.0);
    EXPECT_EQ(cache->imageWithName(NSSTR("junk.png")), nullptr);
}

TEST_F(ImageCacheTest, MissingPackageLeavesTheCacheEmpty) {
    put("a.png", 2, 2);
    ASSERT_TRUE(cache->imageWithName(NSSTR("a.png")));
    cache->setResourceData(NSSTR("absent.pkg"));
    EXPECT_EQ(cache->count(), 0u);
}

TEST_F(ImageCacheTest, UnboundCacheBindsTheMainBundle) {
    Ref<ImageCache> fresh = adopt(alloc<ImageCache>()->init());
    EXPECT_EQ(fresh->resBundle(), nullptr);
    NSBundle::setMainBundlePath(NSString::stringWithUTF8String(dir.c_str()));
    put("main.png", 2, 2);
    EXPECT_TRUE(fresh->imageWithName(NSSTR("main.png")));
    ASSERT_TRUE(fresh->resBundle());
    EXPECT_STREQ(fresh->resBundle()->resourcePath()->UTF8String(), dir.c_str());
}

TEST_F(ImageCacheTest, ReleaseInstanceEmptiesButKeepsTheSharedInstance) {
    ImageCache* shared = ImageCache::sharedInstance();
    shared->setResBundle(bundle);
    put("a.png", 2, 2);
    ASSERT_TRUE(shared->imageWithName(NSSTR("a.png")));
    ImageCache::releaseInstance();
    EXPECT_EQ(ImageCache::sharedInstance(), shared);
    EXPECT_EQ(shared->resBundle(), bundle.get());
    EXPECT_EQ(shared->count(), 0u);
}

}  // namespace
