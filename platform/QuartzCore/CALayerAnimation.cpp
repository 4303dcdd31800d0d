// The animation runtime: how a layer attaches, times and presents its animations. A layer
// keeps its attached animations in attach order; each one begins when it is attached, runs
// for duration x repeat count (x 2 when it autoreverses) on the media clock, and ends through
// a timer on the main run loop. What a layer shows at a media time is its model value with
// every animation that is running then laid over it, later ones over earlier ones; each
// animation replaces one component of the value (the scale, a rotation angle, the
// translation or the opacity) by a linear interpolation. docs/animations.md has the rules.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "Foundation/NSArray.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CAAnimation.h"
#include "QuartzCore/CABase.h"
#include "QuartzCore/CALayer.h"

namespace bd {
namespace {

// The value an animation drives, read off its key path.
enum class Target : uint8_t { None, Transform, SublayerTransform, Opacity };
enum class Part : uint8_t {
    Value,  // the whole scalar (opacity)
    Scale,  // one factor for x, y and z
    RotationX,
    RotationY,
    RotationZ,
    Translation,  // x and y
    TranslationX,
    TranslationY,
};
struct Property {
    Target target = Target::None;
    Part part = Part::Value;
};

Property parseKeyPath(NSString* path) {
    if (!path) return {};
    const char* p = path->UTF8String();
    if (std::strcmp(p, "opacity") == 0) return {Target::Opacity, Part::Value};
    Target target;
    if (std::strncmp(p, "transform.", 10) == 0) {
        target = Target::Transform;
        p += 10;
    } else if (std::strncmp(p, "sublayerTransform.", 18) == 0) {
        target = Target::SublayerTransform;
        p += 18;
    } else {
        return {};
    }
    static const struct {
        const char* name;
        Part part;
    } parts[] = {
        {"scale", Part::Scale},
        {"rotation", Part::RotationZ},
        {"rotation.x", Part::RotationX},
        {"rotation.y", Part::RotationY},
        {"rotation.z", Part::RotationZ},
        {"translation", Part::Translation},
        {"translation.x", Part::TranslationX},
        {"translation.y", Part::TranslationY},
    };
    for (const auto& e : parts)
        if (std::strcmp(p, e.name) == 0) return {target, e.part};
    return {};
}

// A component value: scalars use x; the translation uses x and y.
struct Vec {
    double x = 0, y = 0;
};

// What a layer shows of its animatable values.
struct Shown {
    CATransform3D transform;
    CATransform3D sublayerTransform;
    double opacity = 1;

    CATransform3D& matrix(Target t) {
        return t == Target::SublayerTransform ? sublayerTransform : transform;
    }
};

Vec readPart(const CATransform3D& m, Part part) {
    switch (part) {
        case Part::Scale:
            return {std::sqrt(m.m11 * m.m11 + m.m12 * m.m12 + m.m13 * m.m13), 0};
        // Row vectors: a rotation by a about z has m11 = cos a, m12 = sin a; about x m22 = cos a,
        // m23 = sin a; about y m31 = sin a, m33 = cos a.
        case Part::RotationX:
            return {std::atan2(m.m23, m.m22), 0};
        case Part::RotationY:
            return {std::atan2(m.m31, m.m33), 0};
        case Part::RotationZ:
            return {std::atan2(m.m12, m.m11), 0};
        case Part::Translation:
            return {m.m41, m.m42};
        case Part::TranslationX:
            return {m.m41, 0};
        case Part::TranslationY:
            return {m.m42, 0};
        case Part::Value:
            break;
    }
    return {};
}

// Replaces one component of m. Scale and rotation are changed by applying the difference
// before m, so the rest of m (its translation above all) stays as it is.
CATransform3D writePart(CATransform3D m, Part part, Vec v) {
    switch (part) {
        case Part::Scale: {
            double s = readPart(m, part).x;
            if (s > 0 && std::isfinite(s)) return CATransform3DScale(m, v.x / s, v.x / s, v.x / s);
            // A collapsed linear part has no scale to change: give it the plain scale.
            m.m11 = m.m22 = m.m33 = v.x;
            m.m12 = m.m13 = m.m21 = m.m23 = m.m31 = m.m32 = 0;
            return m;
        }
        case Part::RotationX:
            return CATransform3DRotate(m, v.x - readPart(m, part).x, 1, 0, 0);
        case Part::RotationY:
            return CATransform3DRotate(m, v.x - readPart(m, part).x, 0, 1, 0);
        case Part::RotationZ:
            return CATransform3DRotate(m, v.x - readPart(m, part).x, 0, 0, 1);
        case Part::Translation:
            m.m41 = v.x;
            m.m42 = v.y;
            return m;
        case Part::TranslationX:
            m.m41 = v.x;
            return m;
        case Part::TranslationY:
            m.m42 = v.x;
            return m;
        case Part::Value:
            break;
    }
    return m;
}

Vec read(Shown& s, Property p) {
    if (p.target == Target::Opacity) return {s.opacity, 0};
    return readPart(s.matrix(p.target), p.part);
}

void write(Shown& s, Property p, Vec v) {
    if (p.target == Target::Opacity) {
        s.opacity = v.x;
        return;
    }
    CATransform3D& m = s.matrix(p.target);
    m = writePart(m, p.part, v);
}

// When an animation is active and where in its cycle it is.
struct Timing {
    double duration = 0.25;  // one pass, > 0
    double repeatCount = 1;  // > 0, may be infinite
    bool autoreverses = false;

    double active() const { return duration * repeatCount * (autoreverses ? 2 : 1); }
    // The progress 0...1 at local time t, or false when the run is over (t >= active). A time
    // before the begin counts as the begin: a renderer may take a frame's time before the code
    // that attaches an animation in that frame runs, and must then show where it starts.
    bool progress(double t, double* f) const {
        if (std::isnan(t) || !(t < active())) return false;
        if (t < 0) t = 0;
        double cycle = autoreverses ? 2 * duration : duration;
        double u = std::fmod(t, cycle) / duration;
        *f = u > 1 ? 2 - u : u;
        return true;
    }
};

// A duration that is not a positive number runs as 0.25 s; a repeat count that is not
// positive runs once.
Timing timingOf(CAAnimation* a) {
    Timing t;
    double d = a->duration();
    if (d > 0 && std::isfinite(d)) t.duration = d;
    double rc = a->repeatCount();
    if (rc > 0) t.repeatCount = rc;
    t.autoreverses = a->autoreverses();
    return t;
}

// One key path an attached animation drives. A missing end takes the value underneath at each
// moment (the model value with the animations attached before it).
struct Track {
    Property prop;
    bool member = false;  // a group's member: runs on the group's time line with its own timing
    Timing timing;
    bool hasFrom = false, hasTo = false;
    Vec from, to;
};

}  // namespace

struct LayerAnimations {
    struct Record {
        uint64_t serial = 0;
        Ref<NSString> key;  // null: attached under no key
        Ref<CAAnimation> anim;
        double begin = 0;
        Timing timing;
        bool removedOnCompletion = true;
        NSRunLoop::TimerId timer = 0;  // 0 once ended, or when it never ends
        std::vector<Track> tracks;
    };
    std::vector<Record> records;  // in attach order
    uint64_t nextSerial = 1;
    // What was shown just before each value's latest model change, if it changed.
    bool changed[3] = {false, false, false};
    Shown before[3];
};

namespace {

using Record = LayerAnimations::Record;

Shown modelOf(CALayer* l) {
    Shown s;
    s.transform = l->transform();
    s.sublayerTransform = l->sublayerTransform();
    s.opacity = l->opacity();
    return s;
}

bool isRotation(Part p) {
    return p == Part::RotationX || p == Part::RotationY || p == Part::RotationZ;
}

// Lays the animations that are running at time t over s; only those driving `only` unless it
// is None.
void applyAnimations(const LayerAnimations* la, double t, Target only, Shown& s) {
    if (!la) return;
    for (const Record& r : la->records) {
        double f;
        if (!r.timing.progress(t - r.begin, &f)) continue;
        for (const Track& tr : r.tracks) {
            if (tr.prop.target == Target::None) continue;
            if (only != Target::None && tr.prop.target != only) continue;
            double g = f;
            if (tr.member && !tr.timing.progress(f * r.timing.duration, &g)) continue;
            if (!tr.hasFrom && !tr.hasTo) continue;
            Vec under = (tr.hasFrom && tr.hasTo) ? Vec{} : read(s, tr.prop);
            Vec a = tr.hasFrom ? tr.from : under;
            Vec b = tr.hasTo ? tr.to : under;
            // An angle read back from a matrix wraps at +-pi; one end taken that way is unwrapped
            // toward the other, so a turn past half a circle keeps going the same way.
            if (tr.hasFrom != tr.hasTo && isRotation(tr.prop.part)) {
                if (tr.hasFrom)
                    b.x = a.x + std::remainder(b.x - a.x, 2 * M_PI);
                else
                    a.x = b.x + std::remainder(a.x - b.x, 2 * M_PI);
            }
            write(s, tr.prop, {a.x + (b.x - a.x) * g, a.y + (b.y - a.y) * g});
        }
    }
}

bool numberValue(NSObject* o, Vec* v) {
    NSNumber* n = as<NSNumber>(o);
    if (!n) return false;
    double d = n->doubleValue();
    *v = {d, d};
    return true;
}

int slotOf(Target t) {
    return t == Target::Transform ? 0 : t == Target::SublayerTransform ? 1 : 2;
}

// Resolves a basic animation's ends against what the layer shows at attach time.
Track makeTrack(CABasicAnimation* b, Shown& shownNow, LayerAnimations* la) {
    Track tr;
    tr.prop = parseKeyPath(b->keyPath());
    if (tr.prop.target == Target::None) return tr;
    tr.hasFrom = numberValue(b->fromValue(), &tr.from);
    tr.hasTo = numberValue(b->toValue(), &tr.to);
    if (!tr.hasFrom && tr.hasTo) {
        tr.from = read(shownNow, tr.prop);
        tr.hasFrom = true;
    } else if (!tr.hasFrom && !tr.hasTo) {
        int slot = slotOf(tr.prop.target);
        if (la->changed[slot]) {
            tr.from = read(la->before[slot], tr.prop);
            tr.hasFrom = true;
        }
    }
    return tr;
}

}  // namespace
}  // namespace bd

using bd::LayerAnimations;

void CALayer::postAnimationDidStop(CAAnimation* anim) {
    Ref<CAAnimation> keep = retained(anim);
    NSRunLoop::mainRunLoop()->post([keep] { keep->sendDidStop(false); });
}

bd::LayerAnimations* CALayer::animationState() {
    if (!_animations) _animations = new LayerAnimations();
    return _animations;
}

void CALayer::willChangeAnimatedValue(AnimatedValue value) {
    LayerAnimations* la = animationState();
    int slot = static_cast<int>(value);
    bd::Shown s = bd::modelOf(this);
    if (!la->records.empty()) bd::applyAnimations(la, CACurrentMediaTime(), bd::Target::None, s);
    la->before[slot] = s;
    la->changed[slot] = true;
}

CATransform3D CALayer::presentationTransform(double mediaTime) {
    bd::Shown s;
    s.transform = transform();
    bd::applyAnimations(_animations, mediaTime, bd::Target::Transform, s);
    return s.transform;
}

CATransform3D CALayer::presentationSublayerTransform(double mediaTime) {
    bd::Shown s;
    s.sublayerTransform = sublayerTransform();
    bd::applyAnimations(_animations, mediaTime, bd::Target::SublayerTransform, s);
    return s.sublayerTransform;
}

float CALayer::presentationOpacity(double mediaTime) {
    bd::Shown s;
    s.opacity = opacity();
    bd::applyAnimations(_animations, mediaTime, bd::Target::Opacity, s);
    return static_cast<float>(s.opacity);
}

void CALayer::addAnimation(CAAnimation* anim, NSString* forKey) {
    BD_ASSERT_MAIN_THREAD();
    if (!anim) return;
    LayerAnimations* la = animationState();
    double now = CACurrentMediaTime();

    LayerAnimations::Record r;
    r.serial = la->nextSerial++;
    r.key = retained(forKey);
    r.anim = adopt(anim->copy());
    r.begin = now;
    r.timing = bd::timingOf(r.anim.get());
    r.removedOnCompletion = r.anim->isRemovedOnCompletion();

    // Ends that are not given come from what is shown now, before a replaced animation goes.
    bd::Shown shownNow = bd::modelOf(this);
    bd::applyAnimations(la, now, bd::Target::None, shownNow);
    if (auto* basic = as<CABasicAnimation>(r.anim.get())) {
        r.tracks.push_back(bd::makeTrack(basic, shownNow, la));
    } else if (auto* group = as<CAAnimationGroup>(r.anim.get())) {
        if (NSArray* members = group->animations())
            for (NSObject* o : *members)
                if (auto* m = as<CABasicAnimation>(o)) {
                    bd::Track tr = bd::makeTrack(m, shownNow, la);
                    tr.member = true;
                    tr.timing = bd::timingOf(m);
                    r.tracks.push_back(tr);
                }
    }

    if (forKey) {
        for (auto it = la->records.begin(); it != la->records.end(); ++it) {
            if (!it->key || !it->key->isEqualToString(forKey)) continue;
            Ref<CAAnimation> old = it->anim;
            if (it->timer) NSRunLoop::mainRunLoop()->cancelTimer(it->timer);
            la->records.erase(it);
            postAnimationDidStop(old);
            break;
        }
    }

    double end = now + r.timing.active();
    if (std::isfinite(end)) {
        uint64_t serial = r.serial;
        r.timer =
            NSRunLoop::mainRunLoop()->addTimer(end, [this, serial] { animationDidEnd(serial); });
    }
    Ref<CAAnimation> attached = r.anim;
    la->records.push_back(std::move(r));
    NSRunLoop::mainRunLoop()->post([attached] { attached->sendDidStart(); });
    changed("animations");
}

void CALayer::animationDidEnd(uint64_t serial) {
    if (!_animations) return;
    Ref<CALayer> keep = retained(this);  // the delegate may let go of the layer
    auto& recs = _animations->records;
    auto it = std::find_if(recs.begin(), recs.end(), [&](auto& r) { return r.serial == serial; });
    if (it == recs.end()) return;
    it->timer = 0;
    Ref<CAAnimation> anim = it->anim;
    if (it->removedOnCompletion) {
        recs.erase(it);
        changed("animations");
    }
    anim->sendDidStop(true);
}

bool CALayer::runsAnimationAtTime(double mediaTime) {
    if (!_animations) return false;
    for (const LayerAnimations::Record& r : _animations->records) {
        double f;
        if (!r.timing.progress(mediaTime - r.begin, &f)) continue;
        for (const bd::Track& tr : r.tracks)
            if (tr.prop.target != bd::Target::None && (tr.hasFrom || tr.hasTo)) return true;
    }
    return false;
}

CAAnimation* CALayer::animationForKey(NSString* key) {
    if (!_animations || !key) return nullptr;
    for (auto& r : _animations->records)
        if (r.key && r.key->isEqualToString(key)) return r.anim.get();
    return nullptr;
}

void CALayer::removeAnimationForKey(NSString* key) {
    BD_ASSERT_MAIN_THREAD();
    if (!_animations || !key) return;
    auto& recs = _animations->records;
    for (auto it = recs.begin(); it != recs.end(); ++it) {
        if (!it->key || !it->key->isEqualToString(key)) continue;
        Ref<CAAnimation> anim = it->anim;
        if (it->timer) NSRunLoop::mainRunLoop()->cancelTimer(it->timer);
        recs.erase(it);
        postAnimationDidStop(anim);
        changed("animations");
        return;
    }
}

void CALayer::removeAllAnimations() {
    BD_ASSERT_MAIN_THREAD();
    if (!_animations || _animations->records.empty()) return;
    std::vector<LayerAnimations::Record> recs;
    recs.swap(_animations->records);
    for (auto& r : recs) {
        if (r.timer) NSRunLoop::mainRunLoop()->cancelTimer(r.timer);
        postAnimationDidStop(r.anim);
    }
    changed("animations");
}

NSArray* CALayer::animationKeys() {
    if (!_animations) return nullptr;
    NSMutableArray* keys = nullptr;
    for (auto& r : _animations->records) {
        if (!r.key) continue;
        if (!keys) keys = NSMutableArray::array();
        keys->addObject(r.key.get());
    }
    return keys;
}

void CALayer::discardAnimations() {
    if (!_animations) return;
    // Stops are posted: no delegate is called from inside a teardown.
    for (auto& r : _animations->records) {
        if (r.timer) NSRunLoop::mainRunLoop()->cancelTimer(r.timer);
        postAnimationDidStop(r.anim);
    }
    delete _animations;
    _animations = nullptr;
}
