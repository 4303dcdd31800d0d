#pragma once
// DataEncrypt: the scrambled-data encoding and the resource package file (category of NSData).
//
// Scrambled data is a payload followed by one flag byte (0x01 scrambled, 0x00 plain).
// Scrambling swaps every pair of bytes and inverts both; an odd payload's last byte is
// inverted alone. The transformation takes no key and is its own inverse.
// The package layout is described in docs/package-format.md.

#include <cstddef>
#include <cstdint>
#include <string>
#include "Foundation/Export.h"

#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSString.h"

namespace DataEncrypt {

// +integer:toByte: [any-thread] writes value big-endian into toByte[0..3].
BD_EXPORT void integer(int32_t value, uint8_t* toByte);
// +byteToInt: [any-thread] the signed 32-bit integer that bytes[0..3] hold big-endian.
BD_EXPORT int32_t byteToInt(const uint8_t* bytes);

// Which vector path scramble() uses; Automatic picks the best the processor has.
enum class ScrambleKernel { Automatic, Scalar, SSSE3, AVX2 };
// [any-thread] Selects the path (for tests and benchmarks); false when the processor lacks it.
BD_EXPORT bool setScrambleKernel(ScrambleKernel kernel);

// [any-thread] Scrambles (or unscrambles) n bytes from in to out; in == out is allowed,
// other overlap is not. Uses AVX2 or SSSE3 when the processor has them.
BD_EXPORT void scramble(const uint8_t* in, uint8_t* out, size_t n);
// [any-thread] The plain one-byte-at-a-time form, the reference for the vector paths.
BD_EXPORT void scrambleScalar(const uint8_t* in, uint8_t* out, size_t n);

// +encryptionDataWithData:encrypt: [any-thread] payload (scrambled when encrypt) + flag byte.
// A null data object counts as an empty payload.
BD_EXPORT NSMutableData* encryptionDataWithData(NSData* data, bool encrypt);
// +encryptionDataWithContentsOfFile:encrypt: [any-thread] the same over a whole file; an
// unreadable file is an empty payload (the result is the flag byte alone).
BD_EXPORT NSMutableData* encryptionDataWithContentsOfFile(NSString* path, bool encrypt);
// +dataWithEncryptionData: [any-thread] the plain payload without the flag byte; empty
// for a null or empty input.
BD_EXPORT NSData* dataWithEncryptionData(NSData* data);

// +readDatasFromFilePath: [any-thread] the package's records, key (NSString) -> value
// (NSData, bytes as stored). Never null; a damaged file yields the complete records read
// before the damage; anything but a regular file reads as a file that can't be opened. Logs
// "key = %@" as soon as a record's key is complete and "data length = %d" once its value is.
BD_EXPORT NSMutableDictionary* readDatasFromFilePath(NSString* path);
// [any-thread] The same read; *damage says what ended it before the count's last record ("" when
// nothing did): "shorter than its record count", "negative record count", "record N is cut
// short", "record N states a length past the file's end", "record N has a key that is not
// UTF-8", "unreadable".
BD_EXPORT NSMutableDictionary* readDatasFromFilePath(NSString* path, std::string* damage);
// +saveDatas:toFilePath: [any-thread] writes a package (keys NSString, values NSData). False,
// without touching the file, when an entry is no record the reader reads back (a key that is
// not valid UTF-8, a value that is no data object, 2 GiB or more). The file is written through
// bd::AtomicFileWriter: beside its target (a symbolic link's target) and renamed over it, or
// in place where the folder takes no new file or the file has other hard links. False on any
// failed write, flush, close or rename.
BD_EXPORT bool saveDatas(NSDictionary* datas, NSString* toFilePath);

}  // namespace DataEncrypt
