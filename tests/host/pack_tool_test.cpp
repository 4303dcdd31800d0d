// The package subcommands of the backdrop tool, run as a user runs them.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/files.h"
#include "support/pictures.h"
#include "support/process.h"

namespace fs = std::filesystem;

namespace {

int run(const std::string& args) {
    int status = std::system((bdtest::toolPath() + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PackTool, PackIsDeterministicAndUnpackRestoresEveryFile) {
    bdtest::TempDir temp("pack");
    const std::string& dir = temp.path();
    ASSERT_EQ(std::system(("mkdir -p " + dir + "/in/sub").c_str()), 0);
    ASSERT_TRUE(bdtest::writeFile(dir + "/in/b.txt", {'o', 'd', 'd'}));
    ASSERT_TRUE(bdtest::writeFile(dir + "/in/sub/a.png", bdtest::solidPng(3, 2, 0xFF112233u)));
    ASSERT_EQ(run("pack " + dir + "/in -o " + dir + "/one.pkg"), 0);
    ASSERT_EQ(run("pack " + dir + "/in -o " + dir + "/two.pkg"), 0);
    EXPECT_EQ(bdtest::readFile(dir + "/one.pkg"), bdtest::readFile(dir + "/two.pkg"));

    // Sorted keys: "b.txt" before "sub/a.png"; the scrambled payload ends with the flag byte 1.
    std::string bytes = bdtest::readFile(dir + "/one.pkg");
    ASSERT_GE(bytes.size(), 4u + 4 + 5 + 4 + 4);
    EXPECT_EQ(bytes.substr(8, 5), "b.txt");
    EXPECT_EQ(bytes[13 + 4 + 3], '\x01');

    ASSERT_EQ(run("unpack " + dir + "/one.pkg -o " + dir + "/out"), 0);
    EXPECT_EQ(bdtest::readFile(dir + "/out/b.txt"), "odd");
    EXPECT_EQ(bdtest::readFile(dir + "/out/sub/a.png"), bdtest::readFile(dir + "/in/sub/a.png"));
    EXPECT_EQ(run("ls " + dir + "/one.pkg"), 0);

    ASSERT_EQ(run("pack " + dir + "/in --plain -o " + dir + "/plain.pkg"), 0);
    EXPECT_NE(bdtest::readFile(dir + "/plain.pkg").find("odd\x00", 0, 4), std::string::npos);
}

TEST(PackTool, BadInputGivesAClearFailure) {
    bdtest::TempDir temp("packbad");
    const std::string& dir = temp.path();
    EXPECT_EQ(run("ls " + dir + "/missing.pkg"), 1);
    EXPECT_EQ(run("pack " + dir + "/missing -o " + dir + "/x.pkg"), 1);
    EXPECT_EQ(run("pack"), 2);
    EXPECT_EQ(run("frobnicate"), 2);

    // A key that climbs out of the output folder is refused and nothing is written for it.
    static const char kEvil[] =
        "\x00\x00\x00\x02\x00\x00\x00\x06../x.y\x00\x00\x00\x02hi\x00\x00\x00\x05"
        "ok.tx\x00\x00\x00\x02ok";
    std::string evil(kEvil, sizeof kEvil - 1);
    std::string evilPath = dir + "/evil.pkg";
    ASSERT_TRUE(bdtest::writeFile(evilPath, std::vector<uint8_t>(evil.begin(), evil.end())));
    EXPECT_EQ(run("unpack " + evilPath + " -o " + dir + "/out"), 1);
    EXPECT_FALSE(std::ifstream(dir + "/x.y").good());
    EXPECT_TRUE(std::ifstream(dir + "/out/ok.tx").good());
}

// ---------------------------------------------------------------------------------------------
// Hostile packages and folders

using Record = std::pair<std::string, std::string>;  // key, stored value (flag byte last)

// A package file's bytes holding the records as they are, whatever the keys hold.
std::vector<uint8_t> packageBytes(const std::vector<Record>& records) {
    std::vector<uint8_t> out;
    auto be = [&out](size_t v) {
        for (int k = 3; k >= 0; --k) out.push_back(uint8_t(v >> (8 * k)));
    };
    be(records.size());
    for (auto& [key, value] : records) {
        be(key.size());
        out.insert(out.end(), key.begin(), key.end());
        be(value.size());
        out.insert(out.end(), value.begin(), value.end());
    }
    return out;
}

size_t lines(const std::string& text, const std::string& start) {
    size_t n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) n += line.rfind(start, 0) == 0;
    return n;
}

struct Tool {
    int code = -1;
    std::string out, err;
};
Tool tool(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(bdtest::toolPath());
    argv.insert(argv.end(), args.begin(), args.end());
    Tool t;
    t.code = bdtest::run(argv, &t.out, &t.err);
    return t;
}

// Existing links in the output folder are never followed: a key through a linked folder is
// skipped, a file that is a link is replaced by the record's file.
TEST(PackTool, UnpackNeverWritesThroughLinksInItsFolder) {
    bdtest::TempDir dir("unpacklinks");
    ASSERT_EQ(mkdir((dir / "outside").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
    ASSERT_TRUE(bdtest::writeFile(dir / "victim", {'v'}));
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "out/evil").c_str()), 0);
    ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "out/ok.txt").c_str()), 0);
    ASSERT_TRUE(
        bdtest::writeFile(dir / "p.pkg", packageBytes({{"evil/pwned.txt", std::string("pwn\0", 4)},
                                                       {"ok.txt", std::string("new\0", 4)},
                                                       {"good.txt", std::string("good\0", 5)}})));
    Tool t = tool({"unpack", dir / "p.pkg", "-o", dir / "out"});
    EXPECT_EQ(t.code, 1);
    EXPECT_EQ(lines(t.err, "backdrop: skipped key \"evil/pwned.txt\""), 1u) << t.err;
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
    EXPECT_EQ(bdtest::readFile(dir / "victim"), "v");
    EXPECT_FALSE(fs::is_symlink(dir / "out/ok.txt"));
    EXPECT_EQ(bdtest::readFile(dir / "out/ok.txt"), "new");
    EXPECT_EQ(bdtest::readFile(dir / "out/good.txt"), "good");
}

// Keys that name no writable file (a trailing slash, a component past NAME_MAX, a file where a
// folder is needed, a zero byte that would cut two keys down to one name) are skipped one line
// each; everything else is written, values of 0 and 1 byte included, and the exit code says
// that something was left out.
TEST(PackTool, UnpackSkipsWhatItCannotWriteAndWritesTheRest) {
    bdtest::TempDir dir("unpackskip");
    std::vector<Record> records = {
        {"trailing/", std::string("x\0", 2)},
        {std::string(300, 'n'), std::string("x\0", 2)},
        {"file.txt", std::string("f\0", 2)},
        {"file.txt/inner", std::string("x\0", 2)},
        {std::string("a\0first", 7), std::string("1\0", 2)},
        {std::string("a\0second", 8), std::string("2\0", 2)},
        {"one", "\x01"},
        {"zero", ""},
        {"sub/z.txt", std::string("z\0", 2)},
    };
    ASSERT_TRUE(bdtest::writeFile(dir / "p.pkg", packageBytes(records)));
    Tool t = tool({"unpack", dir / "p.pkg", "-o", dir / "out"});
    EXPECT_EQ(t.code, 1);
    EXPECT_EQ(lines(t.err, "backdrop: skipped key "), 5u) << t.err;
    EXPECT_EQ(lines(t.err, "backdrop: 5 of 9 records not written"), 1u) << t.err;
    EXPECT_NE(t.out.find("4 files written"), std::string::npos) << t.out;
    EXPECT_EQ(bdtest::readFile(dir / "out/file.txt"), "f");
    EXPECT_EQ(bdtest::readFile(dir / "out/sub/z.txt"), "z");
    EXPECT_TRUE(fs::is_regular_file(dir / "out/one"));
    EXPECT_EQ(fs::file_size(dir / "out/one"), 0u);
    EXPECT_EQ(fs::file_size(dir / "out/zero"), 0u);
    EXPECT_FALSE(fs::exists(dir / "out/a"));
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir / "out")) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"file.txt", "one", "sub", "zero"}));
}

// Where a file is replaced, it is replaced whole: a write that fails (past the file-size limit,
// as on a full disk) leaves the old file as it was, for unpack's files and for pack's package.
TEST(PackTool, AFailedWriteLeavesTheOldFileWhole) {
    bdtest::TempDir dir("packfull");
    std::string big(64 * 1024, 'b');
    ASSERT_TRUE(bdtest::writeFile(dir / "p.pkg", packageBytes({{"f.txt", big + '\0'}})));
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
    ASSERT_TRUE(bdtest::writeFile(dir / "out/f.txt", {'o', 'l', 'd'}));
    // The tool ignores SIGXFSZ (the shell's trap survives exec) and sees EFBIG.
    std::vector<std::string> limited = {"sh", "-c",
                                        "trap '' XFSZ; exec prlimit --fsize=16384 \"$@\"", "sh"};
    Tool t = tool({"unpack", dir / "p.pkg", "-o", dir / "out"}, limited);
    EXPECT_EQ(t.code, 1) << t.err;
    EXPECT_EQ(bdtest::readFile(dir / "out/f.txt"), "old");

    ASSERT_EQ(mkdir((dir / "in").c_str(), 0755), 0);
    ASSERT_TRUE(bdtest::writeFile(dir / "in/small", {'s'}));
    ASSERT_EQ(tool({"pack", dir / "in", "-o", dir / "x.pkg"}).code, 0);
    std::string good = bdtest::readFile(dir / "x.pkg");
    ASSERT_TRUE(bdtest::writeFile(dir / "in/big", std::vector<uint8_t>(big.begin(), big.end())));
    t = tool({"pack", dir / "in", "-o", dir / "x.pkg"}, limited);
    EXPECT_EQ(t.code, 1);
    EXPECT_EQ(lines(t.err, "backdrop: cannot write"), 1u) << t.err;
    EXPECT_EQ(bdtest::readFile(dir / "x.pkg"), good);
    for (auto& e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find(".x.pkg"), std::string::npos) << e.path();
}

// A folder packed into a package inside itself: the package and the temporaries of killed
// runs are never packed, and those temporaries are swept; a file name that is no UTF-8 is
// refused before anything is written.
TEST(PackTool, PackLeavesItsOwnOutputOutAndRefusesNamesThatAreNotUtf8) {
    bdtest::TempDir dir("packself");
    ASSERT_TRUE(bdtest::writeFile(dir / "a.txt", {'a'}));
    ASSERT_EQ(tool({"pack", dir.path(), "-o", dir / "x.pkg"}).code, 0);
    std::string first = bdtest::readFile(dir / "x.pkg");
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    std::string stale = ".x.pkg.backdrop-tmp." + std::to_string(dead);
    ASSERT_TRUE(bdtest::writeFile(dir / stale, {1, 2, 3}));
    Tool t = tool({"pack", dir.path(), "-o", dir / "x.pkg"});
    EXPECT_EQ(t.code, 0);
    EXPECT_NE(t.out.find("1 records"), std::string::npos) << t.out;
    EXPECT_EQ(bdtest::readFile(dir / "x.pkg"), first);
    EXPECT_FALSE(fs::exists(dir / stale));

    ASSERT_TRUE(bdtest::writeFile(dir / "b\xff.txt", {'b'}));
    t = tool({"pack", dir.path(), "-o", dir / "y.pkg"});
    EXPECT_EQ(t.code, 1);
    EXPECT_EQ(t.err, "backdrop: file name is not UTF-8: b\\xff.txt\n");
    EXPECT_FALSE(fs::exists(dir / "y.pkg"));
}

// `ls` shows keys with their control characters escaped, on stdout and in the log lines, and
// decodes one picture at a time: a package of large pictures is listed in the memory of one.
TEST(PackTool, LsEscapesKeysAndHoldsOnePictureAtATime) {
    bdtest::TempDir dir("lsmem");
    std::vector<uint8_t> png = bdtest::solidPng(2048, 2048, 0xFF3366AAu);
    std::string stored(png.begin(), png.end());
    stored += '\0';
    std::vector<Record> records;
    for (int i = 0; i < 10; ++i) records.push_back({"p" + std::to_string(i) + ".png", stored});
    records.push_back({"\x1b[31mred\x07", std::string("x\0", 2)});
    ASSERT_TRUE(bdtest::writeFile(dir / "p.pkg", packageBytes(records)));

    bdtest::Child c =
        bdtest::spawn({bdtest::toolPath(), "ls", dir / "p.pkg"}, {}, true, dir / "err");
    std::string out;
    while (bdtest::readSome(c, &out)) {
        pollfd p = {c.out, POLLIN, 0};
        poll(&p, 1, 100);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(c.pid, &status, 0, &usage), c.pid);
    close(c.out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(lines(out, "p"), 10u);
    EXPECT_EQ(out.find("not a picture\np"), std::string::npos) << out;
    EXPECT_NE(out.find("11 records, 10 pictures"), std::string::npos) << out;
    EXPECT_NE(out.find("\\x1b[31mred\\x07\t"), std::string::npos) << out;
    std::string err = bdtest::readFile(dir / "err");
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_EQ(err.find('\x1b'), std::string::npos);
    EXPECT_NE(err.find("key = \\x1b[31mred\\x07"), std::string::npos) << err;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // One decoded picture is 16 MiB; all ten held at once would be 160 MiB.
    EXPECT_LT(usage.ru_maxrss, 96 * 1024) << "peak resident KiB";
#endif
}

}  // namespace
