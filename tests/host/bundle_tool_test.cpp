// The catalogue and validator commands of the backdrop tool, run as an author runs them:
// list, info, thumbnail, and check against the sample bundle and against broken ones.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"
#include "support/bundles.h"
#include "support/files.h"
#include "support/pictures.h"
#include "support/process.h"
#include "support/wav_fixture.h"

namespace fs = std::filesystem;

namespace {

struct Result {
    int code = -1;
    std::string out, err;
};

size_t countLines(const std::string& s, const std::string& prefix) {
    size_t n = 0;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) n += line.rfind(prefix, 0) == 0;
    return n;
}

class BundleTool : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir.empty()); }
    Result run(const std::string& args) {
        std::string cmd = std::string(BD_BUILD_DIR) + "/bin/backdrop " + args + " >" + dir +
                          "/out 2>" + dir + "/err";
        int status = std::system(cmd.c_str());
        Result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = bdtest::readFile(dir + "/out");
        r.err = bdtest::readFile(dir + "/err");
        return r;
    }
    // The line of `check` output about a check whose title starts with `title`.
    static std::string lineFor(const Result& r, const std::string& title) {
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            if (line.find(title) != std::string::npos) return line;
        return "";
    }
    bdtest::TempDir tmp{"tool"};
    std::string dir = tmp.path();
};

// `new` refuses a name that would make no project (no class, a path, a target CMake keeps for
// itself) in one line, writing nothing; a good name makes the project once.
TEST_F(BundleTool, NewRefusesNamesThatMakeNoProject) {
    const std::string projects = dir + "/projects";
    fs::create_directories(projects);
    for (const char* name : {"", "../evil", "a b", "9lives", "x/y", "all", "install", "help",
                             "Ab\x1b[31m", "\xff\xfe"}) {
        std::string out, err;
        EXPECT_EQ(bdtest::run({bdtest::toolPath(), "new", name, "--dir", projects}, &out, &err), 2)
            << name;
        EXPECT_EQ(countLines(err, "backdrop: bad name"), 1u) << err;
        EXPECT_EQ(err.find('\x1b'), std::string::npos) << "the name is shown escaped";
    }
    EXPECT_TRUE(fs::is_empty(projects));
    EXPECT_FALSE(fs::exists(dir + "/evil"));
    std::string out, err;
    EXPECT_EQ(bdtest::run({bdtest::toolPath(), "new", "Tide_2", "--dir", projects}, &out, &err), 0)
        << err;
    EXPECT_TRUE(fs::exists(projects + "/Tide_2/src/Tide_2View.cpp"));
}

TEST_F(BundleTool, ListShowsEachBundleAndItsDescription) {
    Result r = run("list " + std::string(BD_BUILD_DIR) + "/bundles");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find(bdtest::demoBundle() + "  AnimateDemo.so  title=\"Jack-o'-lantern\""),
              std::string::npos)
        << r.out;

    r = run("list --json " + std::string(BD_BUILD_DIR) + "/bundles");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\"path\": \"" + bdtest::demoBundle() +
                         "\", \"name Library\": \"AnimateDemo.so\""),
              std::string::npos)
        << r.out;

    // A bundle without a description, a plain file named like a bundle, other names.
    bdtest::linkBundle("", dir + "/shelf", "bare", "");
    ASSERT_TRUE(bdtest::writeFile(dir + "/shelf/file.bundle", {'x'}));
    ASSERT_TRUE(bdtest::writeFile(dir + "/shelf/notes.txt", {'x'}));
    r = run("list " + dir + "/shelf");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, dir + "/shelf/bare.bundle  (no readable description.plist)\n" + dir +
                         "/shelf/file.bundle  (no readable description.plist)\n");
    r = run("list --json " + dir + "/shelf");
    EXPECT_NE(r.out.find("\"name Library\": null, \"description\": null}"), std::string::npos);

    fs::create_directory(dir + "/empty");
    r = run("list " + dir + "/empty");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "no bundles\n");
    EXPECT_EQ(run("list --json " + dir + "/empty").out, "[]\n");

    r = run("list " + dir + "/absent");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(countLines(r.err, ""), 1u);
    EXPECT_EQ(r.err.rfind("backdrop: cannot list " + dir + "/absent: error: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos);
    EXPECT_EQ(run("list").code, 2);
}

TEST_F(BundleTool, InfoAndThumbnail) {
    Result r = run("info " + bdtest::demoBundle());
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("name Library: AnimateDemo.so\ntitle: Jack-o'-lantern\n", 0), 0u)
        << r.out;
    r = run("info " + bdtest::demoBundle() + " version");
    EXPECT_EQ(r.out, "1.0\n");
    r = run("info " + bdtest::demoBundle() + " 'no such key'");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("no key \"no such key\""), std::string::npos);
    EXPECT_EQ(run("info " + dir + "/absent.bundle").code, 1);

    std::string png = dir + "/thumb.png";
    ASSERT_EQ(run("thumbnail " + bdtest::demoBundle() + " -o " + png).code, 0);
    NSAutoreleasePool pool;
    UIImage* image = UIImage::imageWithContentsOfFile(NSString::stringWithStdString(png));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size(), CGSizeMake(160, 284));

    // No thumbnail: a clear failure, and the file already there is left alone.
    std::string bare = bdtest::linkBundle("", dir, "bare", "");
    r = run("thumbnail " + bare + " -o " + png);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(countLines(r.err, "backdrop: "), 1u);
    EXPECT_NE(UIImage::imageWithContentsOfFile(NSString::stringWithStdString(png)), nullptr);
    EXPECT_EQ(run("thumbnail " + bdtest::demoBundle()).code, 2);
}

TEST_F(BundleTool, CheckPassesTheSampleBundle) {
    // In the sandbox, with nothing refused, a soak that finds no growth.
    Result r = run("check --soak 2 " + bdtest::demoBundle());
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(countLines(r.out, "ok   "), 17u) << r.out;
    EXPECT_EQ(countLines(r.out, "warn "), 0u) << r.out;
    EXPECT_EQ(countLines(r.out, "FAIL "), 0u);
    EXPECT_NE(r.out.find("all 17 checks passed"), std::string::npos);
    EXPECT_EQ(countLines(r.out, "sandbox: "), 1u);
    EXPECT_EQ(lineFor(r, "the library is built for this Backdrop's ABI"),
              "ok   the library is built for this Backdrop's ABI: ABI 1")
        << r.out;
    EXPECT_NE(r.out.find("ok   the wallpaper stays inside its sandbox: nothing was refused"),
              std::string::npos);
}

// What a wallpaper asks for and does not get is a warning naming the call and the path; a sound
// file that does not decode fails; package art drawn for a @2x screen is a warning; --strict
// fails on warnings; --json says the same in one document.
TEST_F(BundleTool, CheckWarnsOfWhatTheWallpaperAskedForAndDidNotGet) {
    std::string art = dir + "/art";
    fs::create_directories(art);
    ASSERT_TRUE(bdtest::writeFile(art + "/sky@2x.png", bdtest::solidPng(8, 8, 0xff102040u)));
    ASSERT_TRUE(bdtest::writeFile(art + "/back.png", bdtest::solidPng(640, 1136, 0xff204060u)));
    ASSERT_TRUE(bdtest::writeFile(art + "/dot.png", bdtest::solidPng(20, 20, 0xff204060u)));
    std::string bundle =
        bdtest::linkBundle(bdtest::testBundle("bdtest_asks"), dir, "Asks",
                           bdtest::plistXml({{"name Library", "<string>bdtest_asks.so</string>"},
                                             {"package", "<string>sprits.pkg</string>"},
                                             {"picture", "<string>bg-typo.png</string>"},
                                             {"sound", "<string>short.wav</string>"}}));
    ASSERT_EQ(run("pack " + art + " -o " + bundle + "/art.pkg").code, 0);
    ASSERT_TRUE(bdtest::writeFile(bundle + "/thumbnail.png", bdtest::solidPng(4, 4, 0xff000000u)));
    std::vector<uint8_t> wav = bdtest::makeWAV(22050, 1, 16, 1, 0.2);
    wav.resize(wav.size() / 2);  // the data chunk claims twice what is there
    ASSERT_TRUE(bdtest::writeFile(bundle + "/short.wav", wav));

    Result r = run("check --soak 0.5 " + bundle);
    EXPECT_EQ(r.code, 1) << r.out;  // the broken sound fails
    EXPECT_NE(lineFor(r, "every sound (.wav) decodes").find("FAIL"), std::string::npos) << r.out;
    EXPECT_NE(lineFor(r, "every sound (.wav) decodes").find("short.wav: truncated"),
              std::string::npos)
        << r.out;
    EXPECT_NE(lineFor(r, "warn ").size(), 0u) << r.out;
    EXPECT_NE(lineFor(r, "setResourceData: \"sprits.pkg\": no such file").rfind("warn ", 0),
              std::string::npos)
        << r.out;
    EXPECT_EQ(lineFor(r, "imageWithName2x: \"bg-typo.png\": no such file").rfind("warn ", 0), 0u)
        << r.out;
    EXPECT_EQ(lineFor(r, "AudioServicesCreateSystemSoundID \"short.wav\"").rfind("warn ", 0), 0u)
        << r.out;
    // The 640 x 1136 picture and the one named @2x; not the small one.
    EXPECT_EQ(lineFor(r, "\"back.png\" (640 x 1136 px) looks like @2x").rfind("warn ", 0), 0u)
        << r.out;
    EXPECT_EQ(lineFor(r, "\"sky@2x.png\"").rfind("warn ", 0), 0u) << r.out;
    EXPECT_EQ(lineFor(r, "\"dot.png\"").find("looks like"), std::string::npos) << r.out;
    EXPECT_EQ(countLines(r.out, "warn "), 5u) << r.out;
    EXPECT_NE(r.out.find("1 of 17 checks failed, 5 warnings"), std::string::npos) << r.out;

    // Without the broken sound and its request, the warnings alone pass unless --strict.
    fs::remove(bundle + "/short.wav");
    r = run("check --soak 0.5 " + bundle);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("all 17 checks passed, 5 warnings"), std::string::npos) << r.out;
    EXPECT_NE(lineFor(r, "AudioServicesCreateSystemSoundID \"short.wav\": no such file").size(), 0u)
        << r.out;
    r = run("check --strict --json --soak 0.5 " + bundle);
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_EQ(r.out.rfind("{\"bundle\": ", 0), 0u) << r.out;
    EXPECT_EQ(countLines(r.out, "{"), 1u) << r.out;  // one document on one line
    EXPECT_NE(r.out.find("\"failed\": 0, \"strict\": true, \"ok\": false}\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("imageWithName2x: \\\"bg-typo.png\\\": no such file"), std::string::npos)
        << r.out;
}

// Why the loader gave no view: each step and where it stopped, from a wallpaper process.
TEST_F(BundleTool, InfoWhyShowsTheLoadersStepsAndWhereItStopped) {
    Result r = run("info --why " + bdtest::demoBundle());
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("loader: dlopen(\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("loader: view AnimateDemoView, frame (0, 0, 320, 568)"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("the loader gives a view"), std::string::npos);

    std::string missing =
        bdtest::linkBundle(bdtest::demoBundle(), dir, "Gone",
                           bdtest::plistXml({{"name Library", "<string>Gone.so</string>"}}));
    r = run("info --why " + missing);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("loader: stopped: dlopen failed"), std::string::npos) << r.out;
    EXPECT_EQ(countLines(r.err, "backdrop: "), 1u) << r.err;
    EXPECT_NE(r.err.find("dlopen failed"), std::string::npos) << r.err;

    r = run("info --why " + bdtest::testBundle("bdtest_no_entry"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("loader: stopped: the library does not export getDeskTopViewInstance"),
              std::string::npos)
        << r.out;

    // The same reason reaches render's one line, where it used to be a guess.
    r = run("render " + missing + " -o " + dir + "/x.webp");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("dlopen failed"), std::string::npos) << r.err;
}

TEST_F(BundleTool, CheckReportsBrokenDescriptions) {
    std::string noDescription = bdtest::linkBundle(bdtest::demoBundle(), dir, "NoDescription", "");
    Result r = run("check " + noDescription);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(lineFor(r, "description.plist reads").find("FAIL"), std::string::npos) << r.out;
    EXPECT_NE(lineFor(r, "the library opens").find("FAIL"), std::string::npos);
    EXPECT_NE(lineFor(r, "every picture decodes").rfind("ok", 0), std::string::npos);
    EXPECT_EQ(countLines(r.out, "ok   ") + countLines(r.out, "FAIL "), 17u);

    std::string noKey = bdtest::linkBundle(bdtest::demoBundle(), dir, "NoKey",
                                           bdtest::plistXml({{"title", "<string>t</string>"}}));
    r = run("check " + noKey);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(lineFor(r, "description.plist reads").rfind("ok", 0), 0u);
    EXPECT_NE(lineFor(r, "\"name Library\"").find("no \"name Library\" key"), std::string::npos)
        << r.out;

    std::string missing =
        bdtest::linkBundle(bdtest::demoBundle(), dir, "Missing",
                           bdtest::plistXml({{"name Library", "<string>Gone.so</string>"}}));
    r = run("check " + missing);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(lineFor(r, "\"name Library\"").find("no file Gone.so"), std::string::npos) << r.out;

    std::string outside = bdtest::linkBundle(
        "", dir, "Outside",
        bdtest::plistXml({{"name Library", "<string>../Missing.bundle/AnimateDemo.so</string>"}}));
    r = run("check " + outside);
    EXPECT_NE(lineFor(r, "\"name Library\"").find("outside the bundle"), std::string::npos)
        << r.out;
}

TEST_F(BundleTool, CheckReportsBrokenLibraries) {
    Result r = run("check " + bdtest::testBundle("bdtest_no_entry"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(lineFor(r, "the library exports").find("missing: getDeskTopViewInstance"),
              std::string::npos)
        << r.out;
    EXPECT_NE(lineFor(r, "the library stays loaded").rfind("ok", 0), std::string::npos);

    // A crash in the entry point is reported; the tool itself carries on to the pictures.
    r = run("check " + bdtest::testBundle("bdtest_crash"));
    EXPECT_EQ(r.code, 1);
    std::string crash = lineFor(r, "getDeskTopViewInstance returns");
    EXPECT_EQ(crash.rfind("FAIL", 0), 0u) << r.out;
    EXPECT_TRUE(crash.find("crashed") != std::string::npos ||
                crash.find("exited with status") != std::string::npos)
        << crash;
    EXPECT_NE(lineFor(r, "the view survives").find("not checked"), std::string::npos);
    EXPECT_NE(lineFor(r, "thumbnail.png").find("FAIL"), std::string::npos);
    EXPECT_NE(r.out.find("checks failed"), std::string::npos);

    // A hang meets the time limit.
    r = run("check --timeout 0.5 " + bdtest::testBundle("bdtest_hang"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(lineFor(r, "getDeskTopViewInstance returns").find("did not finish within 0.5 s"),
              std::string::npos)
        << r.out;

    // Unresolved symbols: the library opens lazily but not with RTLD_NOW.
    std::string unresolved = bdtest::linkBundle(
        "", dir, "Unresolved", bdtest::plistXml({{"name Library", "<string>u.so</string>"}}));
    fs::create_symlink(bdtest::testPlugin("bdtest_unresolved"), unresolved + "/u.so");
    r = run("check " + unresolved);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(lineFor(r, "the library opens").rfind("ok", 0), 0u) << r.out;
    EXPECT_NE(lineFor(r, "RTLD_NOW").find("bdtestNowhereDefined"), std::string::npos) << r.out;

    EXPECT_EQ(run("check").code, 2);
}

// A library built for another ABI: check, info --why and render each say so in the same one
// line, and none of them runs the library's view.
TEST_F(BundleTool, LibraryOfAnotherAbiIsRefusedInOneLine) {
    const std::string why = "built for Backdrop ABI 2; this Backdrop speaks ABI 1";
    std::string bundle = bdtest::testBundle("bdtest_abi2");
    Result r = run("check --soak 0.5 " + bundle);
    EXPECT_EQ(r.code, 1) << r.out;
    // One failure about the library (the other is the test bundle's missing thumbnail).
    EXPECT_EQ(countLines(r.out, "FAIL "), 2u) << r.out;
    EXPECT_EQ(countLines(r.out, "FAIL thumbnail.png"), 1u) << r.out;
    EXPECT_EQ(lineFor(r, "FAIL the library"),
              "FAIL the library is built for this Backdrop's ABI: " + why)
        << r.out;
    EXPECT_EQ(lineFor(r, "the library exports"), "") << r.out;  // its code never ran

    r = run("info --why " + bundle);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("loader: getDeskTopViewAbiVersion() = 2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("loader: stopped: " + why), std::string::npos) << r.out;

    r = run("render " + bundle + " -o " + dir + "/x.webp");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(countLines(r.err, "backdrop: "), 1u) << r.err;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir + "/x.webp"));
}

TEST_F(BundleTool, CheckReadsEveryPackage) {
    std::string bundle = bdtest::linkBundle(
        bdtest::testBundle("bdtest_no_entry"), dir, "Packed",
        bdtest::plistXml({{"name Library", "<string>bdtest_no_entry.so</string>"}}));
    fs::create_directory(dir + "/pictures");
    ASSERT_TRUE(bdtest::writeFile(dir + "/pictures/a.png", bdtest::solidPng(3, 3, 0xff0000ffu)));
    ASSERT_EQ(run("pack " + dir + "/pictures -o " + bundle + "/good.pkg").code, 0);
    Result r = run("check " + bundle);
    EXPECT_EQ(lineFor(r, "every resource package").rfind("ok", 0), 0u) << r.out;
    EXPECT_NE(lineFor(r, "every resource package").find("1 package, 1 record"), std::string::npos);

    std::string bytes = bdtest::readFile(bundle + "/good.pkg");
    std::string cut = bytes.substr(0, bytes.size() - 5);
    ASSERT_TRUE(
        bdtest::writeFile(bundle + "/cut.pkg", std::vector<uint8_t>(cut.begin(), cut.end())));
    ASSERT_TRUE(bdtest::writeFile(bundle + "/text.pkg",
                                  {0, 0, 0, 1, 0, 0, 0, 1, 'k', 0, 0, 0, 2, 'h', 'i'}));
    r = run("check " + bundle);
    std::string line = lineFor(r, "every resource package");
    EXPECT_EQ(line.rfind("FAIL", 0), 0u) << r.out;
    EXPECT_NE(line.find("cut.pkg: record 1 states a length past the file's end"), std::string::npos)
        << line;
    EXPECT_NE(line.find("text.pkg: k is no picture"), std::string::npos) << line;
    EXPECT_EQ(line.find("good.pkg"), std::string::npos);
}

}  // namespace
