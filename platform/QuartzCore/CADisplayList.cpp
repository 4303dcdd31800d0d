#include "QuartzCore/CADisplayList.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace bd {
namespace {

// Where the contents go in the bounds for a gravity; size is the contents' size in points.
CGRect contentsRect(CGRect b, CGSize size, int gravity) {
    double w = size.width, h = size.height;
    double bx = b.origin.x, by = b.origin.y, bw = b.size.width, bh = b.size.height;
    switch (gravity) {
        case kCALayerGravityResizeAspect:
        case kCALayerGravityResizeAspectFill: {
            if (!(w > 0) || !(h > 0)) return CGRectNull;
            double s = gravity == kCALayerGravityResizeAspect ? std::min(bw / w, bh / h)
                                                              : std::max(bw / w, bh / h);
            w *= s;
            h *= s;
            return {{bx + (bw - w) / 2, by + (bh - h) / 2}, {w, h}};
        }
        case kCALayerGravityCenter:
            return {{bx + (bw - w) / 2, by + (bh - h) / 2}, {w, h}};
        case kCALayerGravityTop:
            return {{bx + (bw - w) / 2, by}, {w, h}};
        case kCALayerGravityBottom:
            return {{bx + (bw - w) / 2, by + bh - h}, {w, h}};
        case kCALayerGravityLeft:
            return {{bx, by + (bh - h) / 2}, {w, h}};
        case kCALayerGravityRight:
            return {{bx + bw - w, by + (bh - h) / 2}, {w, h}};
        case kCALayerGravityTopLeft:
            return {{bx, by}, {w, h}};
        case kCALayerGravityTopRight:
            return {{bx + bw - w, by}, {w, h}};
        case kCALayerGravityBottomLeft:
            return {{bx, by + bh - h}, {w, h}};
        case kCALayerGravityBottomRight:
            return {{bx + bw - w, by + bh - h}, {w, h}};
        default:  // Resize, Redraw and anything unknown
            return b;
    }
}

// A 64-bit signature built from the words of what decides an item's pixels.
struct Hasher {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    void add(uint64_t v) {
        h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    void add(double d) {
        uint64_t v;
        std::memcpy(&v, &d, sizeof v);
        add(v);
    }
    void add(const void* p) { add(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p))); }
    void add(const CGRect& r) {
        add(r.origin.x), add(r.origin.y), add(r.size.width), add(r.size.height);
    }
    void add(const H3& m) {
        for (const auto& row : m.m)
            for (double v : row) add(v);
    }
    void add(const CATransform3D& t) {
        const double* v = &t.m11;
        for (int i = 0; i < 16; ++i) add(v[i]);
    }
};

// The box of r mapped by h, in target pixels (doubles): false when a corner lies behind the
// viewer or the result is not finite.
bool mappedBox(const CGRect& r, const H3& h, CGRect* out) {
    CGRect s = CGRectStandardize(r);
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    const double xs[2] = {s.origin.x, s.origin.x + s.size.width};
    const double ys[2] = {s.origin.y, s.origin.y + s.size.height};
    for (double x : xs)
        for (double y : ys) {
            double X, Y, W;
            h.project(x, y, &X, &Y, &W);
            if (!(W > 0)) return false;
            x0 = std::min(x0, X / W), y0 = std::min(y0, Y / W);
            x1 = std::max(x1, X / W), y1 = std::max(y1, Y / W);
        }
    if (!std::isfinite(x0 + y0 + x1 + y1)) return false;
    *out = {{x0, y0}, {x1 - x0, y1 - y0}};
    return true;
}

CGRect intersectBoxes(const CGRect& a, const CGRect& b) {
    double x0 = std::max(a.origin.x, b.origin.x), y0 = std::max(a.origin.y, b.origin.y);
    double x1 = std::min(a.origin.x + a.size.width, b.origin.x + b.size.width);
    double y1 = std::min(a.origin.y + a.size.height, b.origin.y + b.size.height);
    if (!(x1 > x0) || !(y1 > y0)) return {{x0, y0}, {0, 0}};
    return {{x0, y0}, {x1 - x0, y1 - y0}};
}

PixelRect pixelsOf(const CGRect& box, const PixelRect& target) {
    return pixelsAround(box.origin.x, box.origin.y, box.origin.x + box.size.width,
                        box.origin.y + box.size.height, 1, target);
}

bool isWhole(double v) {
    return v == std::floor(v);
}

bool axisAligned(const H3& h) {
    return h.m[0][1] == 0 && h.m[1][0] == 0 && h.m[0][2] == 0 && h.m[1][2] == 0;
}

enum : uint64_t { kTagBackground = 1, kTagContents, kTagWarped, kTagClip, kTagGroup };

class Builder {
  public:
    Builder(DisplayList& out, CAPictureCache& pictures, double t)
        : _out(out), _pictures(pictures), _t(t) {}

    struct Context {
        uint64_t hash = 0;  // the clips and groups around, in order
        bool inGroup = false, rectClip = true, pixelClip = true;
        CGRect clip;  // their box, target pixels
    };

    Context rootContext() const {
        Context c;
        const PixelRect& t = _out.target;
        c.clip = {{double(t.x), double(t.y)}, {double(t.width), double(t.height)}};
        return c;
    }

    // As the layer and its sublayers are drawn through h with an inherited opacity.
    void tree(CALayer* l, H3 h, double inherited, const Context& c) {
        if (l->isHidden()) return;
        noteChangeTime(l);
        double op = std::clamp(double(l->presentationOpacity(_t)), 0.0, 1.0) * inherited;
        if (!(op > 0) || !h.finite()) return;
        CGRect b = l->bounds();
        double extent = std::max({std::fabs(b.origin.x) + std::fabs(b.size.width),
                                  std::fabs(b.origin.y) + std::fabs(b.size.height), 1.0});
        if (!normaliseAffine(h, extent * 4)) {
            warped(l, h, op, c);
            return;
        }
        if (op < 1 && primitiveCount(l) > 1) {
            size_t begin = push(DisplayItem::BeginGroup, l, h, op, c);
            Context g = c;
            Hasher hs;
            hs.add(c.hash), hs.add(uint64_t(kTagGroup)), hs.add(l->serial()), hs.add(op);
            g.hash = hs.h;
            g.inGroup = true;
            layer(l, h, 1.0, g);
            end(begin);
        } else {
            layer(l, h, op, c);
        }
    }

    // The layer's own drawing and its sublayers through the affine mapping h, every primitive
    // at alpha.
    void layer(CALayer* l, const H3& h, double alpha, const Context& c) {
        double det = h.m[0][0] * h.m[1][1] - h.m[0][1] * h.m[1][0];
        if (!(std::fabs(det) > 1e-12)) return;  // flattened to a line: nothing shows
        CGRect b = CGRectStandardize(l->bounds());
        CALayerColor bg = l->backgroundColor();
        CGRect mapped;
        bool hasBox = mappedBox(b, h, &mapped);
        if (bg.alpha > 0 && !CGRectIsEmpty(b) && hasBox) {
            DisplayItem& it = _out.items[push(DisplayItem::Background, l, h, alpha, c)];
            it.color = bg;
            it.isolated = !axisAligned(h);
            CGRect on = intersectBoxes(mapped, c.clip);
            it.box = pixelsOf(on, _out.target);
            if (alpha >= 1 && bg.alpha >= 1 && !c.inGroup && c.rectClip && axisAligned(h))
                it.opaque = insidePixels(on);
            Hasher hs;
            hs.add(uint64_t(kTagBackground)), hs.add(l->serial()), hs.add(h), hs.add(b);
            hs.add(bg.red), hs.add(bg.green), hs.add(bg.blue), hs.add(bg.alpha), hs.add(alpha);
            hs.add(c.hash);
            it.sig = hs.h;
        }
        Context inner = c;
        size_t clipBegin = SIZE_MAX;
        if (l->masksToBounds()) {
            if (!hasBox) return;
            CGRect clip = intersectBoxes(mapped, c.clip);
            if (!(clip.size.width > 0) || !(clip.size.height > 0)) return;
            clipBegin = push(DisplayItem::BeginClip, l, h, alpha, c);
            _out.items[clipBegin].isolated = !axisAligned(h);
            Hasher hs;
            hs.add(c.hash), hs.add(uint64_t(kTagClip)), hs.add(l->serial()), hs.add(h), hs.add(b);
            inner.hash = hs.h;
            inner.clip = clip;
            inner.rectClip = c.rectClip && axisAligned(h);
            inner.pixelClip = c.pixelClip && inner.rectClip && isWhole(mapped.origin.x) &&
                              isWhole(mapped.origin.y) &&
                              isWhole(mapped.origin.x + mapped.size.width) &&
                              isWhole(mapped.origin.y + mapped.size.height);
        }
        if (CGImage* img = l->contentsAtTime(_t)) contents(l, img, h, alpha, inner);
        const auto& subs = l->sublayers();
        if (!subs.empty()) {
            CATransform3D st = l->presentationSublayerTransform(_t);
            for (const Ref<CALayer>& s : subs)
                tree(s.get(), toSuperlayerAt(s.get(), l, st, _t) * h, alpha, inner);
        }
        if (clipBegin != SIZE_MAX) end(clipBegin);
    }

    void finish() {
        // Occlusion: an item whose pixels an opaque item above covers entirely is not drawn.
        std::vector<std::pair<size_t, PixelRect>> covers;
        for (size_t i = 0; i < _out.items.size(); ++i)
            if (!_out.items[i].opaque.isEmpty()) covers.emplace_back(i, _out.items[i].opaque);
        if (covers.empty()) return;
        for (size_t i = 0; i < _out.items.size(); ++i) {
            DisplayItem& it = _out.items[i];
            if (!it.draws()) continue;
            for (const auto& [j, r] : covers)
                if (j > i && r.contains(it.box)) {
                    it.occluded = true;
                    break;
                }
        }
    }

  private:
    size_t push(DisplayItem::Kind kind, CALayer* l, const H3& h, double alpha, const Context& c) {
        DisplayItem it;
        it.kind = kind;
        it.layer = l;
        it.serial = l->serial();
        it.h = h;
        it.alpha = alpha;
        it.clip = c.clip;
        it.inGroup = c.inGroup;
        it.rectClip = c.rectClip;
        it.pixelClip = c.pixelClip;
        _out.items.push_back(it);
        return _out.items.size() - 1;
    }

    // Closes a clip or group: its End, and the box of all its members.
    void end(size_t begin) {
        DisplayItem e;
        e.kind = DisplayItem::End;
        e.match = uint32_t(begin);
        PixelRect box;
        for (size_t i = begin + 1; i < _out.items.size(); ++i)
            if (_out.items[i].draws()) box = box.united(_out.items[i].box);
        e.box = box;
        _out.items[begin].box = box;
        _out.items[begin].match = uint32_t(_out.items.size());
        _out.items.push_back(e);
    }

    PixelRect insidePixels(const CGRect& r) const {
        return pixelsInside(r.origin.x, r.origin.y, r.origin.x + r.size.width,
                            r.origin.y + r.size.height)
            .intersection(_out.target);
    }

    void contents(CALayer* l, CGImage* img, const H3& h, double alpha, const Context& c) {
        CAPicture* p = _pictures.picture(img);
        if (!p) return;
        CGRect d = placedContents(l, img, _t);
        if (CGRectIsNull(d) || !(d.size.width > 0) || !(d.size.height > 0)) return;
        // Only the part of the picture that is not transparent shows (a picture pixel more
        // around it, for the bilinear filter's reach).
        PixelRect vis = _pictures.visibleBox(p);
        if (vis.isEmpty()) return;
        double px = d.size.width / double(img->width()), py = d.size.height / double(img->height());
        CGRect shown = {{d.origin.x + (vis.x - 1) * px, d.origin.y + (vis.y - 1) * py},
                        {(vis.width + 2) * px, (vis.height + 2) * py}};
        shown = intersectBoxes(shown, d);
        CGRect mapped;
        if (!mappedBox(shown, h, &mapped)) return;
        keep(img);
        DisplayItem& it = _out.items[push(DisplayItem::Contents, l, h, alpha, c)];
        it.image = img;
        it.placed = d;
        it.isolated = !axisAligned(h);
        CGRect on = intersectBoxes(mapped, c.clip);
        it.box = pixelsOf(on, _out.target);
        if (alpha >= 1 && !c.inGroup && c.rectClip && axisAligned(h) && _pictures.isOpaque(p))
            it.opaque = insidePixels(on);
        Hasher hs;
        hs.add(uint64_t(kTagContents)), hs.add(l->serial()), hs.add(h), hs.add(img), hs.add(d);
        hs.add(alpha), hs.add(c.hash);
        it.sig = hs.h;
    }

    void warped(CALayer* l, const H3& h, double op, const Context& c) {
        CGRect e = extentOf(l, _t);
        if (CGRectIsEmpty(e)) return;
        DisplayItem& it = _out.items[push(DisplayItem::Warped, l, h, op, c)];
        CGRect mapped;
        CGRect on = mappedBox(e, h, &mapped) ? intersectBoxes(mapped, c.clip) : c.clip;
        it.box = pixelsOf(on, _out.target);
        Hasher hs;
        hs.add(uint64_t(kTagWarped)), hs.add(l->serial()), hs.add(h), hs.add(op), hs.add(c.clip);
        hs.add(c.hash);
        subtree(l, hs, 0);
        // (it may have moved: subtree() only keeps pictures, it adds no item)
        _out.items.back().sig = hs.h;
    }

    // Everything of a layer and its sublayers that a warped layer's bitmap depends on.
    void subtree(CALayer* l, Hasher& hs, int depth) {
        hs.add(l->serial());
        hs.add(uint64_t(l->isHidden()));
        if (l->isHidden() || depth > 64) return;
        noteChangeTime(l);
        hs.add(double(l->presentationOpacity(_t)));
        hs.add(l->presentationTransform(_t));
        hs.add(l->presentationSublayerTransform(_t));
        hs.add(l->bounds());
        hs.add(l->position().x), hs.add(l->position().y);
        hs.add(l->anchorPoint().x), hs.add(l->anchorPoint().y);
        CALayerColor bg = l->backgroundColor();
        hs.add(bg.red), hs.add(bg.green), hs.add(bg.blue), hs.add(bg.alpha);
        hs.add(uint64_t(l->masksToBounds()));
        hs.add(uint64_t(l->contentsGravity()));
        CGImage* img = l->contentsAtTime(_t);
        hs.add(img);
        if (img) {
            keep(img);
            hs.add(l->contentsScaleAtTime(_t));
        }
        hs.add(uint64_t(l->sublayers().size()));
        for (const Ref<CALayer>& s : l->sublayers()) subtree(s.get(), hs, depth + 1);
    }

    // How many separate things a layer draws (background, contents, visible sublayers), up to
    // 2: with more than one, opacity needs a group.
    int primitiveCount(CALayer* l) {
        int n = 0;
        if (l->backgroundColor().alpha > 0) ++n;
        if (l->contentsAtTime(_t)) ++n;
        for (auto& s : l->sublayers()) {
            if (n > 1) break;
            if (!s->isHidden() && s->presentationOpacity(_t) > 0) ++n;
        }
        return n;
    }

    void noteChangeTime(CALayer* l) {
        double next = l->presentationChangeTimeAfter(_t);
        if (next < _out.nextChange) _out.nextChange = next;
    }

    void keep(CGImage* img) {
        if (_out.images.empty() || _out.images.back().get() != img)
            _out.images.push_back(retained(img));
    }

    DisplayList& _out;
    CAPictureCache& _pictures;
    double _t;
};

void begin(DisplayList* out, CALayer* root, double t, const PixelRect& target) {
    out->items.clear();
    out->images.clear();
    out->target = target;
    out->rootSerial = root ? root->serial() : 0;
    out->changeCount = CALayer::changeCount();
    out->time = t;
    out->nextChange = INFINITY;
}

}  // namespace

H3 toSuperlayerAt(CALayer* l, CALayer* super, const CATransform3D& superSublayerTransform,
                  double t) {
    return layerToSuperlayer(l, l->presentationTransform(t), super, superSublayerTransform);
}

bool normaliseAffine(H3& h, double extent) {
    double w = h.m[2][2];
    if (!(w > 0)) return false;
    if ((std::fabs(h.m[0][2]) + std::fabs(h.m[1][2])) * extent > 1e-9 * w) return false;
    for (auto& row : h.m)
        for (double& v : row) v /= w;
    h.m[0][2] = h.m[1][2] = 0;
    h.m[2][2] = 1;
    return true;
}

CGRect placedContents(CALayer* l, CGImage* img, double t) {
    double cs = l->contentsScaleAtTime(t);
    if (!(cs > 0) || !std::isfinite(cs)) cs = 1;
    CGSize natural = {double(img->width()) / cs, double(img->height()) / cs};
    return contentsRect(CGRectStandardize(l->bounds()), natural, l->contentsGravity());
}

namespace {
CGRect extentAt(CALayer* l, double t, int depth) {
    CGRect r = CGRectStandardize(l->bounds());
    if (l->masksToBounds() || depth > 64) return r;
    if (CGImage* img = l->contentsAtTime(t)) {
        CGRect d = placedContents(l, img, t);
        if (!CGRectIsNull(d)) r = CGRectUnion(r, CGRectStandardize(d));
    }
    CATransform3D st = l->presentationSublayerTransform(t);
    for (auto& s : l->sublayers()) {
        if (s->isHidden() || !(s->presentationOpacity(t) > 0)) continue;
        CGRect e = extentAt(s.get(), t, depth + 1);
        H3 h = toSuperlayerAt(s.get(), l, st, t);
        double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
        CGPoint c[4] = {e.origin,
                        {e.origin.x + e.size.width, e.origin.y},
                        {e.origin.x, e.origin.y + e.size.height},
                        {e.origin.x + e.size.width, e.origin.y + e.size.height}};
        for (CGPoint q : c) {
            double X, Y, W;
            h.project(q.x, q.y, &X, &Y, &W);
            if (!(W > 0)) continue;
            x0 = std::min(x0, X / W), y0 = std::min(y0, Y / W);
            x1 = std::max(x1, X / W), y1 = std::max(y1, Y / W);
        }
        if (x1 >= x0 && y1 >= y0 && std::isfinite(x0 + y0 + x1 + y1))
            r = CGRectUnion(r, {{x0, y0}, {x1 - x0, y1 - y0}});
    }
    return r;
}
}  // namespace

CGRect extentOf(CALayer* l, double t) {
    return extentAt(l, t, 0);
}

CGImage* onlyContents(CALayer* l, double t) {
    if (l->backgroundColor().alpha > 0) return nullptr;
    for (auto& s : l->sublayers())
        if (!s->isHidden() && s->presentationOpacity(t) > 0) return nullptr;
    return l->contentsAtTime(t);
}

void buildDisplayList(CALayer* root, const H3& rootToTarget, double t, const PixelRect& target,
                      CAPictureCache& pictures, DisplayList* out) {
    begin(out, root, t, target);
    if (!root) return;
    Builder b(*out, pictures, t);
    b.tree(root, rootToTarget, 1.0, b.rootContext());
    b.finish();
}

void buildLayerDrawing(CALayer* layer, const H3& toTarget, double t, const PixelRect& target,
                       CAPictureCache& pictures, DisplayList* out) {
    begin(out, layer, t, target);
    if (!layer) return;
    Builder b(*out, pictures, t);
    b.layer(layer, toTarget, 1.0, b.rootContext());
    b.finish();
}

void diffDisplayLists(const DisplayList& before, const DisplayList& after, PixelRegion* damage) {
    // Drawn items by (layer serial, kind): what each list draws, in order.
    auto key = [](const DisplayItem& it) { return it.serial * 4 + uint64_t(it.kind); };
    std::vector<const DisplayItem*> a, b;
    for (const DisplayItem& it : before.items)
        if (it.draws()) a.push_back(&it);
    for (const DisplayItem& it : after.items)
        if (it.draws()) b.push_back(&it);
    auto changed = [&](const DisplayItem& x, const DisplayItem& y) {
        if (x.sig != y.sig || !(x.box == y.box)) {
            damage->add(x.box);
            damage->add(y.box);
        }
    };
    bool sameOrder = a.size() == b.size();
    for (size_t i = 0; sameOrder && i < a.size(); ++i) sameOrder = key(*a[i]) == key(*b[i]);
    if (sameOrder) {
        for (size_t i = 0; i < a.size(); ++i) changed(*a[i], *b[i]);
        return;
    }
    // Items that came or went are damage where they are (or were). Of those in both, the ones
    // that keep their order relative to each other are the longest increasing run of their old
    // positions; any other moved past something and is damage where it was and where it is.
    std::unordered_map<uint64_t, size_t> oldIndex;
    oldIndex.reserve(a.size() * 2);
    for (size_t i = 0; i < a.size(); ++i) oldIndex.emplace(key(*a[i]), i);
    std::vector<bool> inNew(a.size(), false);
    std::vector<std::pair<size_t, size_t>> common;  // (new index, old index)
    for (size_t j = 0; j < b.size(); ++j) {
        auto it = oldIndex.find(key(*b[j]));
        if (it == oldIndex.end() || inNew[it->second]) {
            damage->add(b[j]->box);
            continue;
        }
        inNew[it->second] = true;
        common.emplace_back(j, it->second);
    }
    for (size_t i = 0; i < a.size(); ++i)
        if (!inNew[i]) damage->add(a[i]->box);
    // Longest increasing subsequence of old indices, in new order (patience sorting).
    std::vector<size_t> tails, tailAt, prev(common.size(), SIZE_MAX);
    for (size_t k = 0; k < common.size(); ++k) {
        size_t v = common[k].second;
        size_t pos = size_t(std::lower_bound(tails.begin(), tails.end(), v) - tails.begin());
        if (pos == tails.size()) {
            tails.push_back(v);
            tailAt.push_back(k);
        } else {
            tails[pos] = v;
            tailAt[pos] = k;
        }
        if (pos > 0) prev[k] = tailAt[pos - 1];
    }
    std::vector<bool> kept(common.size(), false);
    for (size_t k = tailAt.empty() ? SIZE_MAX : tailAt.back(); k != SIZE_MAX; k = prev[k])
        kept[k] = true;
    for (size_t k = 0; k < common.size(); ++k) {
        const DisplayItem& x = *a[common[k].second];
        const DisplayItem& y = *b[common[k].first];
        if (kept[k]) {
            changed(x, y);
        } else {
            damage->add(x.box);
            damage->add(y.box);
        }
    }
}

}  // namespace bd
