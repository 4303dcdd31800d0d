#pragma once
// CALayer: the geometry and appearance of one node of the layer tree. A layer owns its
// sublayers (in back-to-front order) and knows its superlayer by a plain pointer. Geometry:
// `bounds` is the layer's own coordinate space, `position` is where the anchor point lies in the
// superlayer's bounds space, and `transform` is applied about the anchor point; the superlayer's
// `sublayerTransform` is applied to its sublayers about its own anchor point. Layers are
// main-thread objects; state is kept in plain fields behind virtual setters. A layer owns the
// animations attached to it and runs them on the main run loop (docs/animations.md).

#include <cmath>
#include <cstdint>
#include <vector>
#include "Foundation/Export.h"

#include "CoreGraphics/CGGeometry.h"
#include "Foundation/NSObject.h"
#include "QuartzCore/CATransform3D.h"

class CAAnimation;
class CGImage;
class CALayer;
class NSArray;
class NSString;

namespace bd {
struct LayerAnimations;
}

// How a layer's contents fill its bounds. The numbers are those of UIViewContentMode, so a
// view hands its content mode to its layer unchanged.
enum CALayerContentsGravity : int {
    kCALayerGravityResize = 0,            // stretched to the bounds
    kCALayerGravityResizeAspect = 1,      // fits inside, aspect kept
    kCALayerGravityResizeAspectFill = 2,  // fills, aspect kept, overflow cut by clipping
    kCALayerGravityRedraw = 3,            // as Resize
    kCALayerGravityCenter = 4,
    kCALayerGravityTop = 5,
    kCALayerGravityBottom = 6,
    kCALayerGravityLeft = 7,
    kCALayerGravityRight = 8,
    kCALayerGravityTopLeft = 9,
    kCALayerGravityTopRight = 10,
    kCALayerGravityBottomLeft = 11,
    kCALayerGravityBottomRight = 12,
};

// Something that decides what a layer shows at a given media time (an image view playing a
// flip-book). Not owned by the layer; the source clears itself before it goes.
class BD_EXPORT CALayerContentsSource {
  public:
    virtual ~CALayerContentsSource() = default;
    // [main-thread] The bitmap the layer shows at mediaTime, or null for none.
    virtual CGImage* layerContentsAtTime(CALayer* layer, double mediaTime) = 0;
    // [main-thread] Pixels per point of that bitmap; 0 means the layer's contentsScale.
    virtual double layerContentsScaleAtTime(CALayer* layer, double mediaTime) {
        (void)layer;
        (void)mediaTime;
        return 0;
    }
    // [main-thread] The first media time after mediaTime at which the answers above may differ
    // from those at mediaTime, without the source being told anything (a flip-book's next
    // frame); INFINITY when they stay. A change made by a call on the source (a new picture, a
    // start or a stop) is announced through the layer's setNeedsDisplay instead.
    virtual double layerContentsChangeTimeAfter(CALayer* layer, double mediaTime) {
        (void)layer;
        (void)mediaTime;
        return INFINITY;
    }
};

// A layer's background colour as straight-alpha RGBA components in 0...1.
struct BD_EXPORT CALayerColor {
    double red = 0, green = 0, blue = 0, alpha = 0;
    bool operator==(const CALayerColor& o) const {
        return red == o.red && green == o.green && blue == o.blue && alpha == o.alpha;
    }
};

class BD_EXPORT CALayer : public NSObject {
  public:
    CALayer();  // [any-thread] takes the next serial
    // +layer [main-thread] autoreleased
    static CALayer* layer();
    [[nodiscard]] CALayer* init() override;  // [main-thread]

    // Geometry [main-thread]
    virtual CGRect bounds() { return _bounds; }
    virtual void setBounds(CGRect bounds);
    virtual CGPoint position() { return _position; }
    virtual void setPosition(CGPoint position);
    virtual CGPoint anchorPoint() { return _anchorPoint; }  // unit coordinates, default (0.5, 0.5)
    virtual void setAnchorPoint(CGPoint anchorPoint);
    virtual CATransform3D transform() { return _transform; }
    virtual void setTransform(CATransform3D transform);
    virtual CATransform3D sublayerTransform() { return _sublayerTransform; }
    virtual void setSublayerTransform(CATransform3D sublayerTransform);
    // The bounding box, in the superlayer's bounds space, of the bounds transformed about the
    // anchor point. Corners that land behind the eye under perspective are left out.
    virtual CGRect frame();
    // Places the layer so that frame() becomes `frame`: with the identity transform that sets
    // the bounds size to the frame's size and the position to the anchor's place in it. With an
    // affine transform the bounds size is solved so that the transformed size matches (so a scale
    // s gives bounds = frame size / s); when no such size exists (degenerate or perspective
    // transforms) the bounds size stays and only the position moves.
    virtual void setFrame(CGRect frame);

    // Appearance [main-thread]
    virtual float opacity() { return _opacity; }
    virtual void setOpacity(float opacity);
    virtual bool isHidden() { return _hidden; }
    virtual void setHidden(bool hidden);
    virtual bool masksToBounds() { return _masksToBounds; }
    virtual void setMasksToBounds(bool masksToBounds);
    virtual CALayerColor backgroundColor() { return _backgroundColor; }
    virtual void setBackgroundColor(CALayerColor backgroundColor);
    // The bitmap the layer shows over its bounds; the layer keeps a reference to it.
    virtual CGImage* contents() { return _contents; }
    virtual void setContents(CGImage* contents);
    // How the contents fill the bounds (CALayerContentsGravity); default Resize.
    virtual int contentsGravity() { return _contentsGravity; }
    virtual void setContentsGravity(int contentsGravity);
    // Pixels of the contents per point, for the gravities that show the contents at their own
    // size; default 1. An image view sets its picture's scale.
    virtual double contentsScale() { return _contentsScale; }
    virtual void setContentsScale(double contentsScale);

    // What the renderer draws at a media time [main-thread]. The model values above are what
    // the layer was told; these answer what it shows at that moment, with the attached
    // animations that are running then and a contents source applied.
    virtual CATransform3D presentationTransform(double mediaTime);
    virtual CATransform3D presentationSublayerTransform(double mediaTime);
    virtual float presentationOpacity(double mediaTime);
    // The contents source's answer when one is set, else contents().
    virtual CGImage* contentsAtTime(double mediaTime);
    // The scale of what contentsAtTime answers: the source's when it gives one, else
    // contentsScale().
    virtual double contentsScaleAtTime(double mediaTime);
    CALayerContentsSource* contentsSource() { return _contentsSource; }
    void setContentsSource(CALayerContentsSource* source);
    // [main-thread] The first media time after mediaTime at which what the layer itself presents
    // (the values above, not its sublayers') may differ from what it presents at mediaTime,
    // with no setter called: mediaTime itself while an animation that changes a drawn value is
    // running then (it moves at every instant), else the contents source's next change, else
    // INFINITY. A subclass that overrides a presentation value to run on the clock overrides
    // this as well, or renderers that draw only what changed will not redraw it.
    virtual double presentationChangeTimeAfter(double mediaTime);

    // Change tracking [main-thread]. Every change of a layer anywhere in the process (a setter,
    // a sublayer added or removed, an animation attached or detached, setNeedsDisplay) moves
    // one process-wide counter on; a renderer that finds it where it was when it last drew, and
    // no presentation change due, knows that nothing it drew has changed.
    static uint64_t changeCount();
    // -setNeedsDisplay: what the layer shows has changed in a way no setter saw (its contents
    // source switched to other pictures).
    virtual void setNeedsDisplay();
    // A number that names this layer for the life of the process (never reused, unlike its
    // address). [any-thread]
    uint64_t serial() const { return _serial; }

    // Animations [main-thread]; timing and delegate rules in docs/animations.md.
    // -addAnimation:forKey: attaches a copy of anim taken now, which begins now. An animation
    // already attached under the key is detached first and its delegate told it stopped
    // unfinished. A null key attaches it under no key; a null anim does nothing. Changing an
    // animation after it was attached has no effect on the run.
    virtual void addAnimation(CAAnimation* anim, NSString* forKey);
    // -animationForKey: the attached copy (the object its delegate is given), or null.
    virtual CAAnimation* animationForKey(NSString* key);
    // -removeAnimationForKey: detaches it; its delegate is told it stopped unfinished, unless
    // it has already been told it stopped.
    virtual void removeAnimationForKey(NSString* key);
    // -removeAllAnimations: as removeAnimationForKey for every attached animation.
    virtual void removeAllAnimations();
    // -animationKeys: the keys of the attached animations in the order they were attached
    // (autoreleased), or null when none is attached under a key.
    virtual NSArray* animationKeys();

    // Tree [main-thread]
    virtual CALayer* superlayer() { return _superlayer; }
    // Back-to-front; the vector holds the references the layer owns.
    virtual const std::vector<Ref<CALayer>>& sublayers() { return _sublayers; }
    // -addSublayer: appends on top; a layer already elsewhere is moved.
    virtual void addSublayer(CALayer* layer);
    // -insertSublayer:atIndex: (index clamped to the count)
    virtual void insertSublayer(CALayer* layer, size_t atIndex);
    // -insertSublayer:below: / -insertSublayer:above: (append when the sibling isn't ours)
    virtual void insertSublayerBelow(CALayer* layer, CALayer* below);
    virtual void insertSublayerAbove(CALayer* layer, CALayer* above);
    virtual void removeFromSuperlayer();
    virtual size_t indexOfSublayer(CALayer* layer);  // SIZE_MAX when not a sublayer
    virtual bool isDescendantOf(CALayer* ancestor);  // true for the layer itself

    // -convertPoint:toLayer: / -convertPoint:fromLayer: between the bounds spaces of two layers
    // through every transform on the way. A null layer means the space the root layer's own
    // frame is expressed in.
    virtual CGPoint convertPointToLayer(CGPoint point, CALayer* toLayer);
    virtual CGPoint convertPointFromLayer(CGPoint point, CALayer* fromLayer);
    // -convertRect:toLayer: / -convertRect:fromLayer: (bounding box of the mapped corners)
    virtual CGRect convertRectToLayer(CGRect rect, CALayer* toLayer);
    virtual CGRect convertRectFromLayer(CGRect rect, CALayer* fromLayer);

    // The view (or other owner) that drives this layer; not owned.
    void* delegate() { return _delegate; }
    void setDelegate(void* delegate) { _delegate = delegate; }

    // Called after every property change with the property's name ("bounds", "position", ...);
    // a hook for animations and renderers. Base: nothing (the change count moves on before).
    virtual void didChangeValueForKey(const char* key) { (void)key; }

  protected:
    void dealloc() override;

  private:
    // [main-thread] Moves the change count on, then calls didChangeValueForKey.
    void changed(const char* key);
    // [main-thread] Whether an attached animation that changes a drawn value runs at mediaTime.
    bool runsAnimationAtTime(double mediaTime);
    void detachSublayer(CALayer* layer);
    // The animation runtime (CALayerAnimation.cpp), all [main-thread].
    enum class AnimatedValue { Transform, SublayerTransform, Opacity };
    bd::LayerAnimations* animationState();  // [main-thread] made on first use
    // [main-thread] Before a model change: keeps what is shown now, the start of an animation
    // given neither a from nor a to value.
    void willChangeAnimatedValue(AnimatedValue value);
    void animationDidEnd(uint64_t serial);  // [main-thread] run-loop timer at an animation's end
    void discardAnimations();               // [main-thread] teardown: detaches all, frees the state
    // [main-thread] Tells the delegate on a later pass of the main run loop that anim stopped
    // unfinished.
    static void postAnimationDidStop(CAAnimation* anim);

    CGRect _bounds = {};
    CGPoint _position = {};
    CGPoint _anchorPoint = {0.5, 0.5};
    CATransform3D _transform = {};
    CATransform3D _sublayerTransform = {};
    float _opacity = 1.0f;
    bool _hidden = false;
    bool _masksToBounds = false;
    CALayerColor _backgroundColor = {};
    CGImage* _contents = nullptr;  // retained
    int _contentsGravity = kCALayerGravityResize;
    double _contentsScale = 1.0;
    CALayerContentsSource* _contentsSource = nullptr;  // not owned
    uint64_t _serial;
    CALayer* _superlayer = nullptr;
    std::vector<Ref<CALayer>> _sublayers;
    void* _delegate = nullptr;
    bd::LayerAnimations* _animations = nullptr;  // owned
};
