// Resource package reading from arbitrary bytes: never a crash, an overread or an allocation
// by an unchecked length. The reader takes a path, so every input goes through one temporary
// file per process. The reader logs each record on stderr; that output is left as it is.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Common/NSData+DataEncrypt.h"
#include "Foundation/NSArray.h"
#include "Foundation/NSObject.h"

namespace {
const std::string& tempPath() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/package_fuzz." +
               std::to_string(getpid()) + ".pkg";
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

    NSMutableDictionary* records = DataEncrypt::readDatasFromFilePath(NSSTR(tempPath().c_str()));
    if (!records) std::abort();  // the reader never returns null
    // Every value must be a whole data object: touch its last byte so a short one shows up.
    NSArray* values = records->allValues();
    for (size_t i = 0; i < values->count(); ++i) {
        NSData* value = static_cast<NSData*>(values->objectAtIndex(i));
        if (value->length() > 0) {
            volatile uint8_t sink = static_cast<const uint8_t*>(value->bytes())[value->length() - 1];
            (void)sink;
        }
    }
    return 0;
}
