// Loading a wallpaper out of its bundle: createDeskTopViewFromBundle's path, mode and handle,
// its failures, and the sample library's entry points (screen sizes, the cache's binding, the
// names it exports).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "Common/ImageCache.h"
#include "Foundation/DynamicLoader.h"
#include "Foundation/NSBundle.h"
#include "UIKit/UIScreen.h"
#include "interface/DeskTopView.h"
#include "interface/DeskTopViewEntryPoints.h"
#include "support/bundles.h"
#include "support/files.h"
#include "support/pictures.h"

namespace {

using Call = bd::DynamicLoaderCall;

class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        bd::setDynamicLoaderTrace([this](const Call& c) { calls.push_back(c); });
    }
    void TearDown() override {
        bd::setDynamicLoaderTrace(nullptr);
        UIScreen::mainScreen()->setBounds(CGRectMake(0, 0, 320, 568));
    }
    NSBundle* bundle(const std::string& path) {
        return NSBundle::bundleWithPath(NSString::stringWithStdString(path));
    }
    // A view the test is done with: no delayed loading left to hold it.
    void forget(DeskTopView* v) {
        if (v)
            NSObject::cancelPreviousPerformRequestsWithTarget(v, BD_SEL(DeskTopView, delayLoading),
                                                              nullptr);
    }
    // Every handle that was opened has been closed as often.
    void expectHandlesReleased() {
        std::multiset<void*> open;
        for (auto& c : calls) {
            if (c.kind == Call::Open && c.handle) open.insert(c.handle);
            if (c.kind == Call::Close) {
                auto it = open.find(c.handle);
                ASSERT_NE(it, open.end()) << "closed a handle never opened";
                open.erase(it);
            }
        }
        EXPECT_TRUE(open.empty());
    }
    size_t opens() {
        size_t n = 0;
        for (auto& c : calls) n += c.kind == Call::Open;
        return n;
    }

    NSAutoreleasePool pool;
    bdtest::TempDir tmp{"loader"};
    std::string dir = tmp.path();
    std::vector<Call> calls;
};

TEST_F(Loader, NullBundleDoesNothing) {
    EXPECT_EQ(DeskTopView::createDeskTopViewFromBundle(nullptr), nullptr);
    EXPECT_TRUE(calls.empty());
}

TEST_F(Loader, OpensExactlyTheNamedPathLazilyAndGivesBackTheHandle) {
    // No normalisation: "./" stays in the path handed to dlopen.
    std::string path = bdtest::linkBundle(
        bdtest::demoBundle(), dir, "Pumpkin",
        bdtest::plistXml({{"name Library", "<string>./AnimateDemo.so</string>"}}));
    UIScreen::mainScreen()->setBounds(CGRectMake(0, 0, 320, 480));
    NSBundle* b = bundle(path);
    DeskTopView* v = DeskTopView::createDeskTopViewFromBundle(b);
    ASSERT_NE(v, nullptr);
    forget(v);
    EXPECT_EQ(v->frame(), CGRectMake(0, 0, 320, 480));
    EXPECT_EQ(v->subviewList().size(), 5u);  // the sample wallpaper's scene
    EXPECT_EQ(ImageCache::sharedInstance()->resBundle(), b);
    EXPECT_NE(v->bgView()->image(), nullptr);  // its pictures came from the bundle

    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].kind, Call::Open);
    EXPECT_EQ(calls[0].name, path + "/./AnimateDemo.so");
    EXPECT_EQ(calls[0].mode, RTLD_LAZY);
    EXPECT_EQ(calls[0].mode, 1);
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[1].kind, Call::Symbol);
    EXPECT_EQ(calls[1].name, "getDeskTopViewAbiVersion");  // asked first
    EXPECT_EQ(calls[2].kind, Call::Symbol);
    EXPECT_EQ(calls[2].name, "getDeskTopViewInstance");
    expectHandlesReleased();
    EXPECT_EQ(v->retainCount(), 1);  // autoreleased: the pool holds the only reference
}

TEST_F(Loader, LibraryWithoutTheEntryPointGivesNullAndIsReleased) {
    DeskTopView* v =
        DeskTopView::createDeskTopViewFromBundle(bundle(bdtest::testBundle("bdtest_no_entry")));
    EXPECT_EQ(v, nullptr);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].kind, Call::Open);
    EXPECT_NE(calls[0].handle, nullptr);
    EXPECT_EQ(calls[2].kind, Call::Symbol);
    EXPECT_EQ(calls[2].result, nullptr);
    EXPECT_EQ(calls[3].kind, Call::Close);
    EXPECT_EQ(calls[3].handle, calls[0].handle);
}

// A library built for another ABI is refused before its view is made, with one line saying
// which ABI it wants; one without getDeskTopViewAbiVersion predates the function and loads.
TEST_F(Loader, LibraryOfAnotherAbiIsRefusedAndOneWithoutTheFunctionLoads) {
    EXPECT_EQ(bd::frameworkAbiVersion(), BACKDROP_ABI_VERSION);
    EXPECT_EQ(bd::frameworkAbiVersion(), 1);
    DeskTopView* v =
        DeskTopView::createDeskTopViewFromBundle(bundle(bdtest::testBundle("bdtest_abi2")));
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(bd::loaderStopReason(), "built for Backdrop ABI 2; this Backdrop speaks ABI 1");
    for (const Call& c : calls) EXPECT_NE(c.name, "getDeskTopViewInstance");  // never asked
    expectHandlesReleased();

    calls.clear();
    std::string plain = dir + "/Plain.bundle";
    ASSERT_EQ(mkdir(plain.c_str(), 0755), 0);
    ASSERT_EQ(symlink(bdtest::testPlugin("bdtest_plain").c_str(), (plain + "/plain.so").c_str()),
              0);
    std::string text = bdtest::plistXml({{"name Library", "<string>plain.so</string>"}});
    ASSERT_TRUE(bdtest::writeFile(plain + "/description.plist",
                                  std::vector<uint8_t>(text.begin(), text.end())));
    DeskTopView* old = DeskTopView::createDeskTopViewFromBundle(bundle(plain));
    ASSERT_NE(old, nullptr) << bd::loaderStopReason();
    forget(old);
    EXPECT_EQ(bd::loaderStopReason(), "");
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[1].name, "getDeskTopViewAbiVersion");
    EXPECT_EQ(calls[1].result, nullptr);
}

TEST_F(Loader, NoLibraryToOpenGivesNull) {
    // No description; no key; a key that is no string; a library file that isn't there.
    std::string none = bdtest::linkBundle("", dir, "none", "");
    std::string noKey =
        bdtest::linkBundle("", dir, "nokey", bdtest::plistXml({{"title", "<string>x</string>"}}));
    std::string number = bdtest::linkBundle(
        "", dir, "number", bdtest::plistXml({{"name Library", "<integer>5</integer>"}}));
    std::string missing = bdtest::linkBundle(
        "", dir, "missing", bdtest::plistXml({{"name Library", "<string>gone.so</string>"}}));
    for (const std::string& p : {none, noKey, number})
        EXPECT_EQ(DeskTopView::createDeskTopViewFromBundle(bundle(p)), nullptr) << p;
    EXPECT_EQ(opens(), 0u);
    EXPECT_EQ(DeskTopView::createDeskTopViewFromBundle(bundle(missing)), nullptr);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].name, missing + "/gone.so");
    EXPECT_EQ(calls[0].handle, nullptr);  // nothing to release
}

TEST_F(Loader, EntryPointsOfTheSampleLibrary) {
    std::string lib = bdtest::demoBundle() + "/AnimateDemo.so";
    void* h = dlopen(lib.c_str(), RTLD_LAZY);
    ASSERT_NE(h, nullptr) << dlerror();
    auto name = reinterpret_cast<GetDeskTopViewNameFunction>(dlsym(h, "getDeskTopViewName"));
    auto version =
        reinterpret_cast<GetDeskTopViewVersionFunction>(dlsym(h, "getDeskTopViewVersion"));
    auto instance =
        reinterpret_cast<GetDeskTopViewInstanceFunction>(dlsym(h, "getDeskTopViewInstance"));
    auto abi =
        reinterpret_cast<GetDeskTopViewAbiVersionFunction>(dlsym(h, "getDeskTopViewAbiVersion"));
    ASSERT_TRUE(name && version && instance && abi);
    EXPECT_EQ(abi(), 1);
    ASSERT_NE(name(), nullptr);
    EXPECT_EQ(name()->str(), "");
    ASSERT_NE(version(), nullptr);
    EXPECT_EQ(version()->str(), "");

    // The width stays 320; the height follows the screen.
    NSBundle* a = bundle(bdtest::demoBundle());
    NSBundle* b = bundle(bdtest::linkBundle(bdtest::demoBundle(), dir, "Second", ""));
    UIScreen::mainScreen()->setBounds(CGRectMake(0, 0, 320, 480));
    DeskTopView* small = instance(a);
    UIScreen::mainScreen()->setBounds(CGRectMake(0, 0, 375, 667));
    DeskTopView* large = instance(b);
    ASSERT_TRUE(small && large);
    forget(small);
    forget(large);
    EXPECT_EQ(small->frame(), CGRectMake(0, 0, 320, 480));
    EXPECT_EQ(large->frame(), CGRectMake(0, 0, 320, 667));
    // The shared cache serves the bundle of the later call.
    EXPECT_EQ(ImageCache::sharedInstance()->resBundle(), b);
    dlclose(h);
}

TEST_F(Loader, SampleLibraryExportsOnlyItsEntryPoints) {
    std::string cmd = "nm -D --defined-only " + bdtest::demoBundle() + "/AnimateDemo.so";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
        names.insert(s.substr(s.rfind(' ') + 1));
    }
    ASSERT_EQ(pclose(p), 0);
    EXPECT_EQ(names, (std::set<std::string>{"getDeskTopViewInstance", "getDeskTopViewName",
                                            "getDeskTopViewVersion", "getDeskTopViewAbiVersion"}));
}

}  // namespace
