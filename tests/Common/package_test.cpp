#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Common/NSData+DataEncrypt.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSNumber.h"
#include "support/tempdir.h"

namespace {

using Bytes = std::vector<uint8_t>;

class PackageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bd::setLogCapture([this](const std::string& m) { log.push_back(m); });
    }
    void TearDown() override { bd::setLogCapture(nullptr); }
    std::string path(const char* name) { return dir + "/" + name; }
    void writeFile(const std::string& p, const Bytes& b) {
        FILE* f = std::fopen(p.c_str(), "wb");
        ASSERT_TRUE(f);
        if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
        std::fclose(f);
    }
    Bytes readFile(const std::string& p) {
        Bytes b;
        FILE* f = std::fopen(p.c_str(), "rb");
        if (!f) return b;
        int c;
        while ((c = std::fgetc(f)) != EOF) b.push_back(static_cast<uint8_t>(c));
        std::fclose(f);
        return b;
    }
    std::vector<std::string> entries() {
        std::vector<std::string> names;
        DIR* d = opendir(dir.c_str());
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(d);
        return names;
    }
    NSMutableDictionary* read(const std::string& p) {
        return DataEncrypt::readDatasFromFilePath(NSString::stringWithStdString(p));
    }

    bdtest::TempDir tmp{"pkg"};
    std::string dir = tmp.path();
    std::vector<std::string> log;
    NSAutoreleasePool pool;
};

const Bytes kOneEntry = {0, 0, 0, 1, 0, 0, 0, 1, 0x61, 0, 0, 0, 2, 1, 2};

TEST_F(PackageTest, EmptyDictionaryIsFourZeroBytes) {
    ASSERT_TRUE(DataEncrypt::saveDatas(NSDictionary::dictionary(),
                                       NSString::stringWithStdString(path("e.pkg"))));
    EXPECT_EQ(readFile(path("e.pkg")), (Bytes{0, 0, 0, 0}));
    NSMutableDictionary* d = read(path("e.pkg"));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->count(), 0u);
    EXPECT_TRUE(log.empty());
}

TEST_F(PackageTest, OneEntryLayoutAndLog) {
    NSMutableDictionary* in = NSMutableDictionary::dictionary();
    in->setObject(NSData::dataWithBytes("\x01\x02", 2), NSSTR("a"));
    ASSERT_TRUE(DataEncrypt::saveDatas(in, NSString::stringWithStdString(path("one.pkg"))));
    EXPECT_EQ(readFile(path("one.pkg")), kOneEntry);
    NSMutableDictionary* out = read(path("one.pkg"));
    EXPECT_TRUE(out->isEqual(in));
    EXPECT_EQ(log, (std::vector<std::string>{"key = a", "data length = 2"}));
    EXPECT_TRUE(entries() == std::vector<std::string>{"one.pkg"});  // no temporary left behind
}

TEST_F(PackageTest, NonAsciiKeyCountsUtf8Bytes) {
    NSMutableDictionary* in = NSMutableDictionary::dictionary();
    in->setObject(NSData::data(), NSSTR("\xC3\xA9"));
    ASSERT_TRUE(DataEncrypt::saveDatas(in, NSString::stringWithStdString(path("e.pkg"))));
    EXPECT_EQ(readFile(path("e.pkg")), (Bytes{0, 0, 0, 1, 0, 0, 0, 2, 0xC3, 0xA9, 0, 0, 0, 0}));
    EXPECT_TRUE(read(path("e.pkg"))->isEqual(in));
}

TEST_F(PackageTest, RoundTripManyRecordsAndTrailingBytesIgnored) {
    NSMutableDictionary* in = NSMutableDictionary::dictionary();
    for (int i = 0; i < 50; ++i) {
        Bytes v(static_cast<size_t>(i * 37), static_cast<uint8_t>(i));
        in->setObject(
            DataEncrypt::encryptionDataWithData(NSData::dataWithBytes(v.data(), v.size()), true),
            NSString::stringWithFormat("%02d.png", i));
    }
    ASSERT_TRUE(DataEncrypt::saveDatas(in, NSString::stringWithStdString(path("m.pkg"))));
    EXPECT_TRUE(read(path("m.pkg"))->isEqual(in));

    Bytes extra = kOneEntry;
    extra.insert(extra.end(), {0, 0, 0, 9, 9, 9});
    writeFile(path("t.pkg"), extra);
    EXPECT_EQ(read(path("t.pkg"))->count(), 1u);
}

TEST_F(PackageTest, MissingFileOrDirectoryGivesEmpty) {
    EXPECT_EQ(read(path("none"))->count(), 0u);
    EXPECT_EQ(read(dir)->count(), 0u);
    EXPECT_EQ(DataEncrypt::readDatasFromFilePath(nullptr)->count(), 0u);
    EXPECT_TRUE(log.empty());
}

TEST_F(PackageTest, EveryTruncationKeepsCompleteRecords) {
    // Two records: "a" -> 01 02 (15 bytes incl. count), "bc" -> 03.
    Bytes two = {0, 0, 0, 2, 0, 0, 0,    1,    0x61, 0, 0, 0, 2,
                 1, 2, 0, 0, 0, 2, 0x62, 0x63, 0,    0, 0, 1, 3};
    for (size_t n = 0; n <= two.size(); ++n) {
        writeFile(path("cut.pkg"),
                  Bytes(two.begin(), two.begin() + static_cast<std::ptrdiff_t>(n)));
        NSMutableDictionary* d = read(path("cut.pkg"));
        size_t expect = n == two.size() ? 2 : n >= 15 ? 1 : 0;
        ASSERT_EQ(d->count(), expect) << "length " << n;
        if (expect >= 1) {
            EXPECT_TRUE(as<NSData>(d->objectForKey(NSSTR("a")))
                            ->isEqualToData(NSData::dataWithBytes("\x01\x02", 2)));
        }
    }
}

TEST_F(PackageTest, HostileCountsAndLengthsEndTheRead) {
    // Record count 2^31-1 on a 12-byte file.
    writeFile(path("c.pkg"), {0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0x61, 0, 0, 0});
    EXPECT_EQ(read(path("c.pkg"))->count(), 0u);
    // Negative record count.
    writeFile(path("n.pkg"), {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0x61, 0, 0, 0, 0});
    EXPECT_EQ(read(path("n.pkg"))->count(), 0u);
    // Negative key length, then negative value length after a good record.
    writeFile(path("k.pkg"), {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE, 0x61});
    EXPECT_EQ(read(path("k.pkg"))->count(), 0u);
    Bytes v = kOneEntry;
    v[3] = 2;
    v.insert(v.end(), {0, 0, 0, 1, 0x62, 0x80, 0, 0, 0});
    writeFile(path("v.pkg"), v);
    EXPECT_EQ(read(path("v.pkg"))->count(), 1u);
    // Value length far past the end (would be a 2 GiB allocation if trusted).
    writeFile(path("big.pkg"), {0, 0, 0, 1, 0, 0, 0, 1, 0x61, 0x7F, 0xFF, 0xFF, 0xFF, 1});
    EXPECT_EQ(read(path("big.pkg"))->count(), 0u);
    // Invalid UTF-8 key after a good record.
    Bytes u = kOneEntry;
    u[3] = 2;
    u.insert(u.end(), {0, 0, 0, 1, 0xFF, 0, 0, 0, 0});
    writeFile(path("u.pkg"), u);
    NSMutableDictionary* d = read(path("u.pkg"));
    EXPECT_EQ(d->count(), 1u);
    EXPECT_NE(d->objectForKey(NSSTR("a")), nullptr);
}

TEST_F(PackageTest, WriterFailuresReturnFalseAndKeepTheOldFile) {
    NSMutableDictionary* in = NSMutableDictionary::dictionary();
    in->setObject(NSData::dataWithBytes("\x01\x02", 2), NSSTR("a"));
    EXPECT_FALSE(DataEncrypt::saveDatas(in, NSString::stringWithStdString(dir + "/missing/x.pkg")));
    EXPECT_FALSE(DataEncrypt::saveDatas(in, nullptr));
    EXPECT_FALSE(DataEncrypt::saveDatas(nullptr, NSString::stringWithStdString(path("x.pkg"))));
    // A directory as the target: not replaced, no temporary left.
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    EXPECT_FALSE(DataEncrypt::saveDatas(in, NSString::stringWithStdString(path("sub"))));
    // A folder root can't create files in.
    EXPECT_FALSE(DataEncrypt::saveDatas(in, NSSTR("/proc/bd_package_test.pkg")));

    // A write that fails part way (a value that is no data object) leaves the old package.
    ASSERT_TRUE(DataEncrypt::saveDatas(in, NSString::stringWithStdString(path("old.pkg"))));
    NSMutableDictionary* bad = NSMutableDictionary::dictionary();
    bad->setObject(NSData::dataWithBytes("\x09", 1), NSSTR("ok"));
    bad->setObject(NSNumber::numberWithInt(1), NSSTR("bad"));
    EXPECT_FALSE(DataEncrypt::saveDatas(bad, NSString::stringWithStdString(path("old.pkg"))));
    EXPECT_EQ(readFile(path("old.pkg")), kOneEntry);
    auto names = entries();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"old.pkg", "sub"}));
}

}  // namespace
