#include "Preview.h"

#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "CoreGraphics/CGHandlesPrivate.h"
#include "CoreGraphics/CGImage.h"
#include "Foundation/FileIO.h"
#include "UIKit/ImageIO.h"

namespace host {

// ---------------------------------------------------------------------------------------------

struct AnimatedWebPWriter::Impl {
    WebPAnimEncoder* enc = nullptr;
    WebPConfig config;
    int width = 0, height = 0;
    std::vector<uint32_t> straight;
};

AnimatedWebPWriter::AnimatedWebPWriter(int width, int height) : _impl(std::make_unique<Impl>()) {
    _impl->width = width;
    _impl->height = height;
    WebPAnimEncoderOptions opts;
    if (!WebPAnimEncoderOptionsInit(&opts) || !WebPConfigInit(&_impl->config)) return;
    opts.allow_mixed = 0;
    opts.anim_params.loop_count = 0;  // loop for ever
    _impl->config.quality = 82;
    _impl->config.method = 3;
    _impl->config.thread_level = 0;  // one thread: the same frames give the same bytes
    _impl->enc = WebPAnimEncoderNew(width, height, &opts);
    _impl->straight.resize(size_t(width) * size_t(height));
}

AnimatedWebPWriter::~AnimatedWebPWriter() {
    if (_impl->enc) WebPAnimEncoderDelete(_impl->enc);
}

bool AnimatedWebPWriter::addFrame(const uint8_t* pixels, size_t stride, int timestampMs) {
    if (!_impl->enc) return false;
    int w = _impl->width, h = _impl->height;
    // Premultiplied to straight alpha; the word layout (0xAARRGGBB) is the encoder's own.
    for (int y = 0; y < h; ++y) {
        const uint32_t* row = reinterpret_cast<const uint32_t*>(pixels + size_t(y) * stride);
        uint32_t* out = _impl->straight.data() + size_t(y) * size_t(w);
        for (int x = 0; x < w; ++x) {
            uint32_t p = row[x], a = p >> 24;
            if (a == 255 || a == 0) {
                out[x] = a == 0 ? 0 : p;
                continue;
            }
            auto un = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
            out[x] = a << 24 | un((p >> 16) & 0xFF) << 16 | un((p >> 8) & 0xFF) << 8 | un(p & 0xFF);
        }
    }
    WebPPicture pic;
    if (!WebPPictureInit(&pic)) return false;
    pic.use_argb = 1;
    pic.width = w;
    pic.height = h;
    pic.argb = _impl->straight.data();  // borrowed: the picture is not freed
    pic.argb_stride = w;
    return WebPAnimEncoderAdd(_impl->enc, &pic, timestampMs, &_impl->config) != 0;
}

bool AnimatedWebPWriter::finish(int endMs, const std::string& path, std::string* error) {
    if (!_impl->enc) {
        *error = "the WebP encoder could not start";
        return false;
    }
    if (!WebPAnimEncoderAdd(_impl->enc, nullptr, endMs, nullptr)) {
        *error = std::string("WebP encoding failed: ") + WebPAnimEncoderGetError(_impl->enc);
        return false;
    }
    WebPData data;
    WebPDataInit(&data);
    if (!WebPAnimEncoderAssemble(_impl->enc, &data)) {
        *error = std::string("WebP encoding failed: ") + WebPAnimEncoderGetError(_impl->enc);
        return false;
    }
    // Replaced whole or not at all: a failed write leaves an older preview as it was.
    bool ok = bd::writeFileAtomically(path, data.bytes, data.size);
    WebPDataClear(&data);
    if (!ok) *error = "cannot write " + path;
    return ok;
}

// ---------------------------------------------------------------------------------------------

namespace {
constexpr int kSheetFrames = 8;
constexpr int kSheetColumns = 4;
constexpr int kThumbWidth = 180;
constexpr int kPad = 10;
constexpr int kLabel = 22;
}  // namespace

struct ContactSheet::Impl {
    std::vector<int> indices;
    std::vector<double> times;
    std::vector<bd::CairoSurface> thumbs;
    int width = 0, height = 0, thumbW = 0, thumbH = 0;
};

ContactSheet::ContactSheet(int frameCount, int width, int height)
    : _impl(std::make_unique<Impl>()) {
    int n = std::min(frameCount, kSheetFrames);
    for (int j = 0; j < n; ++j)
        _impl->indices.push_back(n == 1 ? 0
                                        : int(std::lround(double(j) * (frameCount - 1) / (n - 1))));
    _impl->times.assign(size_t(n), 0);
    _impl->thumbs.resize(size_t(n));
    _impl->width = width;
    _impl->height = height;
    _impl->thumbW = std::min(kThumbWidth, width);
    _impl->thumbH = std::max(1, int(std::lround(double(height) * _impl->thumbW / width)));
}

ContactSheet::~ContactSheet() = default;

bool ContactSheet::wants(int frameIndex) const {
    return std::find(_impl->indices.begin(), _impl->indices.end(), frameIndex) !=
           _impl->indices.end();
}

void ContactSheet::add(int frameIndex, double seconds, const uint8_t* pixels, size_t stride) {
    for (size_t j = 0; j < _impl->indices.size(); ++j) {
        if (_impl->indices[j] != frameIndex || _impl->thumbs[j]) continue;
        bd::CairoSurface src(cairo_image_surface_create_for_data(const_cast<uint8_t*>(pixels),
                                                                 CAIRO_FORMAT_ARGB32, _impl->width,
                                                                 _impl->height, int(stride)));
        bd::CairoSurface t(
            cairo_image_surface_create(CAIRO_FORMAT_ARGB32, _impl->thumbW, _impl->thumbH));
        bd::CairoContext cr(cairo_create(t.get()));
        cairo_scale(cr.get(), double(_impl->thumbW) / _impl->width,
                    double(_impl->thumbH) / _impl->height);
        cairo_set_source_surface(cr.get(), src.get(), 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_GOOD);  // once per sheet
        cairo_paint(cr.get());
        _impl->thumbs[j] = std::move(t);
        _impl->times[j] = seconds;
    }
}

bool ContactSheet::write(const std::string& path, std::string* error) {
    int n = int(_impl->indices.size());
    int cols = std::min(n, kSheetColumns), rows = (n + kSheetColumns - 1) / kSheetColumns;
    int cellW = _impl->thumbW + kPad, cellH = _impl->thumbH + kLabel + kPad;
    int w = kPad + cols * cellW, h = kPad + rows * cellH;
    bd::CairoSurface sheet(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
    bd::CairoContext context(cairo_create(sheet.get()));
    cairo_t* cr = context.get();
    cairo_set_source_rgb(cr, 0.13, 0.13, 0.14);
    cairo_paint(cr);
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 13);
    for (int j = 0; j < n; ++j) {
        int column = j % kSheetColumns, row = j / kSheetColumns;
        double x = kPad + column * cellW, y = kPad + row * cellH;
        if (_impl->thumbs[size_t(j)]) {
            cairo_set_source_surface(cr, _impl->thumbs[size_t(j)].get(), x, y);
            cairo_paint(cr);
        }
        char label[48];
        std::snprintf(label, sizeof label, "%.2f s", _impl->times[size_t(j)]);
        cairo_text_extents_t ext;
        cairo_text_extents(cr, label, &ext);
        cairo_set_source_rgb(cr, 0.9, 0.9, 0.9);
        cairo_move_to(cr, x + (_impl->thumbW - ext.width) / 2 - ext.x_bearing,
                      y + _impl->thumbH + 16);
        cairo_show_text(cr, label);
    }
    context.reset();
    cairo_surface_flush(sheet.get());
    size_t stride = size_t(cairo_image_surface_get_stride(sheet.get()));
    std::shared_ptr<uint8_t[]> px(new uint8_t[size_t(w) * size_t(h) * 4]);
    for (int y = 0; y < h; ++y)
        std::memcpy(px.get() + size_t(y) * size_t(w) * 4,
                    cairo_image_surface_get_data(sheet.get()) + size_t(y) * stride, size_t(w) * 4);
    Ref<CGImage> img = adopt(bd::createARGB32Image(size_t(w), size_t(h), px));
    if (!img || !bd::writePNG(img.get(), path.c_str())) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace host
