// Releasing the loader's handle never unmaps a live view's code. A program of its own, so that
// the libraries are not loaded yet when each test begins.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Foundation/NSBundle.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSRunLoop.h"
#include "UIKit/UITouch.h"
#include "interface/DeskTopView.h"
#include "interface/DeskTopViewEntryPoints.h"
#include "support/bundles.h"
#include "support/files.h"
#include "support/pictures.h"

namespace {

bool loaded(const std::string& lib) {
    void* h = dlopen(lib.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (h) dlclose(h);
    return h != nullptr;
}

// Drives a view as a host does; every call runs the wallpaper library's code.
void drive(DeskTopView* v) {
    bd::TouchDispatcher touches;
    for (int i = 0; i < 5; ++i) {
        NSAutoreleasePool pool;
        v->startAnimating();
        NSRunLoop::mainRunLoop()->runForInterval(0.03);
        touches.began(v, CGPointMake(100, 100 + i));
        touches.ended(CGPointMake(100, 100 + i));
        v->gestureAction(2, CGPointMake(10, 10));
        v->tapActionAtViewPoint(CGPointMake(5, 5));
        v->doAnimating();
        v->stopAnimating();
    }
    NSRunLoop::mainRunLoop()->runForInterval(0.05);
}

// Releases the view and waits for its teardown, which runs the library's code too.
void release(Ref<DeskTopView>& v) {
    int deallocs = 0;
    bd::setLogCapture(
        [&](const std::string& m) { deallocs += m == "=========DeskTopView dealloc========="; });
    v = nullptr;
    EXPECT_TRUE(NSRunLoop::mainRunLoop()->runUntil([&] { return deallocs == 1; }, 3.0));
    bd::setLogCapture(nullptr);
}

TEST(Unload, SampleLibraryStaysMappedAfterDlclose) {
    NSAutoreleasePool pool;
    std::string lib = bdtest::demoBundle() + "/AnimateDemo.so";
    ASSERT_FALSE(loaded(lib));
    void* h = dlopen(lib.c_str(), RTLD_LAZY);
    ASSERT_NE(h, nullptr) << dlerror();
    auto instance =
        reinterpret_cast<GetDeskTopViewInstanceFunction>(dlsym(h, "getDeskTopViewInstance"));
    ASSERT_NE(instance, nullptr);
    Ref<DeskTopView> view;
    {
        NSAutoreleasePool inner;
        view = retained(instance(
            NSBundle::bundleWithPath(NSString::stringWithStdString(bdtest::demoBundle()))));
    }
    ASSERT_TRUE(view);
    ASSERT_EQ(dlclose(h), 0);
    EXPECT_TRUE(loaded(lib));  // -z nodelete
    drive(view.get());
    release(view);
}

TEST(Unload, LoaderPinsALibraryBuiltWithoutNodelete) {
    NSAutoreleasePool pool;
    bdtest::TempDir tmp("unload");
    std::string dir = tmp.path();
    ASSERT_FALSE(dir.empty());
    std::string bundle = bdtest::linkBundle(
        "", dir, "Plain", bdtest::plistXml({{"name Library", "<string>plain.so</string>"}}));
    std::string lib = bundle + "/plain.so";
    ASSERT_TRUE(symlink(bdtest::testPlugin("bdtest_plain").c_str(), lib.c_str()) == 0);

    // On its own the library goes with its last handle.
    void* h = dlopen(lib.c_str(), RTLD_LAZY);
    ASSERT_NE(h, nullptr) << dlerror();
    dlclose(h);
    ASSERT_FALSE(loaded(lib));

    Ref<DeskTopView> view;
    {
        NSAutoreleasePool inner;
        view = retained(DeskTopView::createDeskTopViewFromBundle(
            NSBundle::bundleWithPath(NSString::stringWithStdString(bundle))));
    }
    ASSERT_TRUE(view);
    EXPECT_TRUE(loaded(lib));
    drive(view.get());
    release(view);
}

}  // namespace
