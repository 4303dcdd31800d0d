#pragma once
// CGContext: a drawing surface on a bitmap, with a graphics state (transform, clip, colours,
// blend mode) kept on a stack, and a current path.
//
// Spaces. Device space is the bitmap's pixels, origin at the top-left corner, y down; pixel
// (i, j) covers [i, i+1) × [j, j+1). A bitmap context's user space starts with the origin at
// the bottom-left corner and y up (CTM (1, 0, 0, −1, 0, height)); the image contexts of UIKit
// start y down (see UIKit/UIGraphics.h). The current path is kept in device space: the CTM
// applies when a point is added, not when the path is used.
//
// Pixels. A context keeps colour as cairo's premultiplied native ARGB32 and grey as one byte
// per pixel, so its images draw everywhere without conversion. A context over the caller's
// buffer writes the layout it was made with (e.g. bytes alpha, red, green, blue) into that
// buffer after every drawing call; a context that allocates its own pixels keeps them native
// whatever byte order was asked for, and its images report what they hold.
//
// Drawing. Paths, clips and scaled images are rasterised by cairo (antialiased; images with
// the GOOD filter when they shrink and BILINEAR with padded edges when they grow, so edges are
// never faded). Blending is done by our own kernels (CGPixelKernels.h) for Normal, Multiply and
// Overlay, by pixman's combiners for the other modes. An image drawn 1:1 on whole pixels is
// read straight from its bitmap.
//
// Copies. CGBitmapContextCreateImage hands out the context's own pixels and the context copies
// them before it next draws (copy on write); an image drawn 1:1 over the whole of a context
// that is still clear is shared the same way instead of being copied in.
//
// A context is used by one thread at a time; every function here is [any-thread] in that
// sense. Every function accepts a null context and then does nothing (or returns 0 / null).

#include <cstddef>
#include <cstdint>
#include <memory>
#include "Foundation/Export.h"

#include "CoreGraphics/CGColorSpace.h"
#include "CoreGraphics/CGGeometry.h"
#include "CoreGraphics/CGImage.h"
#include "Foundation/NSObject.h"

enum CGBlendMode : int {
    kCGBlendModeNormal = 0,
    kCGBlendModeMultiply,
    kCGBlendModeScreen,
    kCGBlendModeOverlay,
    kCGBlendModeDarken,
    kCGBlendModeLighten,
    kCGBlendModeColorDodge,
    kCGBlendModeColorBurn,
    kCGBlendModeSoftLight,
    kCGBlendModeHardLight,
    kCGBlendModeDifference,
    kCGBlendModeExclusion,
    kCGBlendModeHue,
    kCGBlendModeSaturation,
    kCGBlendModeColor,
    kCGBlendModeLuminosity,
    kCGBlendModeClear,
    kCGBlendModeCopy,
    kCGBlendModeSourceIn,
    kCGBlendModeSourceOut,
    kCGBlendModeSourceAtop,
    kCGBlendModeDestinationOver,
    kCGBlendModeDestinationIn,
    kCGBlendModeDestinationOut,
    kCGBlendModeDestinationAtop,
    kCGBlendModeXOR,
    kCGBlendModePlusDarker,
    kCGBlendModePlusLighter,
};

enum CGInterpolationQuality : int {
    kCGInterpolationDefault = 0,
    kCGInterpolationNone = 1,
    kCGInterpolationLow = 2,
    kCGInterpolationMedium = 4,
    kCGInterpolationHigh = 3,
};

namespace bd {
struct ContextImpl;
}

class BD_EXPORT CGContext : public NSObject {
  public:
    // Use CGBitmapContextCreate (or the UIKit image context functions).
    explicit CGContext(std::unique_ptr<bd::ContextImpl> impl);
    // [any-thread] The surface, state stack and path (internal to the platform).
    bd::ContextImpl& impl() { return *_impl; }

  protected:
    ~CGContext() override;

  private:
    std::unique_ptr<bd::ContextImpl> _impl;
};
typedef CGContext* CGContextRef;

// --- Bitmap contexts --------------------------------------------------------------------------

// [any-thread] A context on a width × height bitmap. Supported layouts, 8 bits per component:
// device grey with no alpha (kCGImageAlphaNone, one byte per pixel) and device RGB with
// premultiplied alpha first or last (kCGImageAlphaPremultipliedFirst / Last) in byte order
// Default, 32Big or 32Little. data null: the context allocates its pixels, cleared (black grey,
// transparent RGB); otherwise it draws into data, which must hold height rows of bytesPerRow.
// bytesPerRow 0: the context chooses (width × bytes per pixel). Null for a zero or over-large
// side, a bytesPerRow too small for the width, or any other layout. Caller owns the result.
[[nodiscard]] BD_EXPORT CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height,
                                                           size_t bitsPerComponent,
                                                           size_t bytesPerRow,
                                                           CGColorSpaceRef space,
                                                           uint32_t bitmapInfo);
// [any-thread] A bitmap of the context's current content (sharing its pixels until the context
// draws again); null for a null context. Caller owns the result.
[[nodiscard]] BD_EXPORT CGImageRef CGBitmapContextCreateImage(CGContextRef c);
// [any-thread] The layout the context was made with.
BD_EXPORT size_t CGBitmapContextGetWidth(CGContextRef c);
BD_EXPORT size_t CGBitmapContextGetHeight(CGContextRef c);
BD_EXPORT size_t CGBitmapContextGetBitsPerComponent(CGContextRef c);
BD_EXPORT size_t CGBitmapContextGetBitsPerPixel(CGContextRef c);
BD_EXPORT size_t CGBitmapContextGetBytesPerRow(CGContextRef c);
BD_EXPORT CGBitmapInfo CGBitmapContextGetBitmapInfo(CGContextRef c);
BD_EXPORT CGColorSpaceRef CGBitmapContextGetColorSpace(CGContextRef c);

// [any-thread] Null-safe.
BD_EXPORT CGContextRef CGContextRetain(CGContextRef c);
BD_EXPORT void CGContextRelease(CGContextRef c);

// --- Graphics state ---------------------------------------------------------------------------

// [any-thread] Pushes / pops the whole graphics state (not the path). A restore without a
// matching save is ignored.
BD_EXPORT void CGContextSaveGState(CGContextRef c);
BD_EXPORT void CGContextRestoreGState(CGContextRef c);

// [any-thread] CTM' = operation · CTM: the operation applies in the current user space.
BD_EXPORT void CGContextScaleCTM(CGContextRef c, double sx, double sy);
BD_EXPORT void CGContextTranslateCTM(CGContextRef c, double tx, double ty);
BD_EXPORT void CGContextRotateCTM(CGContextRef c, double angle);
BD_EXPORT void CGContextConcatCTM(CGContextRef c, CGAffineTransform transform);
BD_EXPORT CGAffineTransform CGContextGetCTM(CGContextRef c);

// [any-thread] Colours are straight components 0...1 (clamped), stored premultiplied.
BD_EXPORT void CGContextSetRGBFillColor(CGContextRef c, double red, double green, double blue,
                                        double alpha);
BD_EXPORT void CGContextSetGrayFillColor(CGContextRef c, double gray, double alpha);
BD_EXPORT void CGContextSetRGBStrokeColor(CGContextRef c, double red, double green, double blue,
                                          double alpha);
BD_EXPORT void CGContextSetGrayStrokeColor(CGContextRef c, double gray, double alpha);
// [any-thread] How later drawing combines with the content. PlusDarker is drawn as Normal.
BD_EXPORT void CGContextSetBlendMode(CGContextRef c, CGBlendMode mode);
// [any-thread] Opacity applied to everything drawn later (clamped to 0...1).
BD_EXPORT void CGContextSetAlpha(CGContextRef c, double alpha);
BD_EXPORT void CGContextSetShouldAntialias(CGContextRef c, bool shouldAntialias);
// [any-thread] kCGInterpolationNone samples scaled images at the nearest pixel.
BD_EXPORT void CGContextSetInterpolationQuality(CGContextRef c, CGInterpolationQuality quality);

// --- Path -------------------------------------------------------------------------------------

// [any-thread] Points are in user space, transformed by the CTM as they are added.
BD_EXPORT void CGContextBeginPath(CGContextRef c);
BD_EXPORT void CGContextMoveToPoint(CGContextRef c, double x, double y);
BD_EXPORT void CGContextAddLineToPoint(CGContextRef c, double x, double y);
BD_EXPORT void CGContextAddCurveToPoint(CGContextRef c, double cp1x, double cp1y, double cp2x,
                                        double cp2y, double x, double y);
BD_EXPORT void CGContextAddQuadCurveToPoint(CGContextRef c, double cpx, double cpy, double x,
                                            double y);
BD_EXPORT void CGContextAddRect(CGContextRef c, CGRect rect);
// [any-thread] A circular arc around (x, y) from startAngle to endAngle (radians); clockwise
// in the sense of the user space's axes (y up: as on screen). A line joins the current point.
BD_EXPORT void CGContextAddArc(CGContextRef c, double x, double y, double radius, double startAngle,
                               double endAngle, int clockwise);
// [any-thread] The PostScript arct construction: a line from the current point to the point
// where a circle of the given radius touches the line towards (x1, y1), then the arc of that
// circle to where it touches the line from (x1, y1) to (x2, y2). Collinear points or a zero
// radius give a line to (x1, y1); without a current point the path moves to (x1, y1). A
// negative radius is used as it is: tangent points and centre lie on the far side of the
// corner (the arc turned half round about it).
BD_EXPORT void CGContextAddArcToPoint(CGContextRef c, double x1, double y1, double x2, double y2,
                                      double radius);
BD_EXPORT void CGContextClosePath(CGContextRef c);
BD_EXPORT bool CGContextIsPathEmpty(CGContextRef c);
// [any-thread] The current point in user space (CGPointZero without one).
BD_EXPORT CGPoint CGContextGetPathCurrentPoint(CGContextRef c);

// --- Clipping (each intersects the current clip) -----------------------------------------------

// [any-thread] Clip to the current path, nonzero winding / even-odd, antialiased unless
// antialiasing is off; the path is consumed.
BD_EXPORT void CGContextClip(CGContextRef c);
BD_EXPORT void CGContextEOClip(CGContextRef c);
BD_EXPORT void CGContextClipToRect(CGContextRef c, CGRect rect);
// [any-thread] Clip to a bitmap stretched over rect, drawn upright as CGContextDrawImage draws
// it. How much paint it lets through: an image mask, 1 − its sample; a bitmap with alpha, its
// alpha; a bitmap without alpha, its grey value (white lets everything through). A null mask
// leaves the clip as it was.
BD_EXPORT void CGContextClipToMask(CGContextRef c, CGRect rect, CGImageRef mask);
// [any-thread] The clip's bounds in user space.
BD_EXPORT CGRect CGContextGetClipBoundingBox(CGContextRef c);

// --- Painting ---------------------------------------------------------------------------------

// [any-thread] Fill the current path (consumed) with the fill colour.
BD_EXPORT void CGContextFillPath(CGContextRef c);
BD_EXPORT void CGContextEOFillPath(CGContextRef c);
BD_EXPORT void CGContextFillRect(CGContextRef c, CGRect rect);
BD_EXPORT void CGContextFillEllipseInRect(CGContextRef c, CGRect rect);
// [any-thread] Makes the rectangle transparent (black in a grey context), inside the clip.
BD_EXPORT void CGContextClearRect(CGContextRef c, CGRect rect);
// [any-thread] Draws the bitmap stretched to fill rect, its top row at the top of rect in a y-up
// user space (upright). An image mask paints the fill colour where it lets paint through.
BD_EXPORT void CGContextDrawImage(CGContextRef c, CGRect rect, CGImageRef image);

namespace bd {
// [any-thread] A cleared context of width × height pixels in premultiplied native ARGB32 whose
// user space starts as base (UIKit's image contexts start y down, scaled). Null for a zero or
// over-large side. Caller owns the result.
BD_EXPORT CGContextRef createImageContext(size_t width, size_t height, CGAffineTransform base);
// [any-thread] CGBitmapContextCreate over data for a caller that wants data cleared first: the
// context takes the bytes as cleared and writes zeros only where its drawing does not reach,
// which saves a pass over the buffer. data must not be null.
BD_EXPORT CGContextRef createClearedBitmapContext(void* data, size_t width, size_t height,
                                                  size_t bitsPerComponent, size_t bytesPerRow,
                                                  CGColorSpaceRef space, uint32_t bitmapInfo);
}  // namespace bd
