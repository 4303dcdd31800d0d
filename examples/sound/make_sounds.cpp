// Synthesises the Sound wallpaper's sounds and draws its pictures into the folder given:
//   bell.wav       0.8 s, 16-bit mono at 22050 Hz: a struck bell (a few inharmonic partials)
//   drum.wav       0.4 s, 16-bit stereo at 22050 Hz: a falling tone with a burst of noise
//   bg.png         640 x 1136 px, a plain file at 2x; thumbnail.png 160 x 284 px
// Usage: sound_make FOLDER

#include <backdrop/platform/CoreGraphics/CGImage.h>
#include <backdrop/platform/UIKit/ImageIO.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// A PCM WAV file: 16-bit samples, interleaved when there are two channels.
bool writeWav(const std::string& path, int rate, int channels, const std::vector<int16_t>& s) {
    std::vector<uint8_t> w;
    auto le = [&w](uint32_t x, int n) {
        for (int i = 0; i < n; ++i) w.push_back(uint8_t(x >> (8 * i)));
    };
    auto tag = [&w](const char* t) { w.insert(w.end(), t, t + 4); };
    uint32_t data = uint32_t(s.size() * 2);
    tag("RIFF"), le(36 + data, 4), tag("WAVE");
    tag("fmt "), le(16, 4), le(1, 2), le(uint32_t(channels), 2), le(uint32_t(rate), 4);
    le(uint32_t(rate * channels * 2), 4), le(uint32_t(channels * 2), 2), le(16, 2);
    tag("data"), le(data, 4);
    for (int16_t v : s) le(uint16_t(v), 2);
    FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f && std::fwrite(w.data(), 1, w.size(), f) == w.size();
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "sound_make: cannot write %s\n", path.c_str());
    return ok;
}

int16_t sample(double v) {
    return int16_t(std::lround(std::clamp(v, -1.0, 1.0) * 32767));
}

std::vector<int16_t> bell(int rate) {
    std::vector<int16_t> s(size_t(rate * 0.8));
    const double partials[][3] = {{660, 0.5, 3}, {1320 * 1.19, 0.25, 5}, {660 * 2.76, 0.15, 8}};
    for (size_t i = 0; i < s.size(); ++i) {
        double t = double(i) / rate, v = 0;
        for (const auto& p : partials)
            v += p[1] * std::exp(-t * p[2]) * std::sin(2 * M_PI * p[0] * t);
        s[i] = sample(v * 0.8);
    }
    return s;
}

std::vector<int16_t> drum(int rate) {
    const size_t frames = size_t(rate * 0.4);
    std::vector<int16_t> s(frames * 2);
    uint32_t noise = 12345;
    double phase = 0;
    for (size_t i = 0; i < frames; ++i) {
        double t = double(i) / rate;
        phase += 2 * M_PI * (60 + 120 * std::exp(-t * 20)) / rate;
        noise = noise * 1664525u + 1013904223u;
        double hiss = (double(noise >> 8) / double(1 << 24) - 0.5) * std::exp(-t * 60);
        double v = 0.8 * std::exp(-t * 8) * std::sin(phase) + 0.4 * hiss;
        s[2 * i] = sample(v);            // left
        s[2 * i + 1] = sample(v * 0.7);  // right, a little quieter
    }
    return s;
}

uint32_t argb(double r, double g, double b) {
    auto c = [](double v) { return uint32_t(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
    return 0xff000000u | c(r) << 16 | c(g) << 8 | c(b);
}

// Rings spreading from the middle, as sound does.
uint32_t rings(double x, double y) {
    double r = std::hypot(x - 0.5, (y - 0.5) * 1.775);
    return argb(0.1 + 0.15 * (0.5 + 0.5 * std::cos(r * 60)) * std::exp(-r * 3), 0.12, 0.2);
}

bool draw(const std::string& path, size_t w, size_t h) {
    std::shared_ptr<uint8_t[]> px(new uint8_t[w * h * 4]);
    auto* p = reinterpret_cast<uint32_t*>(px.get());
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) p[y * w + x] = rings((x + 0.5) / w, (y + 0.5) / h);
    CGImageRef image = bd::createARGB32Image(w, h, px);
    bool ok = image && bd::writePNG(image, path.c_str());
    CGImageRelease(image);
    if (!ok) std::fprintf(stderr, "sound_make: cannot write %s\n", path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sound_make FOLDER\n");
        return 2;
    }
    std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    const int rate = 22050;
    bool ok = writeWav(dir + "/bell.wav", rate, 1, bell(rate)) &&
              writeWav(dir + "/drum.wav", rate, 2, drum(rate)) &&
              draw(dir + "/bg.png", 640, 1136) && draw(dir + "/thumbnail.png", 160, 284);
    return ok ? 0 : 1;
}
