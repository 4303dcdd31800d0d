#pragma once
// ImageSet: new pictures made from pictures in memory. The class holds two compositing
// operations; the picture category SpriteExtend (free functions, receiver first) holds the
// loaders of scrambled picture files, colour overlay, drawing one picture over another,
// cutting out, turning grey, round corners and reading out the pixels.
//
// Every picture these operations make is new, autoreleased, at scale 1 and upright, so its
// size in points is its bitmap's size in pixels; the pictures given are never changed. They
// keep no state and take no locks: each call makes, uses and ends its own drawing surface,
// so they may run on any thread. See docs/images.md for how each open point is settled.

#include <cstdint>
#include "Foundation/Export.h"

#include "CoreGraphics/CGGeometry.h"
#include "Foundation/NSData.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIImage.h"

class BD_EXPORT ImageSet : public NSObject {
  public:
    // +colorizeImage:withColor: [any-thread] The picture multiplied by the colour where the
    // picture lets paint through (in proportion to its opacity). A null colour returns the
    // given picture itself. Null for a null picture or one under a pixel in size.
    static UIImage* colorizeImage(UIImage* image, UIColor* withColor);
    // +maskImage:withImage: [any-thread] The picture cut with the mask picture stretched over
    // it: where the mask is black the picture shows, where it is white it is left out, grey
    // lets it through in part. A mask whose bitmap is not one grey channel (a decoded PNG is
    // colour) is first turned grey over white, so its transparent parts hide the picture. A
    // null mask gives a fully transparent picture of the picture's size (nothing can be
    // drawn through it). Null for a null picture or one under a pixel in size.
    static UIImage* maskImage(UIImage* image, UIImage* withImage);
};

namespace SpriteExtend {

// +imageWithContentsOfFile:dencrypt: [any-thread] The picture in a file, whose bytes are all
// unscrambled first when dencrypt is true (no flag byte is read or dropped). Null when the
// file can't be read (or is over 512 MiB) or the bytes are no picture.
BD_EXPORT UIImage* imageWithContentsOfFile(NSString* path, bool dencrypt);
// +imageWithData:dencrypt: [any-thread] The same over a data object, which is never changed;
// null for a null data object.
BD_EXPORT UIImage* imageWithData(NSData* data, bool dencrypt);

// -imageColorOverlay: [any-thread] As ImageSet::colorizeImage with the Overlay blend; a null
// colour tints with the surface's initial fill colour, opaque black.
BD_EXPORT UIImage* imageColorOverlay(UIImage* image, UIColor* color);
// -drawToImage: [any-thread] The picture with the second drawn over it, stretched to its size.
// A null second picture leaves the picture as it is (redrawn).
BD_EXPORT UIImage* drawToImage(UIImage* image, UIImage* second);
// -clipImageWithRect: [any-thread] The pixels of the picture's bitmap inside rect (in pixels,
// origin at the top-left, the picture's scale not applied), rect widened to whole pixels and
// intersected with the bitmap; null when nothing is left. Shares the bitmap's pixels.
BD_EXPORT UIImage* clipImageWithRect(UIImage* image, CGRect rect);
// -createGrayImageWithAlpha: [any-thread] A grey picture of the picture's size in points
// (truncated to whole pixels), transparent parts over black. With alpha true, every pixel of
// grey 0 becomes fully transparent and the rest stay opaque. Null when the picture is under
// a point wide or high.
BD_EXPORT UIImage* createGrayImageWithAlpha(UIImage* image, bool alpha);
// -imageWithRoundCorners: [any-thread] The picture at its size in points (truncated to whole
// pixels) with each corner cut to a circular arc of the radius, built with the arc-to-point
// construction: radius 0 keeps every pixel; a negative radius gives the same corners as its
// magnitude; above half the shorter side the arcs overlap and the outline is what the
// construction draws; a radius that is not finite leaves nothing inside (all transparent).
// Null when the picture is under a point wide or high.
BD_EXPORT UIImage* imageWithRoundCorners(UIImage* image, double radius);
// -getImageData [any-thread] The bitmap's pixels, 4 bytes each in the order alpha, red,
// green, blue (premultiplied), rows from the top down, in a buffer cleared before the picture
// is drawn into it. The caller owns it and releases it with free(). Null for a null picture,
// when memory runs out, or when the byte count would not fit in 32 bits.
BD_EXPORT uint8_t* getImageData(UIImage* image);

}  // namespace SpriteExtend
