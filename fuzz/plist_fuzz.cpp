// Property list reading (XML and binary) from arbitrary bytes: never a crash, an overread or
// an unbounded allocation. The reader takes a path, so every input goes through one temporary
// file per process.
#include <cstddef>
#include <cstdint>

#include "Foundation/NSDictionary.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"
#include "TempInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A static object: destroyed at exit, which removes the file.
    static const fuzz::TempInput input("plist_fuzz", ".plist");
    NSAutoreleasePool pool;
    if (!input.write(data, size)) return 0;

    if (NSDictionary* dict =
            NSDictionary::dictionaryWithContentsOfFile(NSSTR(input.path().c_str()))) {
        // Walk the result so that every object built from the file is touched.
        (void)dict->count();
        (void)dict->description();
    }
    return 0;
}
