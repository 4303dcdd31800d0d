#pragma once
// The display list: what a layer tree draws at one media time, flattened in painting order into
// items — a background fill, a picture, a layer warped in perspective — between the beginnings
// and ends of clips and opacity groups. Each drawn item carries the pixels it may touch, the
// pixels it covers with opaque colour, and a signature: a hash of everything that decides its
// pixels (its mapping onto the target, colour, picture, opacity, and the clips and groups it is
// drawn in). Two lists compared item by item give the damage: the pixels that may differ between
// the two frames. Building a list also finds when the tree next changes on its own.
// Internal to the renderer; main-thread only, like the layers it reads.

#include <cmath>
#include <cstdint>
#include <vector>

#include "CoreGraphics/CGImage.h"
#include "QuartzCore/CAHomography.h"
#include "QuartzCore/CALayer.h"
#include "QuartzCore/CAPictureCache.h"
#include "QuartzCore/CAPixelRegion.h"

namespace bd {

// A plain value, read on the thread that built it ([main-thread]).
struct DisplayItem {
    enum Kind : uint8_t { Background, Contents, Warped, BeginClip, BeginGroup, End };
    Kind kind = Background;
    bool inGroup = false;   // drawn inside an opacity group
    bool rectClip = true;   // every clip around it is an axis-aligned rectangle
    bool pixelClip = true;  // ... and lies on whole pixels
    bool occluded = false;  // an opaque item above covers all it may touch: not drawn
    // Drawn on its own (into a bitmap of its box, then painted): an item or clip that is not
    // axis-aligned. cairo's antialiasing of slanted edges depends on the extent being drawn,
    // so such an item is always drawn whole, whatever part of it a frame redraws.
    bool isolated = false;
    CALayer* layer = nullptr;  // for drawing only; a diff never follows it
    uint64_t serial = 0;       // the layer's
    H3 h;                      // the layer's bounds space -> target pixels
    double alpha = 1;    // each primitive's (Background, Contents); the opacity (Warped, Group)
    CALayerColor color;  // Background
    CGImage* image = nullptr;  // Contents
    CGRect placed = {};        // Contents: where the picture goes, in bounds space
    CGRect clip = {};          // the box (target pixels) of the clips it is drawn in
    PixelRect box;             // pixels it may touch; a Begin: what its members may touch
    PixelRect opaque;          // pixels it covers with opaque colour, whatever lies below
    uint64_t sig = 0;          // everything that decides its pixels
    uint32_t match = 0;        // a Begin: the index of its End; an End: of its Begin

    // [any-thread]
    bool draws() const { return kind == Background || kind == Contents || kind == Warped; }
};

// [main-thread] (it holds pictures, released where it goes).
struct DisplayList {
    std::vector<DisplayItem> items;
    std::vector<Ref<CGImage>> images;  // the pictures it names: no address is reused meanwhile
    PixelRect target;
    uint64_t rootSerial = 0;
    uint64_t changeCount = 0;  // CALayer::changeCount() when it was built
    double time = 0;
    // The first media time after `time` at which something the tree presents may differ with
    // no layer changed (`time` itself while an animation runs); INFINITY when never.
    double nextChange = INFINITY;
};

// [main-thread] The list of root and its sublayers at mediaTime, drawn through rootToTarget
// (root's bounds space -> target pixels) into a target of target's size. Pictures come from
// (and are kept in use in) `pictures`.
void buildDisplayList(CALayer* root, const H3& rootToTarget, double mediaTime,
                      const PixelRect& target, CAPictureCache& pictures, DisplayList* out);
// [main-thread] The list of one layer's own drawing and its sublayers, without its opacity:
// what the bitmap of a layer warped in perspective holds.
void buildLayerDrawing(CALayer* layer, const H3& toTarget, double mediaTime,
                       const PixelRect& target, CAPictureCache& pictures, DisplayList* out);

// [any-thread] Adds to damage the pixels that may differ between what two lists of the same
// target draw.
void diffDisplayLists(const DisplayList& before, const DisplayList& after, PixelRegion* damage);

// Geometry the list and the renderer share [main-thread]:
// a layer's bounds space -> its superlayer's, as presented at mediaTime;
H3 toSuperlayerAt(CALayer* layer, CALayer* super, const CATransform3D& superSublayerTransform,
                  double mediaTime);
// whether h maps a region of the given extent affinely (then normalised so that w = 1);
bool normaliseAffine(H3& h, double extent);
// where a layer's picture goes in its bounds space;
CGRect placedContents(CALayer* layer, CGImage* image, double mediaTime);
// the area a layer and its sublayers cover, in its bounds space;
CGRect extentOf(CALayer* layer, double mediaTime);
// the picture of a layer that draws nothing else (no background, no visible sublayer).
CGImage* onlyContents(CALayer* layer, double mediaTime);

}  // namespace bd
