#include "AudioToolbox/WAVDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace bd::audio {

namespace {

constexpr uint16_t kFormatPCM = 0x0001;
constexpr uint16_t kFormatFloat = 0x0003;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr int kMinRate = 1000;
constexpr int kMaxRate = 192000;

uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

struct Format {
    uint16_t tag = 0;  // kFormatPCM or kFormatFloat after resolving "extensible"
    int channels = 0;
    int rate = 0;
    int bits = 0;
    int blockAlign = 0;
};

WAVError parseFormat(const uint8_t* p, size_t size, Format& f) {
    if (size < 16) return WAVError::missingFormat;
    f.tag = le16(p);
    f.channels = le16(p + 2);
    uint32_t rate = le32(p + 4);
    f.blockAlign = le16(p + 12);
    f.bits = le16(p + 14);
    if (f.tag == kFormatExtensible) {
        // cbSize(2) validBits(2) channelMask(4) subFormat GUID(16): the GUID starts with the tag.
        if (size < 40) return WAVError::missingFormat;
        f.tag = le16(p + 24);
    }
    if (f.tag != kFormatPCM && f.tag != kFormatFloat) return WAVError::unsupported;
    if (f.channels != 1 && f.channels != 2) return WAVError::unsupported;
    if (rate < uint32_t(kMinRate) || rate > uint32_t(kMaxRate)) return WAVError::unsupported;
    f.rate = int(rate);
    if (f.tag == kFormatPCM && f.bits != 8 && f.bits != 16 && f.bits != 24 && f.bits != 32)
        return WAVError::unsupported;
    if (f.tag == kFormatFloat && f.bits != 32) return WAVError::unsupported;
    if (f.blockAlign != f.channels * (f.bits / 8)) return WAVError::unsupported;
    return WAVError::none;
}

float sampleAt(const uint8_t* p, const Format& f) {
    switch (f.bits) {
        case 8:
            return (float(p[0]) - 128.0f) / 128.0f;
        case 16:
            return float(int16_t(le16(p))) / 32768.0f;
        case 24: {
            int32_t v =
                int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
            return float(v) / 8388608.0f;
        }
        default: {
            uint32_t u = le32(p);
            if (f.tag == kFormatFloat) {
                float v;
                std::memcpy(&v, &u, sizeof v);
                if (!std::isfinite(v)) return 0.0f;  // keeps the mix sane on garbage samples
                return std::clamp(v, -1.0f, 1.0f);
            }
            return float(double(int32_t(u)) / 2147483648.0);
        }
    }
}

}  // namespace

WAVError decodeWAV(const uint8_t* bytes, size_t length, WAVSamples& out) {
    out = WAVSamples{};
    if (!bytes || length < 12) return WAVError::notRIFF;
    if (std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0)
        return WAVError::notRIFF;
    uint64_t riffEnd = 8ull + le32(bytes + 4);
    if (riffEnd > length) return WAVError::truncated;
    if (riffEnd < 12) return WAVError::notRIFF;

    Format fmt;
    bool haveFormat = false;
    const uint8_t* data = nullptr;
    size_t dataSize = 0;
    uint64_t pos = 12;
    while (pos + 8 <= riffEnd) {
        const uint8_t* chunk = bytes + pos;
        uint64_t size = le32(chunk + 4);
        uint64_t body = pos + 8;
        if (size > riffEnd - body) return WAVError::truncated;
        if (std::memcmp(chunk, "fmt ", 4) == 0 && !haveFormat) {
            WAVError e = parseFormat(bytes + body, size_t(size), fmt);
            if (e != WAVError::none) return e;
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0 && !data) {
            data = bytes + body;
            dataSize = size_t(size);
        }
        pos = body + size + (size & 1);  // chunks are padded to even sizes
    }
    if (pos < riffEnd && pos + 8 > riffEnd) return WAVError::truncated;  // a partial chunk header
    if (!haveFormat) return WAVError::missingFormat;
    if (!data) return WAVError::missingData;

    size_t frames = dataSize / size_t(fmt.blockAlign);
    if (double(frames) / fmt.rate > kMaxSoundSeconds) return WAVError::tooLong;

    out.sampleRate = fmt.rate;
    out.channels = fmt.channels;
    out.frames = frames;
    out.samples.resize(frames * size_t(fmt.channels));
    const int step = fmt.bits / 8;
    for (size_t i = 0; i < out.samples.size(); ++i) out.samples[i] = sampleAt(data + i * step, fmt);
    return WAVError::none;
}

std::vector<float> convertToMixFormat(const WAVSamples& in) {
    std::vector<float> out;
    if (in.frames == 0 || in.sampleRate <= 0 || (in.channels != 1 && in.channels != 2)) return out;
    const size_t n = in.frames;
    const int ch = in.channels;
    auto src = [&](size_t frame, int side) {
        return in.samples[frame * size_t(ch) + size_t(ch == 2 ? side : 0)];
    };
    const uint64_t outFrames =
        (uint64_t(n) * kMixRate + uint64_t(in.sampleRate) - 1) / uint64_t(in.sampleRate);
    out.resize(size_t(outFrames) * kMixChannels);
    const double ratio = double(in.sampleRate) / kMixRate;  // source frames per output frame

    for (size_t i = 0; i < outFrames; ++i) {
        for (int side = 0; side < kMixChannels; ++side) {
            float v;
            if (in.sampleRate == kMixRate) {
                v = src(i, side);
            } else if (in.sampleRate < kMixRate) {
                double p = i * ratio;
                size_t i0 = std::min(size_t(p), n - 1);
                size_t i1 = std::min(i0 + 1, n - 1);
                double t = p - double(i0);
                v = float(src(i0, side) * (1.0 - t) + src(i1, side) * t);
            } else {
                // Average the source frames that fall into this output period (a box filter), so
                // downsampling does not fold high frequencies back into the audible range.
                size_t a = std::min(size_t(i * ratio), n - 1);
                size_t b = std::clamp(size_t((i + 1) * ratio), a + 1, n);
                double sum = 0;
                for (size_t k = a; k < b; ++k) sum += src(k, side);
                v = float(sum / double(b - a));
            }
            out[i * kMixChannels + size_t(side)] = v;
        }
    }
    return out;
}

const char* wavErrorName(WAVError e) {
    switch (e) {
        case WAVError::none:
            return "no error";
        case WAVError::notRIFF:
            return "not a RIFF/WAVE file";
        case WAVError::truncated:
            return "truncated chunk";
        case WAVError::missingFormat:
            return "missing or short fmt chunk";
        case WAVError::missingData:
            return "missing data chunk";
        case WAVError::unsupported:
            return "unsupported sample format";
        case WAVError::tooLong:
            return "sound too long";
    }
    return "unknown error";
}

}  // namespace bd::audio
