#include "support/tempdir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace bdtest {

TempDir::TempDir(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/bd-" + tag + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (const char* dir = mkdtemp(buf.data())) _path = dir;
}

TempDir::~TempDir() {
    if (_path.empty()) return;
    // BD_KEEP_TEMP=1 keeps the folders of a run, to look into a failure.
    if (const char* keep = std::getenv("BD_KEEP_TEMP"); keep && *keep && std::string(keep) != "0") {
        std::fprintf(stderr, "kept %s (BD_KEEP_TEMP)\n", _path.c_str());
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
}

}  // namespace bdtest
