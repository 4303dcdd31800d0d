#include <dirent.h>
#include <grp.h>
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
#include "support/files.h"

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
        while (dirent* e = readdir(d))  // temporaries start with a dot
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.emplace_back(e->d_name);
        closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }
    NSMutableDictionary* read(const std::string& p) {
        return DataEncrypt::readDatasFromFilePath(NSString::stringWithStdString(p));
    }

    bdtest::TempDir temp{"pkg"};
    std::string dir = temp.path();
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

// The writer never writes a record its reader would stop at: a key that is no UTF-8 (a file
// name from a Latin-1 folder) makes it fail before the file is touched.
TEST_F(PackageTest, WriterRefusesKeysItsReaderRejects) {
    writeFile(path("x.pkg"), kOneEntry);
    NSMutableDictionary* in = NSMutableDictionary::dictionary();
    in->setObject(NSData::dataWithBytes("\x01", 1), NSSTR("a.txt"));
    in->setObject(NSData::dataWithBytes("\x02", 1), NSString::stringWithStdString("b\xff.txt"));
    EXPECT_FALSE(DataEncrypt::saveDatas(in, NSString::stringWithStdString(path("x.pkg"))));
    EXPECT_FALSE(DataEncrypt::saveDatas(in, NSString::stringWithStdString(path("new.pkg"))));
    EXPECT_EQ(readFile(path("x.pkg")), kOneEntry);
    EXPECT_EQ(entries(), std::vector<std::string>{"x.pkg"});

    // A zero byte inside a key is valid UTF-8: written and read back whole.
    NSMutableDictionary* zero = NSMutableDictionary::dictionary();
    zero->setObject(NSData::data(), NSString::stringWithStdString(std::string("a\0b", 3)));
    ASSERT_TRUE(DataEncrypt::saveDatas(zero, NSString::stringWithStdString(path("z.pkg"))));
    EXPECT_TRUE(read(path("z.pkg"))->isEqual(zero));
}

// A record cut inside its value still logs its key: the key line comes as soon as the key is
// read, before the value's length.
TEST_F(PackageTest, TruncatedRecordLogsItsKeyOnceTheKeyIsComplete) {
    writeFile(path("k.pkg"), {0, 0, 0, 1, 0, 0, 0, 1, 0x61, 0, 0});
    EXPECT_EQ(read(path("k.pkg"))->count(), 0u);
    EXPECT_EQ(log, std::vector<std::string>{"key = a"});
    log.clear();
    writeFile(path("v.pkg"), {0, 0, 0, 1, 0, 0, 0, 1, 0x61, 0, 0, 0, 5, 1, 2});
    EXPECT_EQ(read(path("v.pkg"))->count(), 0u);
    EXPECT_EQ(log, std::vector<std::string>{"key = a"});
    log.clear();
    writeFile(path("h.pkg"), {0, 0, 0, 1, 0, 0, 0, 2, 0x61});  // the key itself is cut
    EXPECT_EQ(read(path("h.pkg"))->count(), 0u);
    EXPECT_TRUE(log.empty());
}

// Where renaming a new file over the old one would change what the path is, the package is
// written where it lies: through a symbolic link (the link stays), into a file with other hard
// links (they all see it), in a folder the writer may not add to but whose file it may write.
TEST_F(PackageTest, WriterKeepsLinksAndWritesInPlaceWhereARenameCannot) {
    NSMutableDictionary* in = NSMutableDictionary::dictionary();
    in->setObject(NSData::dataWithBytes("\x01\x02", 2), NSSTR("a"));

    ASSERT_EQ(mkdir(path("real").c_str(), 0755), 0);
    writeFile(path("real/target.pkg"), {0, 0, 0, 0});
    ASSERT_EQ(symlink("real/target.pkg", path("link.pkg").c_str()), 0);
    ASSERT_TRUE(DataEncrypt::saveDatas(in, NSString::stringWithStdString(path("link.pkg"))));
    struct stat st;
    ASSERT_EQ(lstat(path("link.pkg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readFile(path("real/target.pkg")), kOneEntry);

    writeFile(path("one.pkg"), {0, 0, 0, 0});
    ASSERT_EQ(link(path("one.pkg").c_str(), path("two.pkg").c_str()), 0);
    ASSERT_TRUE(DataEncrypt::saveDatas(in, NSString::stringWithStdString(path("one.pkg"))));
    EXPECT_EQ(readFile(path("two.pkg")), kOneEntry);
    ASSERT_EQ(stat(path("one.pkg").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u);

    // A folder that takes no new file (owned by root, 0555) around a file "nobody" may write:
    // written as nobody in a child process when the test runs as root.
    ASSERT_EQ(mkdir(path("locked").c_str(), 0755), 0);
    std::string locked = path("locked/x.pkg");
    writeFile(locked, {0, 0, 0, 0});
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0666), 0);
    ASSERT_EQ(chmod(path("locked").c_str(), 0555), 0);
    int rc = bdtest::runInChild(
        [&] {
            if (geteuid() == 0 &&
                (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                 setresuid(65534, 65534, 65534) != 0))
                return 2;
            NSAutoreleasePool childPool;
            return DataEncrypt::saveDatas(in, NSString::stringWithStdString(locked)) ? 0 : 1;
        },
        20);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(readFile(locked), kOneEntry);
    chmod(path("locked").c_str(), 0755);
    EXPECT_EQ(entries(),
              (std::vector<std::string>{"link.pkg", "locked", "one.pkg", "real", "two.pkg"}));
}

}  // namespace
