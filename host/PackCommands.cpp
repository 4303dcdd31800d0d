// `backdrop pack`, `backdrop ls`, `backdrop unpack`: build and inspect resource packages.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "Commands.h"
#include "Common/NSData+DataEncrypt.h"
#include "CoreGraphics/CGImage.h"
#include "Foundation/FileIO.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"

namespace fs = std::filesystem;

namespace {

using host::fail;
using host::str;

// Keys and file names as they may be shown on a terminal: control characters escaped.
std::string printable(const std::string& s) {
    return bd::printableText(s, true);
}

// A package's records in file order. The reader writes its "key = %@" / "data length = %d"
// lines to the log (stderr) as it goes. False when the path is no regular file.
struct Package {
    NSArray* keys = nullptr;
    NSArray* values = nullptr;
};
bool readPackage(const std::string& path, Package& out) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    NSMutableDictionary* records = DataEncrypt::readDatasFromFilePath(str(path));
    out.keys = records->allKeys();
    out.values = records->allValues();
    return true;
}

// Whether a file met while packing is the package being written or one of its temporaries:
// packing a folder into itself must not pack its own earlier output.
struct OutputFile {
    fs::path dir, name;
    bool exists = false;
    fs::file_status status;
    explicit OutputFile(const std::string& out) {
        std::error_code ec;
        fs::path p = fs::weakly_canonical(fs::absolute(out, ec), ec);
        dir = p.parent_path();
        name = p.filename();
        exists = fs::exists(p, ec);
    }
    bool matches(const fs::path& file) const {
        std::error_code ec;
        fs::path p = fs::weakly_canonical(fs::absolute(file, ec), ec);
        if (p.parent_path() != dir) return false;
        if (p.filename() == name) return true;
        return bd::isTemporaryOf(p.filename().string(), name.string());
    }
};

int pack(const std::string& dir, const std::string& out, bool plain) {
    NSAutoreleasePool pool;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return fail("not a directory: " + dir);
    OutputFile output(out);
    std::vector<std::string> keys;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec) || output.matches(it->path())) continue;
        std::string key = fs::relative(it->path(), dir, ec).generic_string();
        // Checked before anything is written: the reader stops at a key that is no UTF-8.
        if (!NSString::isValidUTF8(key.data(), key.size()))
            return fail("file name is not UTF-8: " + printable(key));
        keys.push_back(key);
    }
    if (ec) return fail("cannot list " + dir + ": " + ec.message());
    std::sort(keys.begin(), keys.end());  // the same folder always gives the same bytes

    NSMutableDictionary* records = NSMutableDictionary::dictionaryWithCapacity(keys.size());
    size_t total = 0;
    for (const std::string& key : keys) {
        NSData* bytes = NSData::dataWithContentsOfFile(str(dir + "/" + key));
        if (!bytes) return fail("cannot read " + printable(dir + "/" + key));
        if (bytes->length() >= size_t(INT32_MAX))
            return fail("too large for a package (2 GiB or more): " + printable(dir + "/" + key));
        records->setObject(DataEncrypt::encryptionDataWithData(bytes, !plain), str(key));
        total += bytes->length();
    }
    errno = 0;
    if (!DataEncrypt::saveDatas(records, str(out)))
        return fail("cannot write " + out +
                    (errno ? ": " + std::string(std::strerror(errno)) : ""));
    std::printf("%zu records, %zu payload bytes%s -> %s\n", keys.size(), total,
                plain ? " (plain)" : " (scrambled)", out.c_str());
    return 0;
}

int list(const std::string& file) {
    NSAutoreleasePool pool;
    Package pkg;
    if (!readPackage(file, pkg)) return fail("not a file: " + file);
    NSArray* keys = pkg.keys;
    NSArray* values = pkg.values;
    size_t pictures = 0, bytes = 0;
    for (size_t i = 0; i < keys->count(); ++i) {
        // One record's picture at a time: decoded, measured and let go before the next.
        NSAutoreleasePool recordPool;
        NSData* value = as<NSData>(values->objectAtIndex(i));
        size_t length = value ? value->length() : 0;
        bytes += length;
        const char* flag = "-";
        if (length > 0) {
            uint8_t last = static_cast<const uint8_t*>(value->bytes())[length - 1];
            flag = last == 0 ? "plain" : last == 1 ? "scrambled" : "flag?";
        }
        UIImage* image = UIImage::imageWithData(DataEncrypt::dataWithEncryptionData(value));
        std::string what = "not a picture";
        if (image) {
            ++pictures;
            what = std::to_string(CGImageGetWidth(image->CGImage())) + "x" +
                   std::to_string(CGImageGetHeight(image->CGImage()));
        }
        std::printf("%s\t%zu\t%s\t%s\n",
                    printable(as<NSString>(keys->objectAtIndex(i))->str()).c_str(), length, flag,
                    what.c_str());
    }
    std::printf("%zu records, %zu pictures, %zu stored bytes\n", keys->count(), pictures, bytes);
    return 0;
}

// Writes the files of a package's records under one folder, never outside it: every folder on
// a key's path is opened without following symbolic links, and each file replaces what was
// there through a temporary beside it.
class Unpacker {
  public:
    explicit Unpacker(int root) : _root(root) {}

    // "" when the record was written, else why not.
    std::string write(const std::string& key, NSData* value) {
        std::vector<std::string> parts;
        if (std::string why = split(key, parts); !why.empty()) return why;
        int dir = ::dup(_root);
        if (dir < 0) return std::strerror(errno);
        std::string walked;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            const std::string& part = parts[i];
            walked += part + "/";
            if (::mkdirat(dir, part.c_str(), 0777) != 0 && errno != EEXIST) {
                std::string why = "cannot make the folder " + walked + ": " + std::strerror(errno);
                ::close(dir);
                return why;
            }
            int next = ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            int err = errno;
            ::close(dir);
            if (next < 0)
                return walked + (err == ELOOP || err == ENOTDIR
                                     ? " is a symbolic link or no folder"
                                     : std::string(": ") + std::strerror(err));
            dir = next;
        }
        const std::string& name = parts.back();
        std::string why = put(dir, name, value);
        ::close(dir);
        return why;
    }

  private:
    // The key's path components; "" when it names a file inside the folder, else why not.
    static std::string split(const std::string& key, std::vector<std::string>& parts) {
        if (key.find('\0') != std::string::npos) return "the key holds a zero byte";
        if (key.empty()) return "the key is empty";
        if (key.front() == '/') return "the key is an absolute path";
        size_t start = 0;
        for (;;) {
            size_t slash = key.find('/', start);
            std::string part =
                key.substr(start, slash == std::string::npos ? slash : slash - start);
            if (part == "..") return "the key would leave the folder";
            if (part.empty() || part == ".") return "the key has an empty or \".\" path component";
            if (part.size() > NAME_MAX) return "a path component is longer than NAME_MAX";
            parts.push_back(part);
            if (slash == std::string::npos) return "";
            start = slash + 1;
        }
    }

    std::string put(int dir, const std::string& name, NSData* value) {
        // Two keys that the file system takes for one name (on a case-insensitive one, "A" and
        // "a") would silently merge: the second is refused.
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            _written.count({st.st_dev, st.st_ino}))
            return "it names the same file as an earlier key";
        NSData* plain = DataEncrypt::dataWithEncryptionData(value);
        if (!bd::writeFileAtomicallyAt(dir, name, plain->bytes(), plain->length()))
            return errno == EEXIST ? "a folder is in the way" : std::strerror(errno);
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            _written.insert({st.st_dev, st.st_ino});
        return "";
    }

    int _root;
    std::set<std::pair<dev_t, ino_t>> _written;
};

int unpack(const std::string& file, const std::string& outDir) {
    NSAutoreleasePool pool;
    Package pkg;
    if (!readPackage(file, pkg)) return fail("not a file: " + file);
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec) return fail("cannot create " + outDir + ": " + ec.message());
    int root = ::open(outDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return fail("cannot open " + outDir + ": " + std::strerror(errno));

    // Sorted, so that which of two clashing keys wins doesn't depend on the file's order.
    std::vector<std::pair<std::string, NSData*>> records;
    for (size_t i = 0; i < pkg.keys->count(); ++i)
        records.emplace_back(as<NSString>(pkg.keys->objectAtIndex(i))->str(),
                             as<NSData>(pkg.values->objectAtIndex(i)));
    std::sort(records.begin(), records.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    Unpacker unpacker(root);
    size_t written = 0, skipped = 0;
    for (auto& [key, value] : records) {
        NSAutoreleasePool recordPool;
        std::string why = unpacker.write(key, value);
        if (why.empty()) {
            ++written;
        } else {
            std::fprintf(stderr, "backdrop: skipped key \"%s\": %s\n", printable(key).c_str(),
                         why.c_str());
            ++skipped;
        }
    }
    ::close(root);
    std::printf("%zu files written to %s\n", written, outDir.c_str());
    if (skipped)
        return fail(std::to_string(skipped) + " of " + std::to_string(records.size()) +
                    " records not written");
    return 0;
}

}  // namespace

namespace host {

void addPackCommands(CLI::App& app, int& exitCode) {
    static std::string dir, out, file, outDir;
    static bool plain = false;
    auto* p = app.add_subcommand("pack", "Pack every file under DIR into a resource package");
    p->add_option("DIR", dir, "Folder to pack")->required();
    p->add_option("-o,--output", out, "Package file to write")->required();
    p->add_flag("--plain", plain, "Store payloads unscrambled (flag byte 0x00)");
    p->callback([&exitCode] { exitCode = pack(dir, out, plain); });

    auto* l = app.add_subcommand("ls", "List the records of a resource package");
    l->add_option("FILE", file, "Package file")->required();
    l->callback([&exitCode] { exitCode = list(file); });

    auto* u = app.add_subcommand("unpack", "Write each record's plain payload to DIR/key");
    u->add_option("FILE", file, "Package file")->required();
    u->add_option("-o,--output", outDir, "Folder to write into")->required();
    u->callback([&exitCode] { exitCode = unpack(file, outDir); });
}

}  // namespace host
