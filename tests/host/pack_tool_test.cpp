// The package subcommands of the backdrop tool, run as a user runs them.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/pictures.h"
#include "support/process.h"
#include "support/tempdir.h"

namespace {

int run(const std::string& args) {
    int status = std::system((bdtest::toolPath() + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PackTool, PackIsDeterministicAndUnpackRestoresEveryFile) {
    bdtest::TempDir tmp("pack");
    std::string dir = tmp.path();
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
    bdtest::TempDir tmp("packbad");
    std::string dir = tmp.path();
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

}  // namespace
