// Property list reading (XML and binary) from arbitrary bytes: never a crash, an overread or
// an unbounded allocation. The reader takes a path, so every input goes through one temporary
// file per process.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Foundation/NSDictionary.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"

namespace {
const std::string& tempPath() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/plist_fuzz." +
               std::to_string(getpid()) + ".plist";
    }();
    return path;
}

void removeTemp() { std::remove(tempPath().c_str()); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool registered = (std::atexit(removeTemp), true);
    (void)registered;
    NSAutoreleasePool pool;
    std::FILE* f = std::fopen(tempPath().c_str(), "wb");
    if (!f) return 0;
    bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !ok) return 0;

    if (NSDictionary* dict = NSDictionary::dictionaryWithContentsOfFile(NSSTR(tempPath().c_str()))) {
        // Walk the result so that every object built from the file is touched.
        (void)dict->count();
        (void)dict->description();
    }
    return 0;
}
