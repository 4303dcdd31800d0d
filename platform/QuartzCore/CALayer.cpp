#include "QuartzCore/CALayer.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>

#include "CoreGraphics/CGImage.h"
#include "QuartzCore/CAHomography.h"

namespace {

using bd::H3;

CGPoint anchorInBounds(const CGRect& b, const CGPoint& anchor) {
    return {b.origin.x + anchor.x * b.size.width, b.origin.y + anchor.y * b.size.height};
}

// Layer bounds space -> superlayer bounds space, without the superlayer's sublayerTransform.
H3 toParentOwn(CALayer* l) {
    return bd::layerToSuperlayer(l, l->transform(), nullptr, CATransform3DIdentity);
}

// Layer bounds space -> superlayer bounds space, including the superlayer's sublayerTransform.
H3 toParent(CALayer* l) {
    CALayer* s = l->superlayer();
    return bd::layerToSuperlayer(l, l->transform(), s,
                                 s ? s->sublayerTransform() : CATransform3DIdentity);
}

// Identity when singular: a collapsed layer maps nothing back sensibly anyway.
H3 inverted(const H3& h) {
    H3 r;
    h.inverse(&r);
    return r;
}

// Layer bounds space -> the space the root's frame lives in.
H3 toRootSpace(CALayer* l) {
    H3 h;
    for (CALayer* c = l; c; c = c->superlayer()) h = h * toParent(c);
    return h;
}

CGRect boundingBox(const CGRect& r, const H3& h) {
    if (CGRectIsNull(r)) return r;
    CGRect s = CGRectStandardize(r);
    CGPoint corners[4] = {s.origin,
                          {s.origin.x + s.size.width, s.origin.y},
                          {s.origin.x, s.origin.y + s.size.height},
                          {s.origin.x + s.size.width, s.origin.y + s.size.height}};
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    bool any = false;
    for (const CGPoint& c : corners) {
        bool ok = false;
        CGPoint q = h.apply(c, &ok);
        if (!ok) continue;
        any = true;
        x0 = std::min(x0, q.x);
        y0 = std::min(y0, q.y);
        x1 = std::max(x1, q.x);
        y1 = std::max(y1, q.y);
    }
    if (!any) return CGRectNull;
    return {{x0, y0}, {x1 - x0, y1 - y0}};
}

// Moves on at every change of any layer; read by renderers on the main thread. Atomic only so
// that a layer made or changed on another thread by mistake is no data race.
std::atomic<uint64_t> gChangeCount{1};
std::atomic<uint64_t> gNextSerial{1};

}  // namespace

H3 bd::layerToSuperlayer(CALayer* l, const CATransform3D& transform, CALayer* super,
                         const CATransform3D& superSublayerTransform) {
    CGPoint a = anchorInBounds(l->bounds(), l->anchorPoint());
    CGPoint p = l->position();
    if (!super || CATransform3DIsIdentity(superSublayerTransform))
        return H3::translation(-a.x, -a.y) * H3::flatten(transform) * H3::translation(p.x, p.y);
    CGPoint sa = anchorInBounds(super->bounds(), super->anchorPoint());
    CATransform3D m = CATransform3DMakeTranslation(-a.x, -a.y, 0);
    m = CATransform3DConcat(m, transform);
    m = CATransform3DConcat(m, CATransform3DMakeTranslation(p.x - sa.x, p.y - sa.y, 0));
    m = CATransform3DConcat(m, superSublayerTransform);
    m = CATransform3DConcat(m, CATransform3DMakeTranslation(sa.x, sa.y, 0));
    return H3::flatten(m);
}

CALayer::CALayer() : _serial(gNextSerial.fetch_add(1, std::memory_order_relaxed)) {}

CALayer* CALayer::layer() {
    CALayer* l = alloc<CALayer>()->init();
    if (l) l->autorelease();
    return l;
}

CALayer* CALayer::init() {
    if (!NSObject::init()) return nullptr;
    return this;
}

uint64_t CALayer::changeCount() {
    return gChangeCount.load(std::memory_order_relaxed);
}

void CALayer::changed(const char* key) {
    gChangeCount.fetch_add(1, std::memory_order_relaxed);
    didChangeValueForKey(key);
}

void CALayer::setNeedsDisplay() {
    BD_ASSERT_MAIN_THREAD();
    changed("contents");
}

void CALayer::setContentsSource(CALayerContentsSource* source) {
    if (source == _contentsSource) return;
    _contentsSource = source;
    changed("contents");
}

double CALayer::presentationChangeTimeAfter(double mediaTime) {
    if (_animations && runsAnimationAtTime(mediaTime)) return mediaTime;
    if (_contentsSource) return _contentsSource->layerContentsChangeTimeAfter(this, mediaTime);
    return INFINITY;
}

void CALayer::dealloc() {
    discardAnimations();
    // Sublayers may outlive us if someone else holds them: cut their back pointers first.
    std::vector<Ref<CALayer>> subs;
    subs.swap(_sublayers);
    for (auto& s : subs) s->_superlayer = nullptr;
    subs.clear();
    if (_contents) CGImageRelease(_contents);
    _contents = nullptr;
    NSObject::dealloc();
}

void CALayer::setBounds(CGRect bounds) {
    BD_ASSERT_MAIN_THREAD();
    _bounds = bounds;
    changed("bounds");
}

void CALayer::setPosition(CGPoint position) {
    BD_ASSERT_MAIN_THREAD();
    _position = position;
    changed("position");
}

void CALayer::setAnchorPoint(CGPoint anchorPoint) {
    BD_ASSERT_MAIN_THREAD();
    _anchorPoint = anchorPoint;
    changed("anchorPoint");
}

void CALayer::setTransform(CATransform3D transform) {
    BD_ASSERT_MAIN_THREAD();
    willChangeAnimatedValue(AnimatedValue::Transform);
    _transform = transform;
    changed("transform");
}

void CALayer::setSublayerTransform(CATransform3D sublayerTransform) {
    BD_ASSERT_MAIN_THREAD();
    willChangeAnimatedValue(AnimatedValue::SublayerTransform);
    _sublayerTransform = sublayerTransform;
    changed("sublayerTransform");
}

CGRect CALayer::frame() {
    CGRect b = bounds();
    if (CATransform3DIsIdentity(transform())) {
        CGPoint a = anchorInBounds(b, anchorPoint());
        CGPoint p = position();
        return CGRectStandardize({{p.x - (a.x - b.origin.x), p.y - (a.y - b.origin.y)}, b.size});
    }
    return boundingBox(b, toParentOwn(this));
}

void CALayer::setFrame(CGRect frame) {
    BD_ASSERT_MAIN_THREAD();
    frame = CGRectStandardize(frame);
    if (CGRectIsNull(frame)) return;
    CGRect b = bounds();
    CGPoint anchor = anchorPoint();
    CATransform3D t = transform();
    if (CATransform3DIsIdentity(t)) {
        b.size = frame.size;
        setBounds(b);
        setPosition({frame.origin.x + anchor.x * frame.size.width,
                     frame.origin.y + anchor.y * frame.size.height});
        return;
    }
    // A frame of the size the layer shows already leaves the bounds alone (only the layer
    // moves): worked back out through the transform they would come out a rounding error off.
    if (CATransform3DIsAffine(t) && !(frame.size == this->frame().size)) {
        // The box of a w x h rectangle under the linear part [a b; c d] is
        // (|a|w + |c|h) x (|b|w + |d|h); solve for w and h.
        double a = std::fabs(t.m11), bb = std::fabs(t.m12), c = std::fabs(t.m21),
               d = std::fabs(t.m22);
        double det = a * d - c * bb;
        if (std::fabs(det) > 1e-12) {
            double w = (frame.size.width * d - frame.size.height * c) / det;
            double h = (frame.size.height * a - frame.size.width * bb) / det;
            if (w >= -1e-9 && h >= -1e-9 && std::isfinite(w) && std::isfinite(h)) {
                b.size = {std::max(0.0, w), std::max(0.0, h)};
                setBounds(b);
            }
        }
    }
    // The frame moves rigidly with the position: shift it so the origin lands where asked.
    CGRect now = this->frame();
    if (CGRectIsNull(now)) return;
    CGPoint p = position();
    setPosition({p.x + frame.origin.x - now.origin.x, p.y + frame.origin.y - now.origin.y});
}

void CALayer::setOpacity(float opacity) {
    BD_ASSERT_MAIN_THREAD();
    willChangeAnimatedValue(AnimatedValue::Opacity);
    _opacity = opacity;
    changed("opacity");
}

void CALayer::setHidden(bool hidden) {
    BD_ASSERT_MAIN_THREAD();
    _hidden = hidden;
    changed("hidden");
}

void CALayer::setMasksToBounds(bool masksToBounds) {
    BD_ASSERT_MAIN_THREAD();
    _masksToBounds = masksToBounds;
    changed("masksToBounds");
}

void CALayer::setBackgroundColor(CALayerColor backgroundColor) {
    BD_ASSERT_MAIN_THREAD();
    _backgroundColor = backgroundColor;
    changed("backgroundColor");
}

void CALayer::setContents(CGImage* contents) {
    BD_ASSERT_MAIN_THREAD();
    if (contents == _contents) return;
    if (contents) CGImageRetain(contents);
    CGImage* old = _contents;
    _contents = contents;
    if (old) CGImageRelease(old);
    changed("contents");
}

void CALayer::setContentsGravity(int contentsGravity) {
    BD_ASSERT_MAIN_THREAD();
    _contentsGravity = contentsGravity;
    changed("contentsGravity");
}

void CALayer::setContentsScale(double contentsScale) {
    BD_ASSERT_MAIN_THREAD();
    _contentsScale = contentsScale;
    changed("contentsScale");
}

double CALayer::contentsScaleAtTime(double mediaTime) {
    if (_contentsSource) {
        double s = _contentsSource->layerContentsScaleAtTime(this, mediaTime);
        if (s > 0) return s;
    }
    return contentsScale();
}

CGImage* CALayer::contentsAtTime(double mediaTime) {
    if (_contentsSource) return _contentsSource->layerContentsAtTime(this, mediaTime);
    return contents();
}

void CALayer::detachSublayer(CALayer* layer) {
    auto it = std::find_if(_sublayers.begin(), _sublayers.end(),
                           [&](const Ref<CALayer>& r) { return r.get() == layer; });
    if (it == _sublayers.end()) return;
    layer->_superlayer = nullptr;
    _sublayers.erase(it);  // may release the layer; callers hold their own reference
}

void CALayer::insertSublayer(CALayer* layer, size_t atIndex) {
    BD_ASSERT_MAIN_THREAD();
    // A layer can't contain itself or one of its ancestors.
    if (!layer || isDescendantOf(layer)) return;
    Ref<CALayer> keep = retained(layer);
    if (CALayer* old = layer->_superlayer) old->detachSublayer(layer);
    atIndex = std::min(atIndex, _sublayers.size());
    _sublayers.insert(_sublayers.begin() + static_cast<std::ptrdiff_t>(atIndex), keep);
    layer->_superlayer = this;
    changed("sublayers");
}

void CALayer::addSublayer(CALayer* layer) {
    // Moving a layer that is already ours to the top: count it out first.
    size_t n = _sublayers.size();
    if (layer && layer->_superlayer == this) --n;
    insertSublayer(layer, n);
}

void CALayer::insertSublayerBelow(CALayer* layer, CALayer* below) {
    if (!layer || layer == below) return;
    Ref<CALayer> keep = retained(layer);
    if (layer->_superlayer == this) detachSublayer(layer);
    size_t i = indexOfSublayer(below);
    insertSublayer(layer, i == SIZE_MAX ? _sublayers.size() : i);
}

void CALayer::insertSublayerAbove(CALayer* layer, CALayer* above) {
    if (!layer || layer == above) return;
    Ref<CALayer> keep = retained(layer);
    if (layer->_superlayer == this) detachSublayer(layer);
    size_t i = indexOfSublayer(above);
    insertSublayer(layer, i == SIZE_MAX ? _sublayers.size() : i + 1);
}

void CALayer::removeFromSuperlayer() {
    BD_ASSERT_MAIN_THREAD();
    if (CALayer* s = _superlayer) {
        Ref<CALayer> keep = retained(this);
        s->detachSublayer(this);
        s->changed("sublayers");
    }
}

size_t CALayer::indexOfSublayer(CALayer* layer) {
    for (size_t i = 0; i < _sublayers.size(); ++i)
        if (_sublayers[i].get() == layer) return i;
    return SIZE_MAX;
}

bool CALayer::isDescendantOf(CALayer* ancestor) {
    for (CALayer* c = this; c; c = c->_superlayer)
        if (c == ancestor) return true;
    return false;
}

CGPoint CALayer::convertPointToLayer(CGPoint point, CALayer* toLayer) {
    H3 h = toRootSpace(this);
    if (toLayer) h = h * inverted(toRootSpace(toLayer));
    return h.apply(point);
}

CGPoint CALayer::convertPointFromLayer(CGPoint point, CALayer* fromLayer) {
    H3 h = inverted(toRootSpace(this));
    if (fromLayer) h = toRootSpace(fromLayer) * h;
    return h.apply(point);
}

CGRect CALayer::convertRectToLayer(CGRect rect, CALayer* toLayer) {
    H3 h = toRootSpace(this);
    if (toLayer) h = h * inverted(toRootSpace(toLayer));
    return boundingBox(rect, h);
}

CGRect CALayer::convertRectFromLayer(CGRect rect, CALayer* fromLayer) {
    H3 h = inverted(toRootSpace(this));
    if (fromLayer) h = toRootSpace(fromLayer) * h;
    return boundingBox(rect, h);
}
