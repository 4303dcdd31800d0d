#include "Symbolizer.h"

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace host {
namespace {

constexpr size_t kMaxMapBytes = 4u << 20;
constexpr size_t kMaxMappings = 65536;
constexpr uint64_t kMaxElfSize = uint64_t(2) << 30;
constexpr uint64_t kMaxTableBytes = uint64_t(256) << 20;
constexpr size_t kMaxNameBytes = 4096;

struct File {
    int fd = -1;
    uint64_t size = 0;
    ~File() {
        if (fd >= 0) close(fd);
    }
    bool open(const std::string& path) {
        // A FIFO or a device where a library should be must not block or be read.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
            uint64_t(st.st_size) > kMaxElfSize)
            return false;
        size = uint64_t(st.st_size);
        return true;
    }
    // Reads exactly n bytes at off, which must lie inside the file.
    bool readAt(uint64_t off, void* dst, uint64_t n) const {
        if (off > size || n > size - off) return false;
        auto* p = static_cast<uint8_t*>(dst);
        while (n > 0) {
            ssize_t got = pread(fd, p, n, off_t(off));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            p += got;
            off += uint64_t(got);
            n -= uint64_t(got);
        }
        return true;
    }
};

std::string demangle(const std::string& name) {
    if (name.empty()) return name;
    int status = 0;
    char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string out = status == 0 && plain ? plain : name;
    std::free(plain);
    // A part the compiler split off ("f() [clone .cold]") is still f.
    size_t clone = out.find(" [clone ");
    if (clone != std::string::npos) out.resize(clone);
    return out;
}

// The best function symbol of one table (FUNC or IFUNC, defined) holding vaddr.
bool searchTable(const File& f, const Elf64_Shdr& table, const Elf64_Shdr& strings, uint64_t vaddr,
                 std::string* name) {
    if (table.sh_entsize != sizeof(Elf64_Sym) || table.sh_size > kMaxTableBytes ||
        strings.sh_size > kMaxTableBytes || strings.sh_type != SHT_STRTAB)
        return false;
    size_t count = size_t(table.sh_size / sizeof(Elf64_Sym));
    std::vector<Elf64_Sym> syms(count);
    std::vector<char> strs(size_t(strings.sh_size));
    if (!f.readAt(table.sh_offset, syms.data(), count * sizeof(Elf64_Sym)) ||
        !f.readAt(strings.sh_offset, strs.data(), strs.size()))
        return false;
    const Elf64_Sym* best = nullptr;
    for (const Elf64_Sym& s : syms) {
        int type = ELF64_ST_TYPE(s.st_info);
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || s.st_shndx == SHN_UNDEF) continue;
        if (vaddr < s.st_value) continue;
        bool inside = s.st_size ? vaddr - s.st_value < s.st_size : vaddr == s.st_value;
        if (!inside) continue;
        if (!best || s.st_value > best->st_value) best = &s;
    }
    if (!best || best->st_name >= strs.size()) return false;
    const char* start = strs.data() + best->st_name;
    size_t room = strs.size() - best->st_name;
    size_t len = strnlen(start, room < kMaxNameBytes ? room : kMaxNameBytes);
    if (len == room || len == kMaxNameBytes) return false;  // no terminator in bounds
    *name = demangle(std::string(start, len));
    return !name->empty();
}

bool inRuntime(const std::string& file) {
    const char* base = std::strrchr(file.c_str(), '/');
    base = base ? base + 1 : file.c_str();
    return std::strncmp(base, "libc.so", 7) == 0 || std::strncmp(base, "libc-", 5) == 0 ||
           std::strncmp(base, "libstdc++", 9) == 0 || std::strncmp(base, "libgcc_s", 8) == 0 ||
           std::strncmp(base, "libasan", 7) == 0 || std::strncmp(base, "libtsan", 7) == 0 ||
           std::strncmp(base, "libubsan", 8) == 0;
}

}  // namespace

bool ProcessMap::read(pid_t pid) {
    _ranges.clear();
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/maps", int(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, size_t(n));
        if (text.size() > kMaxMapBytes) break;
    }
    close(fd);
    size_t at = 0;
    while (at < text.size() && _ranges.size() < kMaxMappings) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) break;  // a cut line is left out
        std::string line = text.substr(at, nl - at);
        at = nl + 1;
        uint64_t start = 0, end = 0, offset = 0;
        char perms[8] = {};
        int pathAt = -1;
        if (std::sscanf(line.c_str(), "%" SCNx64 "-%" SCNx64 " %7s %" SCNx64 " %*s %*s %n", &start,
                        &end, perms, &offset, &pathAt) < 4 ||
            pathAt < 0 || end <= start)
            continue;
        std::string file = line.substr(size_t(pathAt));
        if (file.empty() || file[0] != '/') continue;
        const char* deleted = " (deleted)";
        if (file.size() > std::strlen(deleted) &&
            file.compare(file.size() - std::strlen(deleted), std::string::npos, deleted) == 0)
            file.resize(file.size() - std::strlen(deleted));
        _ranges.push_back({start, end, offset, file});
    }
    return true;
}

MappedCode ProcessMap::locate(uint64_t address) const {
    for (const Range& r : _ranges)
        if (address >= r.start && address < r.end) return {r.file, address - r.start + r.offset};
    return {};
}

std::string functionAtFileOffset(const std::string& path, uint64_t offset) {
    File f;
    if (!f.open(path)) return "";
    Elf64_Ehdr eh;
    if (!f.readAt(0, &eh, sizeof eh)) return "";
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_ident[EI_DATA] != ELFDATA2LSB ||
        (eh.e_machine != EM_X86_64 && eh.e_machine != EM_AARCH64))
        return "";
    // The file offset becomes an address through the loadable segment that maps it.
    if (eh.e_phentsize != sizeof(Elf64_Phdr) || eh.e_phnum == 0 || eh.e_phnum > 512) return "";
    std::vector<Elf64_Phdr> ph(eh.e_phnum);
    if (!f.readAt(eh.e_phoff, ph.data(), ph.size() * sizeof(Elf64_Phdr))) return "";
    bool mapped = false;
    uint64_t vaddr = 0;
    for (const Elf64_Phdr& p : ph) {
        if (p.p_type != PT_LOAD || offset < p.p_offset || offset - p.p_offset >= p.p_filesz)
            continue;
        vaddr = offset - p.p_offset + p.p_vaddr;
        mapped = true;
        break;
    }
    if (!mapped) return "";
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum == 0 || eh.e_shnum >= SHN_LORESERVE)
        return "";
    std::vector<Elf64_Shdr> sh(eh.e_shnum);
    if (!f.readAt(eh.e_shoff, sh.data(), sh.size() * sizeof(Elf64_Shdr))) return "";
    std::string name;
    for (uint32_t want : {uint32_t(SHT_SYMTAB), uint32_t(SHT_DYNSYM)}) {
        for (const Elf64_Shdr& s : sh) {
            if (s.sh_type != want || s.sh_link >= sh.size()) continue;
            if (searchTable(f, s, sh[s.sh_link], vaddr, &name)) return name;
        }
    }
    return "";
}

std::vector<CrashFrame> symbolize(const ProcessMap& map, const std::vector<uint64_t>& pcs) {
    std::vector<CrashFrame> frames;
    for (size_t i = 0; i < pcs.size(); ++i) {
        CrashFrame f;
        f.address = pcs[i];
        // A return address lies after its call, possibly already in the next function.
        uint64_t look = i == 0 || pcs[i] == 0 ? pcs[i] : pcs[i] - 1;
        MappedCode code = map.locate(look);
        f.file = code.file;
        if (!code.file.empty()) f.function = functionAtFileOffset(code.file, code.offset);
        frames.push_back(std::move(f));
    }
    return frames;
}

std::string faultingFunction(const std::vector<CrashFrame>& frames, const std::string& bundleDir) {
    std::string dir = bundleDir;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    for (const CrashFrame& f : frames)
        if (!dir.empty() && !f.function.empty() && f.file.compare(0, dir.size(), dir) == 0)
            return f.function;
    for (const CrashFrame& f : frames)
        if (!f.function.empty() && !inRuntime(f.file)) return f.function;
    for (const CrashFrame& f : frames)
        if (!f.function.empty()) return f.function;
    return "";
}

}  // namespace host
