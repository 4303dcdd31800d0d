// The parts of the wallpaper process that read what a hostile child or a hostile library
// gives: the message reader, and the ELF reader that names a crash's function.

#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "host/wallpaper/Protocol.h"
#include "host/wallpaper/Symbolizer.h"
#include "support/files.h"
#include "support/process.h"

using namespace host;

namespace {

__attribute__((noinline)) int markerFunctionForTheSymbolizer(int x) {
    return x * 3 + 1;
}

std::vector<uint8_t> bytesOf(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

}  // namespace

TEST(WallpaperWire, TheReaderNeverReadsPastAMessage) {
    wire::Writer w(wire::Type::Reply, 42);
    w.u8(1).u16(2).str("one").str(std::string(5000, 'x'));  // the second is cut to 4096
    const auto& b = w.bytes();
    wire::Reader in(b.data(), b.size());
    wire::Header h;
    ASSERT_TRUE(in.header(&h));
    EXPECT_EQ(h.type, wire::Type::Reply);
    EXPECT_EQ(h.seq, 42u);
    EXPECT_EQ(in.u8(), 1);
    EXPECT_EQ(in.u16(), 2);
    EXPECT_EQ(in.str(), "one");
    EXPECT_EQ(in.str().size(), wire::kMaxText);
    EXPECT_TRUE(in.finished());

    // A length past the end, a string over its bound, bytes left over, a wrong magic.
    std::vector<uint8_t> cut(b.begin(), b.begin() + 30);
    wire::Reader c(cut.data(), cut.size());
    c.header(&h);
    c.u8();
    c.u16();
    EXPECT_EQ(c.str(), "one");
    EXPECT_EQ(c.str(), "");
    EXPECT_FALSE(c.ok());
    EXPECT_EQ(c.u64(), 0u) << "reads after a failure give zeros";
    wire::Reader bounded(b.data(), b.size());
    bounded.header(&h);
    bounded.u8();
    bounded.u16();
    EXPECT_EQ(bounded.str(2), "");
    EXPECT_FALSE(bounded.ok());
    wire::Reader extra(b.data(), b.size());
    extra.header(&h);
    EXPECT_FALSE(extra.finished());
    std::vector<uint8_t> forged = bytesOf("ok\t0\tall checks passed\n");
    wire::Reader f(forged.data(), forged.size());
    EXPECT_FALSE(f.header(&h));
    wire::Reader empty(nullptr, 0);
    EXPECT_FALSE(empty.header(&h));
}

TEST(WallpaperWire, CrashesAreNamedFromTheSymbolTable) {
    ProcessMap map;
    ASSERT_TRUE(map.read(getpid()));
    auto pc = reinterpret_cast<uint64_t>(&markerFunctionForTheSymbolizer);
    std::vector<CrashFrame> frames = symbolize(map, {pc + 2, 0});
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_NE(frames[0].function.find("markerFunctionForTheSymbolizer(int)"), std::string::npos)
        << frames[0].function;
    EXPECT_EQ(frames[1].function, "") << "an address in no mapping";
    // The wallpaper's own frame is named before the C library's.
    std::vector<CrashFrame> stack = {{1, "/usr/lib/x86_64-linux-gnu/libc.so.6", "abort"},
                                     {2, "/b/W.bundle/W.so", "View::doAnimating()"},
                                     {3, "/usr/bin/backdrop", "main"}};
    EXPECT_EQ(faultingFunction(stack, "/b/W.bundle"), "View::doAnimating()");
    // Without a frame of the wallpaper's, the first outside the C and C++ runtimes.
    std::vector<CrashFrame> runtime = {
        {1, "/usr/lib/x86_64-linux-gnu/libc.so.6", "abort"},
        {2, "/usr/lib/x86_64-linux-gnu/libstdc++.so.6", "std::terminate()"},
        {3, "/usr/bin/backdrop", "main"}};
    EXPECT_EQ(faultingFunction(runtime, "/b/W.bundle"), "main");
    EXPECT_EQ(faultingFunction({}, "/b"), "");
}

// A library the child mapped is read as hostile: every corruption names nothing, at once.
TEST(WallpaperWire, ACorruptLibraryNamesNothing) {
    bdtest::TempDir dir("elf");
    std::string good = bdtest::readFile(bdtest::bundlePath("Hostile.bundle") + "/Hostile.so");
    ASSERT_GT(good.size(), sizeof(Elf64_Ehdr));
    Elf64_Ehdr eh;
    std::memcpy(&eh, good.data(), sizeof eh);
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::string path = dir / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    };
    auto patched = [&](auto edit) {
        std::string b = good;
        Elf64_Ehdr h;
        std::memcpy(&h, b.data(), sizeof h);
        edit(b, h);
        std::memcpy(b.data(), &h, sizeof h);
        return b;
    };
    // Every section header's fields, bent one way or another.
    auto sections = [&](auto edit) {
        return patched([&](std::string& b, Elf64_Ehdr& h) {
            for (unsigned i = 0; i < h.e_shnum; ++i) {
                Elf64_Shdr s;
                size_t at = h.e_shoff + i * sizeof s;
                if (at + sizeof s > b.size()) break;
                std::memcpy(&s, b.data() + at, sizeof s);
                edit(s);
                std::memcpy(b.data() + at, &s, sizeof s);
            }
        });
    };
    // An offset inside the first loadable segment.
    uint64_t offset = 0x1100;
    std::vector<std::string> files = {
        write("empty.so", ""),
        write("cut.so", good.substr(0, 100)),
        write("half.so", good.substr(0, good.size() / 2)),
        write("shoff.so", patched([](std::string&, Elf64_Ehdr& h) { h.e_shoff = ~0ull - 8; })),
        write("shnum.so", patched([](std::string&, Elf64_Ehdr& h) { h.e_shnum = 0xfeff; })),
        write("phnum.so", patched([](std::string&, Elf64_Ehdr& h) { h.e_phnum = 0xffff; })),
        write("class.so",
              patched([](std::string&, Elf64_Ehdr& h) { h.e_ident[EI_CLASS] = ELFCLASS32; })),
        write("size.so", sections([](Elf64_Shdr& s) { s.sh_size = ~0ull / 2; })),
        write("offset.so", sections([](Elf64_Shdr& s) { s.sh_offset = ~0ull - 100; })),
        write("link.so", sections([](Elf64_Shdr& s) { s.sh_link = 60000; })),
        write("entsize.so", sections([](Elf64_Shdr& s) { s.sh_entsize = 1; })),
        write("strings.so", sections([&](Elf64_Shdr& s) {
                  if (s.sh_type == SHT_STRTAB) s.sh_size = 3;  // names run past their table
              })),
    };
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        std::string name = functionAtFileOffset(f, offset);
        EXPECT_TRUE(name.empty() || name.size() < 4096);
    }
    // Not files at all: a folder and a FIFO (which must not block the reader).
    EXPECT_EQ(functionAtFileOffset(dir.path(), 0), "");
    std::string fifo = dir / "fifo.so";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(functionAtFileOffset(fifo, 0), "");
    EXPECT_EQ(functionAtFileOffset(dir / "missing.so", 0), "");
}
