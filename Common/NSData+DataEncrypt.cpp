#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "Common/NSData+DataEncrypt.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BD_SCRAMBLE_X86 1
#endif

#include "Foundation/FileIO.h"
#include "Foundation/NSArray.h"
#include "Foundation/NSLog.h"

namespace DataEncrypt {

void integer(int32_t value, uint8_t* toByte) {
    uint32_t v = static_cast<uint32_t>(value);
    for (int k = 0; k < 4; ++k) toByte[k] = static_cast<uint8_t>((v >> (8 * (3 - k))) & 0xFF);
}

int32_t byteToInt(const uint8_t* bytes) {
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v += static_cast<uint32_t>(bytes[k]) << (8 * (3 - k));
    return static_cast<int32_t>(v);
}

// ---------------------------------------------------------------------------------------------
// Scrambling

void scrambleScalar(const uint8_t* in, uint8_t* out, size_t n) {
    size_t i = 0;
    for (; i + 1 < n; i += 2) {
        uint8_t a = in[i], b = in[i + 1];
        out[i] = static_cast<uint8_t>(~b);
        out[i + 1] = static_cast<uint8_t>(~a);
    }
    if (i < n) out[i] = static_cast<uint8_t>(~in[i]);  // the unpaired last byte, inverted alone
}

#if BD_SCRAMBLE_X86
namespace {

// Pair swap inside every 16-byte lane: 1,0,3,2,...
__attribute__((target("ssse3"))) size_t scrambleSSSE3(const uint8_t* in, uint8_t* out, size_t n) {
    const __m128i swap = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    const __m128i ones = _mm_set1_epi8(-1);
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        v = _mm_xor_si128(_mm_shuffle_epi8(v, swap), ones);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
    }
    return i;
}

__attribute__((target("avx2"))) size_t scrambleAVX2(const uint8_t* in, uint8_t* out, size_t n) {
    const __m256i swap = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14,  //
                                          1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    const __m256i ones = _mm256_set1_epi8(-1);
    size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 32));
        a = _mm256_xor_si256(_mm256_shuffle_epi8(a, swap), ones);
        b = _mm256_xor_si256(_mm256_shuffle_epi8(b, swap), ones);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 32), b);
    }
    for (; i + 32 <= n; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm256_xor_si256(_mm256_shuffle_epi8(a, swap), ones));
    }
    return i;
}

using Kernel = size_t (*)(const uint8_t*, uint8_t*, size_t);

Kernel kernelFor(ScrambleKernel k) {
    __builtin_cpu_init();
    bool avx2 = __builtin_cpu_supports("avx2"), ssse3 = __builtin_cpu_supports("ssse3");
    switch (k) {
        case ScrambleKernel::Automatic:
            return avx2 ? scrambleAVX2 : ssse3 ? scrambleSSSE3 : nullptr;
        case ScrambleKernel::AVX2:
            return avx2 ? scrambleAVX2 : nullptr;
        case ScrambleKernel::SSSE3:
            return ssse3 ? scrambleSSSE3 : nullptr;
        default:
            return nullptr;
    }
}

std::atomic<Kernel>& currentKernel() {
    static std::atomic<Kernel> k{kernelFor(ScrambleKernel::Automatic)};
    return k;
}

}  // namespace
#endif

bool setScrambleKernel(ScrambleKernel kernel) {
#if BD_SCRAMBLE_X86
    Kernel k = kernelFor(kernel);
    if (!k && kernel != ScrambleKernel::Scalar && kernel != ScrambleKernel::Automatic) return false;
    currentKernel().store(k, std::memory_order_relaxed);
    return true;
#else
    return kernel == ScrambleKernel::Scalar || kernel == ScrambleKernel::Automatic;
#endif
}

void scramble(const uint8_t* in, uint8_t* out, size_t n) {
    size_t done = 0;
#if BD_SCRAMBLE_X86
    Kernel kernel = currentKernel().load(std::memory_order_relaxed);
    // Blocks are whole numbers of pairs, so the tail starts on a pair boundary.
    if (kernel && n >= 16) done = kernel(in, out, n);
#endif
    scrambleScalar(in + done, out + done, n - done);
}

// ---------------------------------------------------------------------------------------------
// Scrambled data

NSMutableData* encryptionDataWithData(NSData* data, bool encrypt) {
    size_t n = data ? data->length() : 0;
    NSMutableData* out = NSMutableData::dataWithLength(n + 1);
    uint8_t* dst = static_cast<uint8_t*>(out->mutableBytes());
    const uint8_t* src = n ? static_cast<const uint8_t*>(data->bytes()) : nullptr;
    if (n) {
        if (encrypt)
            scramble(src, dst, n);
        else
            std::memcpy(dst, src, n);
    }
    dst[n] = encrypt ? 0x01 : 0x00;
    return out;
}

NSMutableData* encryptionDataWithContentsOfFile(NSString* path, bool encrypt) {
    return encryptionDataWithData(NSData::dataWithContentsOfFile(path), encrypt);
}

NSData* dataWithEncryptionData(NSData* data) {
    if (!data || data->length() == 0) return NSData::data();
    size_t n = data->length() - 1;
    const uint8_t* src = static_cast<const uint8_t*>(data->bytes());
    if (src[n] == 0) return NSData::dataWithBytes(src, n);
    NSMutableData* out = NSMutableData::dataWithLength(n);
    if (n) scramble(src, static_cast<uint8_t*>(out->mutableBytes()), n);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Package reader

namespace {

// A sequential reader over a regular file that knows how many bytes the file still holds and
// never allocates for more than that.
struct PackageInput {
    FILE* f = nullptr;
    uint64_t remaining = 0;

    bool readExact(void* dst, size_t n) {
        if (n > remaining) return false;
        if (n && std::fread(dst, 1, n, f) != n) return false;
        remaining -= n;
        return true;
    }
    bool readInt(int32_t& v) {
        uint8_t b[4];
        if (!readExact(b, 4)) return false;
        v = byteToInt(b);
        return true;
    }
    // Reads len bytes into the buffer that resize(len) sizes and returns; the file's remaining
    // size is checked before anything is allocated.
    template <class Resize>
    bool readBlock(int32_t len, Resize resize) {
        if (len < 0 || static_cast<uint64_t>(len) > remaining) return false;
        size_t want = static_cast<size_t>(len);
        return readExact(resize(want), want);
    }
};

}  // namespace

NSMutableDictionary* readDatasFromFilePath(NSString* path) {
    return readDatasFromFilePath(path, nullptr);
}

NSMutableDictionary* readDatasFromFilePath(NSString* path, std::string* damage) {
    NSMutableDictionary* result = NSMutableDictionary::dictionary();
    std::string ignored;
    std::string& why = damage ? *damage : ignored;
    why = "unreadable";
    const char* p = path ? path->cStringUsingEncoding(NSUTF8StringEncoding) : nullptr;
    if (!p) return result;
    // A regular file only: a FIFO or a device reads as a file that can't be opened.
    int fd = bd::openRegularFile(p);
    if (fd < 0) return result;
    struct stat st;
    PackageInput in;
    in.f = fstat(fd, &st) == 0 ? fdopen(fd, "rb") : nullptr;
    if (!in.f) {
        ::close(fd);
        return result;
    }
    in.remaining = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;

    NSMutableArray* keys = NSMutableArray::array();
    NSMutableArray* values = NSMutableArray::array();
    int32_t count = 0;
    why = "";
    if (!in.readInt(count)) why = "shorter than its record count";
    if (count < 0) why = "negative record count";
    {
        std::vector<uint8_t> buf;
        // A negative count reads nothing; a damaged record ends the read, keeping the
        // complete records before it.
        for (int32_t r = 0; r < count; ++r) {
            auto damaged = [&](const char* what) {
                why = "record " + std::to_string(r + 1) + what;
            };
            int32_t keyLength = 0, valueLength = 0;
            auto keyBuffer = [&](size_t n) {
                buf.resize(n);
                return buf.data();
            };
            if (!in.readInt(keyLength)) {
                damaged(" is cut short");
                break;
            }
            if (!in.readBlock(keyLength, keyBuffer)) {
                damaged(" states a length past the file's end");
                break;
            }
            NSString* key =
                alloc<NSString>()->initWithBytes(buf.data(), buf.size(), NSUTF8StringEncoding);
            if (!key) {
                damaged(" has a key that is not UTF-8");
                break;
            }
            key->autorelease();
            // The key is logged as soon as it is complete, before its value's length is read.
            NSLog("key = %@", key);
            // The value is read straight into its data object: one copy from the file.
            NSMutableData* value = NSMutableData::dataWithCapacity(0);
            auto valueBuffer = [&](size_t n) {
                value->setLength(n);
                return static_cast<uint8_t*>(value->mutableBytes());
            };
            if (!in.readInt(valueLength)) {
                damaged(" is cut short");
                break;
            }
            if (!in.readBlock(valueLength, valueBuffer)) {
                damaged(" states a length past the file's end");
                break;
            }
            NSLog("data length = %d", static_cast<int>(value->length()));
            keys->addObject(key);
            values->addObject(value);
        }
    }
    result->setDictionary(NSDictionary::dictionaryWithObjects(values, keys));
    std::fclose(in.f);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Package writer

namespace {

bool writeAll(FILE* f, const void* p, size_t n) {
    return n == 0 || std::fwrite(p, 1, n, f) == n;
}

bool writeInt(FILE* f, int32_t v) {
    uint8_t b[4];
    integer(v, b);
    return writeAll(f, b, 4);
}

bool writeLength(FILE* f, size_t n) {
    return n <= static_cast<size_t>(INT32_MAX) && writeInt(f, static_cast<int32_t>(n));
}

// Whether every entry can be written as a record that the reader reads back: a key that is a
// string of valid UTF-8 and a value that is a data object, each shorter than 2 GiB.
bool writable(NSArray* keys, NSArray* values) {
    if (keys->count() > static_cast<size_t>(INT32_MAX) || values->count() != keys->count())
        return false;
    for (size_t i = 0; i < keys->count(); ++i) {
        NSString* key = as<NSString>(keys->objectAtIndex(i));
        NSData* value = as<NSData>(values->objectAtIndex(i));
        if (!key || !value) return false;
        const std::string& k = key->str();
        if (k.size() > static_cast<size_t>(INT32_MAX) || !NSString::isValidUTF8(k.data(), k.size()))
            return false;
        if (value->length() > static_cast<size_t>(INT32_MAX)) return false;
    }
    return true;
}

bool writeRecords(FILE* f, NSArray* keys, NSArray* values) {
    if (!writeLength(f, keys->count())) return false;
    for (size_t i = 0; i < keys->count(); ++i) {
        const std::string& k = as<NSString>(keys->objectAtIndex(i))->str();
        NSData* value = as<NSData>(values->objectAtIndex(i));
        if (!writeLength(f, k.size()) || !writeAll(f, k.data(), k.size())) return false;
        if (!writeLength(f, value->length()) || !writeAll(f, value->bytes(), value->length()))
            return false;
    }
    return true;
}

}  // namespace

bool saveDatas(NSDictionary* datas, NSString* toFilePath) {
    const char* p = toFilePath ? toFilePath->cStringUsingEncoding(NSUTF8StringEncoding) : nullptr;
    if (!datas || !p || !*p) return false;
    NSArray* keys = datas->allKeys();
    NSArray* values = datas->allValues();
    // Checked before the file is touched: a record the reader would stop at is never written.
    if (!writable(keys, values)) return false;
    // A package replaces a regular file only, never a device or a FIFO.
    struct stat st;
    if (stat(p, &st) == 0 && !S_ISREG(st.st_mode)) return false;
    bd::AtomicFileWriter writer;
    if (!writer.open(p)) return false;
    return writeRecords(writer.file(), keys, values) && writer.commit();
}

}  // namespace DataEncrypt
