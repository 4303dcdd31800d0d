// `backdrop list`, `backdrop info`, `backdrop thumbnail`: the bundle catalogue as a host sees
// it, through DataTool, without loading any wallpaper library.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Common/DataTool.h"
#include "Foundation/NSArray.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSString.h"
#include "UIKit/ImageIO.h"
#include "UIKit/UIImage.h"
#include "wallpaper/WallpaperProcess.h"

namespace {

using host::fail;
using host::str;
using namespace host;

const char* kLibraryKey = "name Library";

// The bundle's description as the catalogue reads it, or null.
NSDictionary* readDescription(const std::string& bundlePath) {
    NSBundle* bundle = NSBundle::bundleWithPath(str(bundlePath));
    if (!bundle) return nullptr;
    return NSDictionary::dictionaryWithContentsOfFile(
        bundle->pathForResource(NSSTR("description"), NSSTR("plist")));
}

// A value for a line of text: strings as they are, everything else as its description.
std::string text(NSObject* value) {
    if (!value) return "";
    if (auto* s = as<NSString>(value)) return s->str();
    return value->description()->str();
}

// A string quoted for one line: backslash, quote and control characters escaped. Bytes that are
// no UTF-8 (a folder name in another encoding) become \xNN, or U+FFFD in JSON, which has no
// way to carry them.
std::string quoted(const std::string& s, bool json) {
    if (json) return bd::jsonString(s);
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char buf[8];
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20) {
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else if (c >= 0x80) {
                    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
                    if (i + n <= s.size() && NSString::isValidUTF8(s.data() + i, n)) {
                        out.append(s, i, n);
                        i += n - 1;
                    } else {
                        std::snprintf(buf, sizeof buf, "\\x%02x", c);
                        out += buf;
                    }
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// One bundle of the catalogue: its path, its library and its description's text values.
struct Row {
    std::string path;
    bool hasDescription = false;
    std::string library;  // empty when "name Library" is missing or no string
    std::vector<std::pair<std::string, std::string>> values;
};

Row readRow(NSString* path) {
    Row row;
    row.path = path->str();
    NSDictionary* description = readDescription(row.path);
    if (!description) return row;
    row.hasDescription = true;
    // Every value from the one reading of the description: asking the catalogue key by key
    // would read and parse the whole file again for each key.
    NSArray* keys = description->allKeys();
    for (NSObject* k : *keys) {
        auto* key = as<NSString>(k);
        auto* value = key ? as<NSString>(description->objectForKey(key)) : nullptr;
        if (!key || !value) continue;
        if (key->str() == kLibraryKey)
            row.library = value->str();
        else
            row.values.emplace_back(key->str(), value->str());
    }
    return row;
}

std::string keyText(const std::string& key) {
    return key.find_first_of(" =\"\\") == std::string::npos && !key.empty() ? key
                                                                            : quoted(key, false);
}

void printRow(const Row& row) {
    std::string line = bd::printableText(row.path);
    if (!row.hasDescription) {
        line += "  (no readable description.plist)";
    } else {
        line += "  " + (row.library.empty() ? std::string("(no \"name Library\")") : row.library);
        for (auto& [key, value] : row.values)
            line += "  " + keyText(key) + "=" + quoted(value, false);
    }
    std::printf("%s\n", line.c_str());
}

void printJson(const std::vector<Row>& rows) {
    std::printf("[");
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        std::printf("%s\n  {\"path\": %s, \"name Library\": %s, \"description\": ", i ? "," : "",
                    quoted(r.path, true).c_str(),
                    r.library.empty() ? "null" : quoted(r.library, true).c_str());
        if (!r.hasDescription) {
            std::printf("null}");
            continue;
        }
        std::printf("{");
        for (size_t k = 0; k < r.values.size(); ++k)
            std::printf("%s%s: %s", k ? ", " : "", quoted(r.values[k].first, true).c_str(),
                        quoted(r.values[k].second, true).c_str());
        std::printf("}}");
    }
    std::printf(rows.empty() ? "]\n" : "\n]\n");
}

int list(const std::string& dir, bool json) {
    NSAutoreleasePool pool;
    // The catalogue logs why a directory can't be listed; say it once, in the tool's words.
    std::string logged;
    bd::setLogCapture([&](const std::string& m) { logged = m; });
    bd::setLogEcho(false);
    NSArray* paths = DataTool::findDeskTopsBundlePathWithDirectory(str(dir));
    bd::setLogEcho(true);
    bd::setLogCapture(nullptr);
    if (!paths) return fail("cannot list " + dir + ": " + logged);

    std::vector<Row> rows;
    for (NSObject* p : *paths)
        if (auto* path = as<NSString>(p)) rows.push_back(readRow(path));
    if (json) {
        printJson(rows);
    } else if (rows.empty()) {
        std::printf("no bundles\n");
    } else {
        for (const Row& r : rows) printRow(r);
    }
    return 0;
}

int info(const std::string& bundlePath, const std::string& key, bool oneKey) {
    NSAutoreleasePool pool;
    if (!NSBundle::bundleWithPath(str(bundlePath)))
        return fail(bundlePath + ": not a bundle directory");
    NSDictionary* description = readDescription(bundlePath);
    if (!description)
        return fail(bundlePath + ": description.plist is missing or is not a dictionary");
    // The description is read once; every value comes from that reading.
    if (oneKey) {
        NSObject* value = description->objectForKey(str(key));
        if (!value) return fail(bundlePath + ": description.plist has no key \"" + key + "\"");
        std::printf("%s\n", bd::printableText(text(value)).c_str());
        return 0;
    }
    NSArray* keys = description->allKeys();
    for (NSObject* k : *keys) {
        auto* name = as<NSString>(k);
        if (!name) continue;
        NSObject* value = description->objectForKey(name);
        std::printf("%s: %s\n", bd::printableText(name->str()).c_str(),
                    bd::printableText(text(value)).c_str());
    }
    return 0;
}

// Why the loader gives (or would give) no view: the loader's steps, as createDeskTopViewFromBundle:
// takes them, in a wallpaper process of its own (sandboxed: the library's code never runs in
// the tool) with BACKDROP_LOG=loader.
int why(const std::string& bundlePath, const ProcessFlags& flags) {
    WallpaperOptions options;
    std::string error;
    if (!applyProcessFlags(flags, &options, &error)) return fail(error, kExitUsage);
    std::error_code ec;
    if (!std::filesystem::is_directory(bundlePath, ec))
        return fail(bundlePath + ": not a bundle directory");
    const char* old = std::getenv("BACKDROP_LOG");
    std::string topics = old && *old ? std::string(old) + ",loader" : "loader";
    setenv("BACKDROP_LOG", topics.c_str(), 1);
    options.bundlePath = bundlePath;
    options.loadView = false;  // the "load" step loads, so its steps come back as they happen
    std::unique_ptr<WallpaperProcess> p = WallpaperProcess::spawn(options, &error);
    if (!p) return fail(error);
    std::vector<std::string> lines;
    bool answered = p->runStep("load", options.hangTimeout, &lines, &error);
    // The steps went to stderr before the answer: read them all.
    std::vector<std::string> steps;
    auto take = [&] {
        for (const WallpaperEvent& e : p->handle())
            if (e.kind == WallpaperEvent::Kind::Log && e.text.rfind("loader: ", 0) == 0)
                steps.push_back(e.text);
    };
    for (int i = 0; i < 10; ++i) {
        take();
        if (!steps.empty() && (steps.back().rfind("loader: stopped", 0) == 0 ||
                               steps.back().rfind("loader: view ", 0) == 0))
            break;
        usleep(20000);
    }
    for (const std::string& l : steps) std::printf("%s\n", l.c_str());
    if (!answered) return fail("the wallpaper process ended while loading: " + error);
    for (const std::string& l : lines)
        if (l.rfind("error=", 0) == 0) return fail(l.substr(6));
    std::printf("the loader gives a view\n");
    return 0;
}

int thumbnail(const std::string& bundlePath, const std::string& out) {
    NSAutoreleasePool pool;
    UIImage* image = DataTool::readDeskTopThumbnailImageFromBundleFile(str(bundlePath));
    if (!image) return fail(bundlePath + ": no thumbnail.png, or it is not a picture");
    std::vector<uint8_t> png = bd::encodePNG(image->CGImage());
    // Written beside the target and renamed over it, so a failed write loses no file.
    NSData* data = NSData::dataWithBytes(png.data(), png.size());
    if (png.empty() || !data->writeToFile(str(out), true)) return fail("cannot write " + out);
    return 0;
}

}  // namespace

namespace host {

void addBundleCommands(CLI::App& app, int& exitCode) {
    static std::string listDir;
    static bool listJson = false;
    auto* ls = app.add_subcommand("list", "List the wallpaper bundles of a directory");
    ls->add_option("DIR", listDir, "Directory holding *bundle entries")->required();
    ls->add_flag("--json", listJson, "Print the catalogue as JSON");
    ls->callback([&exitCode] { exitCode = list(listDir, listJson); });

    static std::string infoBundle, infoKey;
    static bool infoWhy = false;
    static ProcessFlags infoFlags;
    auto* in = app.add_subcommand("info", "Print a bundle's description, or one key's value");
    in->add_option("BUNDLE", infoBundle, "Path of the bundle")->required();
    auto* keyOption = in->add_option("KEY", infoKey, "One key of description.plist");
    in->add_flag("--why", infoWhy,
                 "Show each step of loading the bundle's view and where it stopped (the library "
                 "runs sandboxed in a process of its own)");
    addProcessFlags(in, infoFlags);
    in->callback([&exitCode, keyOption] {
        exitCode = infoWhy ? why(infoBundle, infoFlags)
                           : info(infoBundle, infoKey, keyOption->count() > 0);
    });

    static std::string thumbBundle, thumbOut;
    auto* th = app.add_subcommand("thumbnail", "Write a bundle's thumbnail as a PNG file");
    th->add_option("BUNDLE", thumbBundle, "Path of the bundle")->required();
    th->add_option("-o,--output", thumbOut, "PNG file to write")->required();
    th->callback([&exitCode] { exitCode = thumbnail(thumbBundle, thumbOut); });
}

}  // namespace host
