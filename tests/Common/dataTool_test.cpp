// The bundle catalogue: which directory entries count as bundles and how their paths are
// formed, description values of every type, thumbnails, and what a host gets for bad input.
#include "Common/DataTool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Foundation/NSLog.h"
#include "Foundation/NSNumber.h"
#include "support/bundles.h"
#include "support/files.h"
#include "support/pictures.h"

namespace fs = std::filesystem;

namespace {

class Catalogue : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir.empty()); }
    NSString* s(const std::string& text) { return NSString::stringWithStdString(text); }
    std::vector<std::string> find(const std::string& d) {
        std::vector<std::string> out;
        NSArray* paths = DataTool::findDeskTopsBundlePathWithDirectory(s(d));
        if (!paths) return {"(null)"};
        for (NSObject* p : *paths) out.push_back(as<NSString>(p)->str());
        return out;
    }
    NSAutoreleasePool pool;
    bdtest::TempDir temp{"catalogue"};
    std::string dir = temp.path();
};

TEST_F(Catalogue, NamesEndingInBundleAreListedAsTheyAreJoined) {
    for (const char* d : {"a.bundle", "cbundle", "D.Bundle"}) fs::create_directory(dir + "/" + d);
    ASSERT_TRUE(bdtest::writeFile(dir + "/b.txt", {'x'}));
    EXPECT_EQ(find(dir), (std::vector<std::string>{dir + "/a.bundle", dir + "/cbundle"}));
    EXPECT_EQ(find(dir + "/"), (std::vector<std::string>{dir + "//a.bundle", dir + "//cbundle"}));
}

TEST_F(Catalogue, EmptyAndMissingDirectories) {
    std::vector<std::string> lines;
    bd::setLogCapture([&](const std::string& m) { lines.push_back(m); });
    NSArray* empty = DataTool::findDeskTopsBundlePathWithDirectory(s(dir));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->count(), 0u);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(DataTool::findDeskTopsBundlePathWithDirectory(s(dir + "/absent")), nullptr);
    EXPECT_EQ(DataTool::findDeskTopsBundlePathWithDirectory(nullptr), nullptr);
    ASSERT_TRUE(bdtest::writeFile(dir + "/plain", {'x'}));
    EXPECT_EQ(DataTool::findDeskTopsBundlePathWithDirectory(s(dir + "/plain")), nullptr);
    bd::setLogCapture(nullptr);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("error: ", 0), 0u);
    EXPECT_NE(lines[0].find("No such file or directory"), std::string::npos) << lines[0];
    EXPECT_NE(lines[2].find("Not a directory"), std::string::npos) << lines[2];
}

TEST_F(Catalogue, DescriptionValuesComeBackAsTheyAre) {
    std::string b = bdtest::linkBundle(
        "", dir, "x",
        bdtest::plistXml({{"name Library", "<string>x.so</string>"},
                          {"count", "<integer>-7</integer>"},
                          {"tags", "<array><string>a</string><true/></array>"}}));
    NSObject* lib = DataTool::readDeskTopDescriptionWithKey(NSSTR("name Library"), s(b));
    ASSERT_NE(as<NSString>(lib), nullptr);
    EXPECT_EQ(as<NSString>(lib)->str(), "x.so");
    auto* count = as<NSNumber>(DataTool::readDeskTopDescriptionWithKey(NSSTR("count"), s(b)));
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->longLongValue(), -7);
    auto* tags = as<NSArray>(DataTool::readDeskTopDescriptionWithKey(NSSTR("tags"), s(b)));
    ASSERT_NE(tags, nullptr);
    EXPECT_EQ(tags->count(), 2u);
    EXPECT_EQ(DataTool::readDeskTopDescriptionWithKey(NSSTR("absent"), s(b)), nullptr);
    EXPECT_EQ(DataTool::readDeskTopDescriptionWithKey(nullptr, s(b)), nullptr);
    // Each call reads afresh.
    bdtest::writeFile(b + "/description.plist", {'n', 'o'});
    EXPECT_EQ(DataTool::readDeskTopDescriptionWithKey(NSSTR("name Library"), s(b)), nullptr);
}

TEST_F(Catalogue, ThumbnailsAndThingsThatAreNoBundle) {
    std::string b = bdtest::linkBundle("", dir, "t", "");
    ASSERT_TRUE(bdtest::writeFile(b + "/thumbnail.png", bdtest::solidPng(6, 4, 0xff102030u)));
    UIImage* thumb = DataTool::readDeskTopThumbnailImageFromBundleFile(s(b));
    ASSERT_NE(thumb, nullptr);
    EXPECT_EQ(thumb->size(), CGSizeMake(6, 4));
    ASSERT_TRUE(bdtest::writeFile(b + "/thumbnail.png", {'n', 'o', 't'}));
    EXPECT_EQ(DataTool::readDeskTopThumbnailImageFromBundleFile(s(b)), nullptr);

    // A plain file named like a bundle is listed, but is no bundle to read from.
    ASSERT_TRUE(bdtest::writeFile(dir + "/file.bundle", {'x'}));
    EXPECT_EQ(find(dir), (std::vector<std::string>{dir + "/file.bundle", dir + "/t.bundle"}));
    EXPECT_EQ(
        DataTool::readDeskTopDescriptionWithKey(NSSTR("name Library"), s(dir + "/file.bundle")),
        nullptr);
    EXPECT_EQ(DataTool::readDeskTopThumbnailImageFromBundleFile(s(dir + "/file.bundle")), nullptr);
    EXPECT_EQ(DataTool::readDeskTopThumbnailImageFromBundleFile(s(dir + "/absent.bundle")),
              nullptr);
    EXPECT_EQ(DataTool::readDeskTopThumbnailImageFromBundleFile(nullptr), nullptr);
    // A description whose root is no dictionary.
    std::string arr = bdtest::linkBundle(
        "", dir, "arr",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>");
    EXPECT_EQ(DataTool::readDeskTopDescriptionWithKey(NSSTR("name Library"), s(arr)), nullptr);
}

// A folder named in another encoding (Latin-1 "café") is a bundle like any other: listed with
// its name's bytes, and its path opens it.
TEST(CatalogueNames, NamesThatAreNotUtf8AreListedAndOpen) {
    NSAutoreleasePool pool;
    bdtest::TempDir dir("latin1");
    std::string cafe = dir / "caf\xe9.bundle";
    ASSERT_TRUE(fs::create_directory(cafe));
    ASSERT_TRUE(fs::create_directory(dir / "a.bundle"));
    std::string plist = bdtest::plistXml({{"title", "<string>Caf\xc3\xa9</string>"}});
    ASSERT_TRUE(bdtest::writeFile(cafe + "/description.plist",
                                  std::vector<uint8_t>(plist.begin(), plist.end())));
    NSArray* paths = DataTool::findDeskTopsBundlePathWithDirectory(NSSTR(dir.path().c_str()));
    ASSERT_NE(paths, nullptr);
    ASSERT_EQ(paths->count(), 2u);
    EXPECT_EQ(as<NSString>(paths->objectAtIndex(0))->str(), dir / "a.bundle");
    EXPECT_EQ(as<NSString>(paths->objectAtIndex(1))->str(), cafe);
    auto* title = as<NSString>(DataTool::readDeskTopDescriptionWithKey(
        NSSTR("title"), as<NSString>(paths->objectAtIndex(1))));
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->str(), "Caf\xc3\xa9");
}

}  // namespace
