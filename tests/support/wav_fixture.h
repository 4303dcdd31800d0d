#pragma once
// Builds WAV files in memory for the sound tests: a sine tone in a chosen encoding.

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bdtest {

inline void putLE(std::vector<uint8_t>& v, uint64_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

// formatTag 1 = PCM, 3 = float; bits 8/16/24/32.
inline std::vector<uint8_t> makeWAV(int rate, int channels, int bits, int formatTag, double seconds,
                                    double amplitude = 0.5, double hz = 440.0) {
    size_t frames = size_t(rate * seconds);
    std::vector<uint8_t> pcm;
    for (size_t i = 0; i < frames; ++i) {
        double s = amplitude * std::sin(2 * M_PI * hz * double(i) / rate);
        for (int c = 0; c < channels; ++c) {
            if (formatTag == 3) {
                float f = float(s);
                uint32_t u;
                std::memcpy(&u, &f, 4);
                putLE(pcm, u, 4);
            } else if (bits == 8) {
                pcm.push_back(uint8_t(std::lround(128 + s * 127)));
            } else {
                int64_t scale = (int64_t(1) << (bits - 1)) - 1;
                putLE(pcm, uint64_t(int64_t(std::llround(s * double(scale)))), bits / 8);
            }
        }
    }
    std::vector<uint8_t> w;
    auto tag = [&](const char* t) {
        for (int i = 0; i < 4; ++i) w.push_back(uint8_t(t[i]));
    };
    tag("RIFF");
    putLE(w, 4 + 8 + 16 + 8 + pcm.size() + (pcm.size() & 1), 4);
    tag("WAVE");
    tag("fmt ");
    putLE(w, 16, 4);
    putLE(w, uint64_t(formatTag), 2);
    putLE(w, uint64_t(channels), 2);
    putLE(w, uint64_t(rate), 4);
    putLE(w, uint64_t(rate * channels * bits / 8), 4);
    putLE(w, uint64_t(channels * bits / 8), 2);
    putLE(w, uint64_t(bits), 2);
    tag("data");
    putLE(w, pcm.size(), 4);
    w.insert(w.end(), pcm.begin(), pcm.end());
    if (pcm.size() & 1) w.push_back(0);
    return w;
}

// Writes bytes to a fresh file $TMPDIR/bd-sound-XXXXXX.wav; the caller removes it.
inline std::string writeTempFile(const std::vector<uint8_t>& bytes) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/bd-sound-XXXXXX.wav";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    int fd = mkstemps(name.data(), 4);
    if (fd >= 0) close(fd);
    std::string path = name.data();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    return path;
}

}  // namespace bdtest
