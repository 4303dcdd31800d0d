// Resource package reading from arbitrary bytes: never a crash, an overread or an allocation
// by an unchecked length. The reader takes a path, so every input goes through one temporary
// file per process. The reader logs each record on stderr; that output is left as it is.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Common/NSData+DataEncrypt.h"
#include "Foundation/NSArray.h"
#include "Foundation/NSObject.h"
#include "TempInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A static object: destroyed at exit, which removes the file.
    static const fuzz::TempInput input("package_fuzz", ".pkg");
    NSAutoreleasePool pool;
    if (!input.write(data, size)) return 0;

    NSMutableDictionary* records = DataEncrypt::readDatasFromFilePath(NSSTR(input.path().c_str()));
    if (!records) std::abort();  // the reader never returns null
    // Every value must be a whole data object: touch its last byte so a short one shows up.
    NSArray* values = records->allValues();
    for (size_t i = 0; i < values->count(); ++i) {
        NSData* value = static_cast<NSData*>(values->objectAtIndex(i));
        if (value->length() > 0) {
            volatile uint8_t sink =
                static_cast<const uint8_t*>(value->bytes())[value->length() - 1];
            (void)sink;
        }
    }
    return 0;
}
