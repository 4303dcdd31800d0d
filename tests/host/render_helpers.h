#pragma once
// Helpers for the tests that run `backdrop render`: frame files, pixels, the test wallpaper's
// square, and decoding the animated WebP.

#include <webp/demux.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CoreGraphics/CGImage.h"

namespace bdtest {

inline std::string frame(const std::string& dir, int i) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame-%04d.png", i);
    return dir + name;
}

inline uint32_t pixel(CGImageRef img, size_t x, size_t y) {
    return reinterpret_cast<const uint32_t*>(img->bytes() + y * img->bytesPerRow())[x];
}

// The test wallpaper's square: the first run of its colour along row y (left edge, or -1).
inline int squareLeft(CGImageRef img, size_t y, uint32_t colour) {
    for (size_t x = 0; x < img->width(); ++x)
        if (pixel(img, x, y) == colour) return int(x);
    return -1;
}

// Decoded frames of an animated WebP: count, canvas size and timestamps (ms).
struct WebPInfo {
    int frames = 0, width = 0, height = 0;
    std::vector<int> timestamps;
    std::vector<uint8_t> last;  // RGBA of the last frame
};
inline bool decodeWebP(const std::string& bytes, WebPInfo* info) {
    WebPData data = {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
    WebPAnimDecoderOptions opts;
    if (!WebPAnimDecoderOptionsInit(&opts)) return false;
    opts.color_mode = MODE_RGBA;
    WebPAnimDecoder* dec = WebPAnimDecoderNew(&data, &opts);
    if (!dec) return false;
    WebPAnimInfo ai;
    WebPAnimDecoderGetInfo(dec, &ai);
    info->width = int(ai.canvas_width);
    info->height = int(ai.canvas_height);
    while (WebPAnimDecoderHasMoreFrames(dec)) {
        uint8_t* buf;
        int ts;
        if (!WebPAnimDecoderGetNext(dec, &buf, &ts)) break;
        ++info->frames;
        info->timestamps.push_back(ts);
        info->last.assign(buf, buf + size_t(info->width) * size_t(info->height) * 4);
    }
    WebPAnimDecoderDelete(dec);
    return true;
}

}  // namespace bdtest
