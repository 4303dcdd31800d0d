#include "QuartzCore/CARenderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>

#include "CoreGraphics/CGHandlesPrivate.h"
#include "Foundation/NSRunLoop.h"
#include "QuartzCore/CADisplayList.h"
#include "QuartzCore/CAPainter.h"
#include "QuartzCore/CATransform3D.h"

namespace {

using bd::DisplayItem;
using bd::DisplayList;
using bd::H3;
using bd::PixelRect;
using bd::PixelRegion;

// Frames whose damage is remembered, for targets that hold an older frame.
constexpr size_t kDamageHistory = 8;
}  // namespace

// ---------------------------------------------------------------------------------------------

struct CARenderer::Impl {
    bd::CairoSurface surface;
    int width = 0, height = 0;
    double scale = 1;
    bd::CAPictureCache pictures;
    CALayerColor background = {0, 0, 0, 1};

    // The last frame: its display list, number, and the damage of the frames before.
    bool valid = false;
    DisplayList list;
    uint64_t frameNumber = 0;
    uint64_t ownFrame = 0;  // the frame the own bitmap holds (0: none known)
    std::deque<std::pair<uint64_t, PixelRegion>> history;
    double nextChange = INFINITY;

    PixelRect bounds() const { return {0, 0, width, height}; }

    void build(CALayer* root, double t, DisplayList* out) {
        H3 h = root ? bd::toSuperlayerAt(root, nullptr, CATransform3DIdentity, t) *
                          H3::affine(scale, 0, 0, scale, 0, 0)
                    : H3();
        bd::buildDisplayList(root, h, t, bounds(), pictures, out);
    }

    // Draws a list into a bitmap, within a region (null: all of it); fills what no opaque item
    // covers with the background first when asked.
    void draw(cairo_surface_t* target, const DisplayList& items, const PixelRegion* region,
              bool fillBackground) {
        bd::Canvas c = bd::Canvas::regional(target);
        cairo_t* cr = c.cr;
        if (region) {
            for (const PixelRect& r : region->rects())
                cairo_rectangle(cr, r.x, r.y, r.width, r.height);
            cairo_clip(cr);
        }
        if (fillBackground) {
            PixelRegion all(bounds());
            const PixelRegion& area = region ? *region : all;
            cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
            cairo_set_source_rgba(cr, background.red, background.green, background.blue,
                                  background.alpha);
            for (const PixelRect& r : area.rects()) {
                bool covered = false;
                for (const DisplayItem& it : items.items)
                    if (it.opaque.contains(r) && !it.opaque.isEmpty()) {
                        covered = true;
                        break;
                    }
                if (covered) continue;
                cairo_rectangle(cr, r.x, r.y, r.width, r.height);
                cairo_fill(cr);
            }
            cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
        }
        bd::Painter(pictures).paint(c, items, region);
        cairo_surface_flush(target);
    }

    CARenderFrame frame(CALayer* root, double t, cairo_surface_t* target, int age) {
        Ref<CALayer> keep = retained(root);
        pictures.beginRender();
        DisplayList next;
        build(root, t, &next);

        PixelRegion damage;
        bool first = !valid || list.rootSerial != next.rootSerial;
        if (first)
            damage.add(bounds());
        else
            bd::diffDisplayLists(list, next, &damage);
        ++frameNumber;
        history.emplace_back(frameNumber, damage);
        while (history.size() > kDamageHistory) history.pop_front();

        // The target holds the frame `age` back: add the damage of the frames it missed.
        PixelRegion repair = damage;
        bool whole = first || age <= 0 || size_t(age) > history.size();
        for (int k = 1; !whole && k < age; ++k) {
            const auto& [n, d] = history[history.size() - 1 - size_t(k)];
            if (n != frameNumber - uint64_t(k)) {
                whole = true;
                break;
            }
            repair.add(d);
        }
        if (whole) {
            repair.clear();
            repair.add(bounds());
        }
        if (!repair.isEmpty()) draw(target, next, whole ? nullptr : &repair, true);

        CARenderFrame f;
        f.number = frameNumber;
        f.damage = damage.rects();
        f.drawn = repair.rects();
        f.full = whole;
        double treeNext = std::max(next.nextChange, next.time);
        f.nextChangeTime = std::min(treeNext, NSRunLoop::mainRunLoop()->nextWorkTime());
        nextChange = f.nextChangeTime;
        list = std::move(next);
        valid = true;
        return f;
    }
};

CARenderer::CARenderer(int width, int height, double scale) : _impl(std::make_unique<Impl>()) {
    int side = int(bd::kMaxImageSide);
    _impl->width = std::clamp(width, 1, side);
    _impl->height = std::clamp(height, 1, side);
    _impl->scale = scale > 0 && std::isfinite(scale) ? scale : 1;
    _impl->surface.reset(
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, _impl->width, _impl->height));
    clear({0, 0, 0, 1});
}

CARenderer::~CARenderer() = default;

int CARenderer::width() const {
    return _impl->width;
}
int CARenderer::height() const {
    return _impl->height;
}
double CARenderer::scale() const {
    return _impl->scale;
}
const uint8_t* CARenderer::pixels() const {
    cairo_surface_flush(_impl->surface.get());
    return cairo_image_surface_get_data(_impl->surface.get());
}
size_t CARenderer::stride() const {
    return size_t(cairo_image_surface_get_stride(_impl->surface.get()));
}

void CARenderer::clear(CALayerColor c) {
    bd::CairoContext context(cairo_create(_impl->surface.get()));
    cairo_t* cr = context.get();
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
    cairo_paint(cr);
    _impl->ownFrame = 0;
}

void CARenderer::render(CALayer* root, double mediaTime) {
    BD_ASSERT_MAIN_THREAD();
    if (!root) return;
    Ref<CALayer> keep = retained(root);
    _impl->pictures.beginRender();
    DisplayList list;
    _impl->build(root, mediaTime, &list);
    _impl->draw(_impl->surface.get(), list, nullptr, false);
    _impl->ownFrame = 0;
}

void CARenderer::setBackgroundColor(CALayerColor color) {
    if (color == _impl->background) return;
    _impl->background = color;
    invalidate();
}

bool CARenderer::needsFrame(CALayer* root, double t) const {
    const Impl& m = *_impl;
    if (!m.valid || (root ? root->serial() : 0) != m.list.rootSerial) return true;
    if (CALayer::changeCount() != m.list.changeCount) return true;
    if (t == m.list.time) return false;
    if (!(t > m.list.time)) return true;  // earlier (or not a number): anything may differ
    return t >= m.list.nextChange;
}

CARenderFrame CARenderer::renderFrame(CALayer* root, double mediaTime) {
    BD_ASSERT_MAIN_THREAD();
    Impl& m = *_impl;
    int age = m.ownFrame ? int(std::min<uint64_t>(m.frameNumber + 1 - m.ownFrame, 1 << 20)) : 0;
    CARenderFrame f = m.frame(root, mediaTime, m.surface.get(), age);
    m.ownFrame = f.number;
    return f;
}

CARenderFrame CARenderer::renderFrame(CALayer* root, double mediaTime,
                                      const CARenderTarget& target) {
    BD_ASSERT_MAIN_THREAD();
    Impl& m = *_impl;
    if (!target.pixels || target.stride < size_t(m.width) * 4 || target.stride % 4 != 0) return {};
    bd::CairoSurface s(cairo_image_surface_create_for_data(target.pixels, CAIRO_FORMAT_ARGB32,
                                                           m.width, m.height, int(target.stride)));
    if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS) return {};
    return m.frame(root, mediaTime, s.get(), target.age);
}

void CARenderer::invalidate() {
    _impl->valid = false;
    _impl->history.clear();
    _impl->ownFrame = 0;
}

double CARenderer::nextChangeTime() const {
    return _impl->nextChange;
}

CGImageRef CARenderer::createImage() const {
    size_t w = size_t(_impl->width), h = size_t(_impl->height), st = stride();
    std::shared_ptr<uint8_t[]> copy(new uint8_t[w * h * 4]);
    const uint8_t* src = pixels();
    for (size_t y = 0; y < h; ++y) std::memcpy(copy.get() + y * w * 4, src + y * st, w * 4);
    return bd::createARGB32Image(w, h, std::move(copy));
}

size_t CARenderer::cachedPictureCount() const {
    return _impl->pictures.count();
}
