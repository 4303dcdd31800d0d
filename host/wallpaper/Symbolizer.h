#pragma once
// Names the functions of a crashed wallpaper process from its return addresses: the process's
// memory map (/proc/PID/maps, read while the child waits in its crash handler) gives the file
// and offset of each address, and the file's ELF symbol tables give the function — .symtab
// first, since a wallpaper built with hidden visibility exports only its entry points in
// .dynsym. The file is read as hostile input: every offset, size and count is bounded before
// it is used, and a file that is not a 64-bit ELF of this machine names nothing.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct MappedCode {
    std::string file;     // the mapped file ("" when the address lies in no file mapping)
    uint64_t offset = 0;  // the address's offset in that file
};

class ProcessMap {
  public:
    // [any-thread] Reads /proc/PID/maps (at most 4 MiB, 65536 mappings); false if unreadable.
    bool read(pid_t pid);
    // [any-thread]
    MappedCode locate(uint64_t address) const;

  private:
    struct Range {
        uint64_t start, end, offset;
        std::string file;
    };
    std::vector<Range> _ranges;
};

// [any-thread] The demangled name of the function whose code holds `offset` of the ELF file at
// `path` ("HarbourView::doAnimating()"), or "" when the file names none.
std::string functionAtFileOffset(const std::string& path, uint64_t offset);

struct CrashFrame {
    uint64_t address = 0;
    std::string file;
    std::string function;
};

// [any-thread] Resolves a backtrace (the faulting address first, then return addresses, which
// are looked up one byte before them, inside the call).
std::vector<CrashFrame> symbolize(const ProcessMap& map, const std::vector<uint64_t>& pcs);

// [any-thread] The frame to name in a crash report: the first one in a file under
// `bundleDir` (the wallpaper's own code), else the first named frame outside the C library
// and the C++ runtime, else the first named frame; "" when none is named.
std::string faultingFunction(const std::vector<CrashFrame>& frames, const std::string& bundleDir);

}  // namespace host
