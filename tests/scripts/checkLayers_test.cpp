// scripts/check-layers.sh on small trees made to pass and to break it: includes that point up
// or sideways, folders that include each other, and includes of the tests from the code.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

class CheckLayers : public ::testing::Test {
  protected:
    // Writes root/path with one #include line per name.
    void file(const std::string& path, const std::vector<std::string>& includes) {
        fs::path p = fs::path(tmp.path()) / path;
        fs::create_directories(p.parent_path());
        std::ofstream out(p);
        for (const std::string& name : includes) out << "#include \"" << name << "\"\n";
    }
    // A tree that keeps every rule.
    void cleanTree() {
        file("platform/Foundation/NSObject.h", {});
        file("platform/Foundation/NSObject.cpp", {"Foundation/NSObject.h"});
        file("platform/CoreGraphics/CGImage.h", {"Foundation/NSObject.h"});
        file("platform/QuartzCore/CALayer.h", {"CoreGraphics/CGImage.h"});
        file("platform/UIKit/UIView.h", {"QuartzCore/CALayer.h", "Foundation/NSObject.h"});
        file("platform/AudioToolbox/AudioServices.h", {"Foundation/NSObject.h"});
        file("interface/DeskTopView.h", {"UIKit/UIView.h"});
        file("Common/ImageSet.h", {"UIKit/UIView.h", "AudioToolbox/AudioServices.h"});
        file("demo/View.cpp", {"interface/DeskTopView.h", "Common/ImageSet.h"});
        file("host/Scene.h", {"interface/DeskTopView.h"});
        file("host/Run.cpp", {"Scene.h", "Common/ImageSet.h", "generated-protocol.h"});
        file("host/desktop/Daemon.cpp", {"host/Scene.h"});
        file("tests/support/pictures.h", {"CoreGraphics/CGImage.h"});
        file("tests/host/run_test.cpp", {"support/pictures.h", "host/Scene.h", "demo/View.cpp"});
    }
    int check(std::string* out) {
        std::string err;
        int code = bdtest::run({BD_CHECK_LAYERS, tmp.path()}, out, &err);
        *out += err;
        return code;
    }

    bdtest::TempDir tmp{"layers"};
};

TEST_F(CheckLayers, ACleanTreePasses) {
    cleanTree();
    std::string out;
    EXPECT_EQ(check(&out), 0) << out;
    EXPECT_NE(out.find("all pointing down"), std::string::npos) << out;
}

TEST_F(CheckLayers, IncludesUpOrSidewaysFailAndNameTheFile) {
    cleanTree();
    file("platform/Foundation/NSRunLoop.cpp", {"QuartzCore/CALayer.h"});  // up
    file("platform/AudioToolbox/Mixer.cpp", {"CoreGraphics/CGImage.h"});  // beside
    file("Common/Loader.cpp", {"interface/DeskTopView.h"});               // beside
    file("interface/Entry.cpp", {"demo/View.cpp"});                       // up
    file("host/Probe.cpp", {"support/pictures.h"});                       // into the tests
    std::string out;
    EXPECT_EQ(check(&out), 1);
    for (const char* f : {"platform/Foundation/NSRunLoop.cpp", "platform/AudioToolbox/Mixer.cpp",
                          "Common/Loader.cpp", "interface/Entry.cpp", "host/Probe.cpp"})
        EXPECT_NE(out.find(f), std::string::npos) << f << "\n" << out;
    EXPECT_EQ(out.find("tests/host/run_test.cpp"), std::string::npos) << out;
}

TEST_F(CheckLayers, FoldersThatIncludeEachOtherFail) {
    cleanTree();
    file("host/Scene.cpp", {"host/desktop/Daemon.h"});
    file("host/desktop/Daemon.h", {});
    std::string out;
    EXPECT_EQ(check(&out), 1);
    EXPECT_NE(out.find("include each other"), std::string::npos) << out;
    EXPECT_NE(out.find("host/desktop"), std::string::npos) << out;
}

}  // namespace
