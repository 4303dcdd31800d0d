// The state file: an XML property list written by hand (the platform only reads them) and read
// back through the platform's capped property-list reader.

#include "StateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Foundation/NSArray.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"

namespace host::desktop {

namespace {

// Text as XML character data; false when it holds what XML 1.0 cannot carry (control bytes).
bool xmlText(const std::string& s, std::string* out) {
    out->clear();
    for (unsigned char c : s) {
        if (c < 0x20 && c != '\t') return false;
        switch (c) {
            case '&':
                *out += "&amp;";
                break;
            case '<':
                *out += "&lt;";
                break;
            case '>':
                *out += "&gt;";
                break;
            default:
                *out += char(c);
        }
    }
    return NSString::isValidUTF8(s.data(), s.size());
}

std::string stringFor(NSDictionary* d, const char* key) {
    auto* s = dynamic_cast<NSString*>(d->objectForKey(NSSTR(key)));
    return s ? s->str() : std::string();
}

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

}  // namespace

std::string defaultStatePath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base;
    if (state && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && home[0] == '/' ? home : "/tmp") + "/.local/state";
    }
    return base + "/backdrop/desktop.plist";
}

bool loadState(const std::string& path, DesktopState* state, std::string* error) {
    NSAutoreleasePool pool;
    NSDictionary* root = NSDictionary::dictionaryWithContentsOfFile(NSSTR(path.c_str()));
    if (!root) {
        *error = "no saved state in " + path;
        return false;
    }
    DesktopState s;
    s.bundle = stringFor(root, "bundle");
    parseFit(stringFor(root, "fit"), &s.fit);
    s.folder = stringFor(root, "folder");
    s.gnomePictureUri = stringFor(root, "gnomePictureUri");
    s.gnomePictureUriDark = stringFor(root, "gnomePictureUriDark");
    if (auto* outputs = dynamic_cast<NSDictionary*>(root->objectForKey(NSSTR("outputs")))) {
        NSArray* keys = outputs->allKeys();
        for (size_t i = 0; i < keys->count(); ++i) {
            auto* name = dynamic_cast<NSString*>(keys->objectAtIndex(i));
            auto* entry = name ? dynamic_cast<NSDictionary*>(outputs->objectForKey(name)) : nullptr;
            if (!entry || name->str().empty()) continue;
            OutputState o;
            o.bundle = stringFor(entry, "bundle");
            o.fit = s.fit;
            parseFit(stringFor(entry, "fit"), &o.fit);
            if (auto* p = dynamic_cast<NSNumber*>(entry->objectForKey(NSSTR("paused"))))
                o.paused = p->boolValue();
            if (o.bundle.empty()) continue;
            s.outputs[name->str()] = o;
        }
    }
    if (s.bundle.empty() && s.outputs.empty()) {
        *error = "no bundle in the saved state " + path;
        return false;
    }
    *state = std::move(s);
    return true;
}

bool saveState(const std::string& path, const DesktopState& state, std::string* error) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n";
    std::string t;
    auto entry = [&](const std::string& indent, const char* key, const std::string& value) {
        if (!xmlText(value, &t)) return;  // a name XML cannot hold is not remembered
        xml += indent + "<key>" + key + "</key><string>" + t + "</string>\n";
    };
    xml += "\t<key>version</key><integer>1</integer>\n";
    entry("\t", "bundle", state.bundle);
    entry("\t", "fit", fitName(state.fit));
    if (!state.folder.empty()) entry("\t", "folder", state.folder);
    if (!state.gnomePictureUri.empty()) entry("\t", "gnomePictureUri", state.gnomePictureUri);
    if (!state.gnomePictureUriDark.empty())
        entry("\t", "gnomePictureUriDark", state.gnomePictureUriDark);
    xml += "\t<key>outputs</key>\n\t<dict>\n";
    for (const auto& [name, o] : state.outputs) {
        std::string n, b;
        if (!xmlText(name, &n) || !xmlText(o.bundle, &b) || name.empty()) continue;
        xml += "\t\t<key>" + n + "</key>\n\t\t<dict>\n";
        xml += "\t\t\t<key>bundle</key><string>" + b + "</string>\n";
        xml += std::string("\t\t\t<key>fit</key><string>") + fitName(o.fit) + "</string>\n";
        xml += std::string("\t\t\t<key>paused</key>") + (o.paused ? "<true/>" : "<false/>") + "\n";
        xml += "\t\t</dict>\n";
    }
    xml += "\t</dict>\n</dict>\n</plist>\n";

    std::error_code ec;
    std::filesystem::path p(path);
    if (p.has_parent_path()) {
        bool made = std::filesystem::create_directories(p.parent_path(), ec);
        if (made) ::chmod(p.parent_path().c_str(), 0700);  // our folder: for our eyes only
        if (ec) {
            *error = "cannot make " + p.parent_path().string() + ": " + ec.message();
            return false;
        }
    }
    std::string tmp = path + ".tmp." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = writeAll(fd, xml) && ::fsync(fd) == 0;
    int saved = errno;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        if (ok) saved = errno;
        ::unlink(tmp.c_str());
        *error = "cannot write " + path + ": " + std::strerror(saved);
        return false;
    }
    return true;
}

}  // namespace host::desktop
