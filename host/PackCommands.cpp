// `backdrop pack`, `backdrop ls`, `backdrop unpack`: build and inspect resource packages.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "Commands.h"
#include "Common/NSData+DataEncrypt.h"
#include "CoreGraphics/CGImage.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"

namespace fs = std::filesystem;

namespace {

using host::fail;
using host::str;

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

int pack(const std::string& dir, const std::string& out, bool plain) {
    NSAutoreleasePool pool;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return fail("not a directory: " + dir);
    std::vector<std::string> keys;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec))
            keys.push_back(fs::relative(it->path(), dir, ec).generic_string());
    }
    if (ec) return fail("cannot list " + dir + ": " + ec.message());
    std::sort(keys.begin(), keys.end());  // the same folder always gives the same bytes

    NSMutableDictionary* records = NSMutableDictionary::dictionaryWithCapacity(keys.size());
    size_t total = 0;
    for (const std::string& key : keys) {
        NSData* bytes = NSData::dataWithContentsOfFile(str(dir + "/" + key));
        if (!bytes) return fail("cannot read " + dir + "/" + key);
        NSString* k = str(key);
        if (!k) return fail("file name is not UTF-8: " + key);
        records->setObject(DataEncrypt::encryptionDataWithData(bytes, !plain), k);
        total += bytes->length();
    }
    if (!DataEncrypt::saveDatas(records, str(out))) return fail("cannot write " + out);
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
        std::printf("%s\t%zu\t%s\t%s\n", as<NSString>(keys->objectAtIndex(i))->UTF8String(), length,
                    flag, what.c_str());
    }
    std::printf("%zu records, %zu pictures, %zu stored bytes\n", keys->count(), pictures, bytes);
    return 0;
}

// A key names a file under the output folder only if it is relative and never climbs out.
bool safeKey(const std::string& key) {
    if (key.empty() || key.front() == '/' || key.find('\0') != std::string::npos) return false;
    fs::path p(key);
    for (const auto& part : p) {
        if (part == ".." || part == ".") return false;
    }
    return !p.has_root_path();
}

int unpack(const std::string& file, const std::string& outDir) {
    NSAutoreleasePool pool;
    Package pkg;
    if (!readPackage(file, pkg)) return fail("not a file: " + file);
    NSArray* keys = pkg.keys;
    NSArray* values = pkg.values;
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec) return fail("cannot create " + outDir + ": " + ec.message());
    int refused = 0;
    size_t written = 0;
    for (size_t i = 0; i < keys->count(); ++i) {
        std::string key = as<NSString>(keys->objectAtIndex(i))->UTF8String();
        if (!safeKey(key)) {
            std::fprintf(stderr, "backdrop: refused key that would leave %s: %s\n", outDir.c_str(),
                         key.c_str());
            ++refused;
            continue;
        }
        fs::path target = fs::path(outDir) / key;
        fs::create_directories(target.parent_path(), ec);
        NSData* plain = DataEncrypt::dataWithEncryptionData(as<NSData>(values->objectAtIndex(i)));
        FILE* f = std::fopen(target.c_str(), "wb");
        bool ok = f && std::fwrite(plain->bytes(), 1, plain->length(), f) == plain->length();
        if (f && std::fclose(f) != 0) ok = false;
        if (!ok) return fail("cannot write " + target.string());
        ++written;
    }
    std::printf("%zu files written to %s\n", written, outDir.c_str());
    return refused ? host::kExitFailure : 0;
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
