// The tool on bundles that attack it, and on outputs that can't be written: descriptions nested
// past any sense, FIFOs where files should be, a full disk under a preview, and the sample's
// flip-book rendered at its own rate.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/bundles.h"
#include "support/files.h"
#include "support/pictures.h"
#include "support/process.h"

namespace fs = std::filesystem;

namespace {

struct Tool {
    int code = -1;
    std::string out, err;
};
Tool tool(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(bdtest::toolPath());
    argv.insert(argv.end(), args.begin(), args.end());
    Tool t;
    t.code = bdtest::run(argv, &t.out, &t.err, {}, 120);
    return t;
}

// A copy of the sample bundle (links to its files) with its own description.
std::string sampleCopy(const bdtest::TempDir& dir, const std::string& name) {
    return bdtest::linkBundle(bdtest::demoBundle(), dir.path(), name,
                              bdtest::readFile(bdtest::demoBundle() + "/description.plist"));
}

const std::vector<std::string> kSmallRender = {"--seconds", "0.2",       "--fps",     "10",
                                               "--screen",  "160x284@1", "--no-icons"};

std::vector<std::string> renderArgs(const std::string& bundle, const std::string& out,
                                    std::vector<std::string> more = {}) {
    std::vector<std::string> a = {"render", bundle, "-o", out};
    a.insert(a.end(), kSmallRender.begin(), kSmallRender.end());
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

// A description nested 200,000 deep behind tags the parser accepts, and a binary one whose
// shared references would expand to millions of objects: each is refused with one line, and a
// folder holding one still lists every other bundle.
TEST(HostileBundle, DescriptionsPastAnySenseAreRefusedAndTheRestListed) {
    bdtest::TempDir dir("deepdesc");
    std::string deep = "<?xml version=\"1.0\"?><plist>";
    for (int i = 0; i < 200000; ++i) deep += "<array >";
    for (int i = 0; i < 200000; ++i) deep += "</array>";
    deep += "</plist>";
    std::string bomb = "bplist00";  // object i = [i+1, i+1], 24 levels
    for (int i = 0; i < 24; ++i) bomb += std::string("\xA2") + char(i + 1) + char(i + 1);
    bomb += "\xA0";
    size_t table = bomb.size();
    for (int i = 0; i <= 24; ++i) bomb += char(8 + 3 * i);
    std::string trailer(32, '\0');
    trailer[6] = 1, trailer[7] = 1, trailer[15] = 25, trailer[31] = char(table);
    bomb += trailer;
    for (auto& [name, text] : {std::pair<std::string, std::string>{"Deep", deep}, {"Bomb", bomb}})
        ASSERT_FALSE(bdtest::linkBundle(bdtest::demoBundle(), dir.path(), name, text).empty());
    sampleCopy(dir, "Good");

    for (const char* name : {"Deep.bundle", "Bomb.bundle"}) {
        Tool t = tool({"info", dir / name});
        EXPECT_EQ(t.code, 1) << name;
        EXPECT_EQ(t.err, "backdrop: " + (dir / name) +
                             ": description.plist is missing or is not a dictionary\n");
    }
    Tool t = tool({"list", dir.path()});
    EXPECT_EQ(t.code, 0) << t.err;
    EXPECT_NE(t.out.find(dir / "Good.bundle  AnimateDemo.so"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find(dir / "Deep.bundle  (no readable description.plist)"), std::string::npos);
    EXPECT_NE(t.out.find(dir / "Bomb.bundle  (no readable description.plist)"), std::string::npos);
}

// `info` and `list` read a bundle's description once per command, however many keys it holds.
TEST(HostileBundle, DescriptionsAreReadOncePerCommand) {
    bdtest::TempDir dir("readonce");
    std::vector<std::pair<std::string, std::string>> keys = {
        {"name Library", "<string>AnimateDemo.so</string>"}};
    for (int i = 0; i < 200; ++i)
        keys.push_back({"key" + std::to_string(i), "<string>" + std::to_string(i) + "</string>"});
    std::string bundle =
        bdtest::linkBundle(bdtest::demoBundle(), dir.path(), "Many", bdtest::plistXml(keys));
    std::string description = bundle + "/description.plist";
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(fd, 0);
    // Closes are watched too: the kernel merges identical events that follow one another.
    ASSERT_GE(inotify_add_watch(fd, description.c_str(), IN_OPEN | IN_CLOSE_NOWRITE), 0);
    auto opens = [fd] {
        size_t n = 0;
        alignas(inotify_event) char buf[4096];
        for (ssize_t got; (got = read(fd, buf, sizeof buf)) > 0;)
            for (char* p = buf; p < buf + got;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                n += (e->mask & IN_OPEN) != 0;
                p += sizeof(inotify_event) + e->len;
            }
        return n;
    };
    Tool t = tool({"info", bundle});
    EXPECT_EQ(t.code, 0);
    EXPECT_NE(t.out.find("key199: 199\n"), std::string::npos);
    EXPECT_EQ(opens(), 1u);
    EXPECT_EQ(tool({"info", bundle, "key7"}).out, "7\n");
    EXPECT_EQ(opens(), 1u);
    t = tool({"list", dir.path()});
    EXPECT_NE(t.out.find("key42=\"42\""), std::string::npos);
    EXPECT_EQ(opens(), 1u);
    close(fd);
}

// A FIFO named like a bundle's file answers as a file that isn't there: no command waits for a
// writer that never comes.
TEST(HostileBundle, FifosWhereFilesShouldBeDoNotHangTheTool) {
    bdtest::TempDir dir("fifobundle");
    auto withFifo = [&](const std::string& name, const std::string& file) {
        std::string bundle = sampleCopy(dir, name);
        EXPECT_EQ(unlink((bundle + "/" + file).c_str()), 0);
        EXPECT_TRUE(bdtest::makeFifo(bundle + "/" + file));
        return bundle;
    };
    std::string bg = withFifo("Bg", "bg.jpg");
    std::string thumb = withFifo("Thumb", "thumbnail.png");
    std::string desc = withFifo("Desc", "description.plist");
    std::string lib = withFifo("Lib", "AnimateDemo.so");

    Tool t = tool(renderArgs(bg, dir / "bg.webp"));
    EXPECT_EQ(t.code, 0) << t.err;  // the wallpaper runs without its background
    t = tool({"thumbnail", thumb, "-o", dir / "t.png"});
    EXPECT_EQ(t.code, 1);
    EXPECT_EQ(t.err, "backdrop: " + thumb + ": no thumbnail.png, or it is not a picture\n");
    t = tool({"info", desc});
    EXPECT_EQ(t.code, 1);
    EXPECT_EQ(tool({"list", dir.path()}).code, 0);
    t = tool(renderArgs(lib, dir / "lib.webp"));
    EXPECT_EQ(t.code, 1);
    EXPECT_FALSE(fs::exists(dir / "lib.webp"));
}

// A preview, a contact sheet, frames or a thumbnail written over older ones is written whole
// or not at all: past the file-size limit (as on a full disk) the old files stay as they were
// and no temporary is left.
TEST(HostileBundle, OutputsAreReplacedWholeOrNotAtAll) {
    bdtest::TempDir dir("fullpreview");
    std::string demo = bdtest::demoBundle();
    ASSERT_EQ(tool(renderArgs(demo, dir / "p.webp", {"--frames", dir / "frames"})).code, 0);
    ASSERT_EQ(tool({"thumbnail", demo, "-o", dir / "t.png"}).code, 0);
    std::vector<std::string> files = {"p.webp", "frames/frame-0000.png", "t.png"};
    std::vector<std::string> before;
    for (auto& f : files) {
        before.push_back(bdtest::readFile(dir / f));
        ASSERT_GT(before.back().size(), 2048u) << f;
    }

    std::vector<std::string> limited = {"sh", "-c",
                                        "trap '' XFSZ; exec prlimit --fsize=2048 \"$@\"", "sh"};
    EXPECT_EQ(tool(renderArgs(demo, dir / "p.webp"), limited).code, 1);
    // Frames (and contact sheets, written the same way): the first frame fails.
    EXPECT_EQ(tool(renderArgs(demo, dir / "q.webp", {"--frames", dir / "frames"}), limited).code,
              1);
    EXPECT_EQ(tool({"thumbnail", demo, "-o", dir / "t.png"}, limited).code, 1);
    for (size_t i = 0; i < files.size(); ++i)
        EXPECT_TRUE(bdtest::readFile(dir / files[i]) == before[i]) << files[i];
    for (const std::string& d : {dir.path(), dir / "frames"})
        for (auto& e : fs::directory_iterator(d))
            EXPECT_EQ(e.path().filename().string().find("backdrop-tmp"), std::string::npos)
                << e.path();
}

// The sample's flip-book plays 31 frames at 10 a second; rendered at 10 frames a second from its
// start, every render lands on a frame boundary and each of the 31 frames shows exactly once.
TEST(HostileBundle, RenderAtTheFlipBooksRateShowsEachFrameOnce) {
    bdtest::TempDir dir("flipbookrate");
    Tool t = tool({"render", bdtest::demoBundle(), "-o", dir / "p.webp", "--fps", "10", "--seconds",
                   "3.1", "--screen", "320x568@1", "--no-icons", "--frames", dir / "frames"});
    ASSERT_EQ(t.code, 0) << t.err;
    std::set<std::string> seen;
    for (int i = 0; i < 31; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "frames/frame-%04d.png", i);
        std::string png = bdtest::readFile(dir / name);
        ASSERT_FALSE(png.empty()) << name;
        EXPECT_TRUE(seen.insert(png).second) << name << " shows the same as an earlier frame";
    }
}

}  // namespace
