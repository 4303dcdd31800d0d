// The SDK as an outside author meets it: `cmake --install` into a fresh prefix, a wallpaper
// project of its own configured with find_package(Backdrop) and built with
// backdrop_add_wallpaper_bundle, and the bundle it makes loaded by the loader; `backdrop new`'s
// project and the installed examples built and checked.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Foundation/NSBundle.h"
#include "Foundation/NSDictionary.h"
#include "interface/DeskTopView.h"
#include "interface/DeskTopViewEntryPoints.h"
#include "support/files.h"
#include "support/pictures.h"
#include "support/process.h"

namespace fs = std::filesystem;

namespace {

// A sanitized build's framework needs the sanitizer's runtime first in every program that links
// it, and an author's asset program runs at build time: author builds get the same sanitizers,
// and leak reports of those build-time programs are not this test's business.
constexpr const char* kSanitize = BD_SANITIZE;

int sh(const std::string& cmd, const std::string& log) {
    std::string prefix = *kSanitize ? "export ASAN_OPTIONS=detect_leaks=0; " : "";
    int status = std::system((prefix + cmd + " >>" + log + " 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string q(const std::string& s) {
    return "'" + s + "'";
}

// The environment of `check` runs: in an address-sanitized build freed memory waits in the
// sanitizer's quarantine (256 MiB by default) and reads as growth to the soak's memory check, so
// the quarantine is kept small there.
std::vector<std::string> checkEnv() {
    if (!*kSanitize) return {};
    const char* given = std::getenv("ASAN_OPTIONS");
    std::string options = given && *given ? std::string(given) + ":" : "";
    return {"ASAN_OPTIONS=" + options + "quarantine_size_mb=4"};
}

// The configure options an author build gets in a sanitized build (none otherwise).
std::string sanitizeOptions() {
    if (!*kSanitize) return "";
    std::string f = std::string("-fsanitize=") + kSanitize;
    std::string o;
    for (const char* v : {"CMAKE_CXX_FLAGS", "CMAKE_EXE_LINKER_FLAGS", "CMAKE_SHARED_LINKER_FLAGS",
                          "CMAKE_MODULE_LINKER_FLAGS"})
        o += " " + q(std::string("-D") + v + "=" + f);
    return o;
}

TEST(Sdk, OutsideWallpaperBuildsAgainstTheInstalledSdkAndLoads) {
    bdtest::TempDir tmp("sdk");
    std::string dir = tmp.path();
    ASSERT_FALSE(dir.empty());
    std::string log = dir + "/log", prefix = dir + "/prefix", src = dir + "/src";
    std::string cmake = BD_CMAKE_COMMAND;

    ASSERT_EQ(sh(q(cmake) + " --install " + q(BD_BUILD_DIR) + " --prefix " + q(prefix), log), 0)
        << bdtest::readFile(log);
    EXPECT_TRUE(fs::exists(prefix + "/include/backdrop/interface/DeskTopView.h"));
    EXPECT_TRUE(fs::exists(prefix + "/include/backdrop/platform/Foundation/NSObject.h"));
    EXPECT_TRUE(fs::exists(prefix + "/lib/cmake/Backdrop/BackdropBundle.cmake"));

    // pkg-config finds the headers and the library wherever the prefix lies.
    std::string flags = dir + "/flags";
    ASSERT_EQ(std::system(("PKG_CONFIG_PATH=" + q(prefix + "/lib/pkgconfig") +
                           " pkg-config --cflags --libs backdrop >" + q(flags))
                              .c_str()),
              0);
    std::istringstream words(bdtest::readFile(flags));
    int includeDirs = 0;
    for (std::string w; words >> w;) {
        if (w.rfind("-I", 0) == 0) includeDirs += fs::is_directory(w.substr(2));
        if (w.rfind("-L", 0) == 0) {
            EXPECT_TRUE(fs::exists(w.substr(2) + "/libbackdrop.so")) << w;
        }
    }
    EXPECT_EQ(includeDirs, 3);

    // Only the public headers are installed, and all of them compile against the prefix alone,
    // under the one root (<backdrop/...>) and in the forms earlier SDKs gave.
    for (const char* internal :
         {"platform/CoreGraphics/CGPixelKernels.h", "platform/CoreGraphics/CGContextPrivate.h",
          "platform/QuartzCore/CAProjectiveWarp.h", "platform/QuartzCore/CAPainter.h",
          "platform/UIKit/ImageDecoder.h", "platform/AudioToolbox/WAVDecoder.h",
          "platform/Foundation/DynamicLoader.h"})
        EXPECT_FALSE(fs::exists(prefix + "/include/backdrop/" + internal)) << internal;
    std::string every = "#include \"interface/DeskTopView.h\"\n#include \"UIKit/UIImage.h\"\n";
    size_t headers = 0;
    for (const auto& e : fs::recursive_directory_iterator(prefix + "/include/backdrop")) {
        if (e.path().extension() != ".h") continue;
        every += "#include <backdrop/" +
                 fs::relative(e.path(), prefix + "/include/backdrop").string() + ">\n";
        ++headers;
    }
    EXPECT_GT(headers, 40u);
    std::ofstream(dir + "/every.cpp") << every;
    std::string cflags = bdtest::readFile(flags);
    std::replace(cflags.begin(), cflags.end(), '\n', ' ');
    EXPECT_EQ(
        sh(q(BD_CXX_COMPILER) + " -std=c++20 -fsyntax-only " + cflags + " " + q(dir + "/every.cpp"),
           log),
        0)
        << bdtest::readFile(log);

    fs::create_directories(src);
    for (const char* f : {"CMakeLists.txt", "TinyView.cpp"})
        fs::copy_file(std::string(BD_SOURCE_DIR) + "/tests/sdk/wallpaper/" + f, src + "/" + f);
    ASSERT_TRUE(bdtest::writeFile(src + "/dot.png", bdtest::solidPng(8, 6, 0xff2080c0u)));
    std::string build = dir + "/build";
    ASSERT_EQ(sh(q(cmake) + " -S " + q(src) + " -B " + q(build) + " -G " + q(BD_CMAKE_GENERATOR) +
                     " -DCMAKE_CXX_COMPILER=" + q(BD_CXX_COMPILER) +
                     " -DCMAKE_PREFIX_PATH=" + q(prefix) + " -DPICTURE=" + q(src + "/dot.png"),
                 log),
              0)
        << bdtest::readFile(log);
    ASSERT_EQ(sh(q(cmake) + " --build " + q(build), log), 0) << bdtest::readFile(log);

    std::string bundle = build + "/bundles/Tiny.bundle";
    for (const char* f : {"description.plist", "thumbnail.png", "dot.png", "Tiny.so"})
        EXPECT_TRUE(fs::exists(bundle + "/" + f)) << f;

    NSAutoreleasePool pool;
    NSBundle* b = NSBundle::bundleWithPath(NSString::stringWithStdString(bundle));
    ASSERT_NE(b, nullptr);
    NSDictionary* description = NSDictionary::dictionaryWithContentsOfFile(
        b->pathForResource(NSSTR("description"), NSSTR("plist")));
    ASSERT_NE(description, nullptr);
    EXPECT_TRUE(description->objectForKey(NSSTR("name Library"))->isEqual(NSSTR("Tiny.so")));
    EXPECT_TRUE(description->objectForKey(NSSTR("title"))->isEqual(NSSTR("Tiny & <small>")));

    DeskTopView* view = DeskTopView::createDeskTopViewFromBundle(b);
    ASSERT_NE(view, nullptr);
    NSObject::cancelPreviousPerformRequestsWithTarget(view, BD_SEL(DeskTopView, delayLoading),
                                                      nullptr);
    EXPECT_EQ(view->frame().size.width, 320);
    ASSERT_NE(view->bgView()->image(), nullptr);  // dot.png, served from the bundle
    EXPECT_EQ(view->bgView()->image()->size(), CGSizeMake(4, 3));
    view->doAnimating();

    void* h = dlopen((bundle + "/Tiny.so").c_str(), RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(h, nullptr);
    auto name = reinterpret_cast<GetDeskTopViewNameFunction>(dlsym(h, "getDeskTopViewName"));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name()->str(), "Tiny");  // the library's own class answers
    dlclose(h);

    // The author's wallpaper passes every check, in the sandbox.
    std::string out;
    EXPECT_EQ(bdtest::run({bdtest::toolPath(), "check", bundle, "--soak", "1"}, &out, nullptr,
                          checkEnv()),
              0)
        << out;
    EXPECT_NE(out.find("all 17 checks passed"), std::string::npos) << out;
    EXPECT_NE(out.find("nothing was refused"), std::string::npos) << out;

    // A new author's way: `backdrop new` from the installed tool, one configure and one build
    // with nothing but the defaults the project carries, a strict check, a render.
    std::string tool = prefix + "/bin/backdrop";
    EXPECT_TRUE(fs::exists(prefix + "/share/doc/backdrop/writing-a-wallpaper.md"));
    ASSERT_EQ(bdtest::run({tool, "new", "Aurora", "--dir", dir}, &out), 0) << out;
    std::string err;
    EXPECT_NE(bdtest::run({tool, "new", "Aurora", "--dir", dir}, &out, &err), 0);  // no overwrite
    EXPECT_NE(err.find("exists already"), std::string::npos) << err;
    std::string aurora = dir + "/Aurora", auroraBuild = aurora + "/build";
    ASSERT_EQ(sh("cd " + q(aurora) + " && " + q(cmake) + " -B build -G " + q(BD_CMAKE_GENERATOR) +
                     " -DCMAKE_CXX_COMPILER=" + q(BD_CXX_COMPILER) + sanitizeOptions() + " && " +
                     q(cmake) + " --build build",
                 log),
              0)
        << bdtest::readFile(log);
    std::string auroraBundle = auroraBuild + "/Aurora.bundle";
    for (const char* f :
         {"description.plist", "thumbnail.png", "bg.png", "sprites.pkg", "chime.wav", "Aurora.so"})
        EXPECT_TRUE(fs::exists(auroraBundle + "/" + f)) << f;
    EXPECT_EQ(bdtest::run({tool, "check", "--strict", "--soak", "1", auroraBundle}, &out, nullptr,
                          checkEnv()),
              0)
        << out;
    EXPECT_NE(out.find("name \"Aurora\", version \"1.0\""), std::string::npos) << out;
    EXPECT_NE(out.find("all 17 checks passed\n"), std::string::npos) << out;
    EXPECT_EQ(bdtest::run({tool, "render", auroraBundle, "-o", dir + "/aurora.webp", "--seconds",
                           "1", "--fps", "10"},
                          &out),
              0)
        << out;
    EXPECT_EQ(out.rfind("10 frames of 640x1136 px", 0), 0u) << out;

    // The examples the guides quote, as the SDK installs them: one project, one configure and
    // one build, and every bundle passes a strict check.
    std::string examples = prefix + "/share/doc/backdrop/examples";
    ASSERT_TRUE(fs::exists(examples + "/CMakeLists.txt"));
    std::string examplesBuild = dir + "/examples";
    ASSERT_EQ(sh(q(cmake) + " -S " + q(examples) + " -B " + q(examplesBuild) + " -G " +
                     q(BD_CMAKE_GENERATOR) + " -DCMAKE_CXX_COMPILER=" + q(BD_CXX_COMPILER) +
                     " -DCMAKE_PREFIX_PATH=" + q(prefix) + sanitizeOptions() + " && " + q(cmake) +
                     " --build " + q(examplesBuild),
                 log),
              0)
        << bdtest::readFile(log);
    for (const char* example : {"Sprite", "FlipBook", "Animations", "Sound"}) {
        std::string exampleBundle = examplesBuild + "/bundles/" + example + ".bundle";
        EXPECT_EQ(bdtest::run({tool, "check", "--strict", "--soak", "1", exampleBundle}, &out,
                              nullptr, checkEnv()),
                  0)
            << example << "\n"
            << out;
        EXPECT_NE(out.find("all 17 checks passed\n"), std::string::npos) << out;
    }

    // The package's version is checked: 0.2 is this SDK, 9.0 is not.
    std::string wants = dir + "/wants";
    fs::create_directories(wants);
    std::ofstream(wants + "/CMakeLists.txt")
        << "cmake_minimum_required(VERSION 3.20)\nproject(W LANGUAGES CXX)\n"
           "find_package(Backdrop ${WANT} REQUIRED)\n";
    auto configure = [&](const char* want) {
        return sh(q(cmake) + " -S " + q(wants) + " -B " + q(wants + "/b" + want) +
                      " -DCMAKE_PREFIX_PATH=" + q(prefix) + " -DWANT=" + want,
                  log);
    };
    EXPECT_EQ(configure("0.2"), 0) << bdtest::readFile(log);
    EXPECT_NE(configure("9.0"), 0);
}

// The framework library exports its public API and keeps its private parts inside: the pixel
// kernels, the raster, the warp, the decoders, the painter and the loader's own calls.
TEST(Sdk, LibraryExportsOnlyThePublicApi) {
    std::string out;
    ASSERT_EQ(bdtest::run({"nm", "-DC", "--defined-only",
                           std::string(BD_BUILD_DIR) + "/lib/libbackdrop.so"},
                          &out),
              0);
    for (const char* api :
         {"DeskTopView::createDeskTopViewFromBundle(NSBundle*)", "NSLog(", "CGRectMake(",
          "bd::writePNG(", "UIImage::imageWithData(", "typeinfo for UIView", "vtable for CALayer"})
        EXPECT_NE(out.find(api), std::string::npos) << api << " is not exported";
    // The names the library defines, without the "vtable for " kind of prefix.
    std::vector<std::string> names;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 19) continue;
        std::string name = line.substr(19);
        for (const char* kind : {"typeinfo name for ", "typeinfo for ", "vtable for ",
                                 "non-virtual thunk to ", "guard variable for "})
            if (name.rfind(kind, 0) == 0) name = name.substr(std::strlen(kind));
        names.push_back(name);
    }
    for (const char* internal :
         {"bd::px::", "bd::Raster", "bd::decodeImage(", "bd::decodePNG(", "bd::audio::decodeWAV(",
          "bd::warpPerspective(", "bd::compositeAffineBilinear(", "bd::Painter",
          "bd::buildDisplayList(", "bd::CAPictureCache", "bd::dynamicOpen(", "CARenderer::Impl",
          "bd::ContextImpl", "bd::imageRowARGB(", "NSOperationQueue::State"})
        for (const std::string& name : names)
            EXPECT_NE(name.rfind(internal, 0), 0u) << name << " is exported";
}

}  // namespace
