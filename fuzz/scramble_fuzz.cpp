// Scrambled data from arbitrary bytes: the encode/decode round trip returns the input for both
// flags, and every vector path of scramble() agrees with the one-byte-at-a-time reference.
// Any disagreement aborts, so libFuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Common/NSData+DataEncrypt.h"
#include "Foundation/NSObject.h"

namespace {
void checkRoundTrip(const uint8_t* data, size_t size, bool encrypt) {
    NSData* input = NSData::dataWithBytes(data, size);
    NSMutableData* coded = DataEncrypt::encryptionDataWithData(input, encrypt);
    if (!coded || coded->length() != size + 1) std::abort();
    const uint8_t* c = static_cast<const uint8_t*>(coded->bytes());
    if (c[size] != (encrypt ? 0x01 : 0x00)) std::abort();
    if (!encrypt && size > 0 && std::memcmp(c, data, size) != 0) std::abort();
    NSData* plain = DataEncrypt::dataWithEncryptionData(coded);
    if (!plain || plain->length() != size) std::abort();
    if (size > 0 && std::memcmp(plain->bytes(), data, size) != 0) std::abort();
}

void checkKernels(const uint8_t* data, size_t size) {
    std::vector<uint8_t> ref(size), out(size), inPlace(data, data + size);
    DataEncrypt::scrambleScalar(data, ref.data(), size);
    // Scrambling is its own inverse.
    std::vector<uint8_t> back(size);
    DataEncrypt::scrambleScalar(ref.data(), back.data(), size);
    if (size > 0 && std::memcmp(back.data(), data, size) != 0) std::abort();
    using K = DataEncrypt::ScrambleKernel;
    for (K k : {K::Scalar, K::SSSE3, K::AVX2, K::Automatic}) {
        if (!DataEncrypt::setScrambleKernel(k)) continue;  // the processor lacks it
        DataEncrypt::scramble(data, out.data(), size);
        if (size > 0 && std::memcmp(out.data(), ref.data(), size) != 0) std::abort();
        if (size > 0) std::memcpy(inPlace.data(), data, size);
        DataEncrypt::scramble(inPlace.data(), inPlace.data(), size);
        if (size > 0 && std::memcmp(inPlace.data(), ref.data(), size) != 0) std::abort();
    }
    DataEncrypt::setScrambleKernel(K::Automatic);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NSAutoreleasePool pool;
    checkRoundTrip(data, size, true);
    checkRoundTrip(data, size, false);
    checkKernels(data, size);
    // The input read as scrambled data itself: decoding never overreads, and re-encoding the
    // payload with the input's own flag gives the input back.
    NSData* asCoded = NSData::dataWithBytes(data, size);
    NSData* payload = DataEncrypt::dataWithEncryptionData(asCoded);
    if (!payload) std::abort();
    if (size > 0 && (data[size - 1] == 0x00 || data[size - 1] == 0x01)) {
        NSMutableData* again = DataEncrypt::encryptionDataWithData(payload, data[size - 1] == 0x01);
        if (again->length() != size || std::memcmp(again->bytes(), data, size) != 0) std::abort();
    }
    return 0;
}
