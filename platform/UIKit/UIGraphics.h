#pragma once
// UIKit's image drawing contexts: a per-thread stack of drawing surfaces whose user space
// starts with the origin at the top-left corner, y down, in points. Each thread has its own
// stack; a context is used by the thread that began it.

#include "CoreGraphics/CGContext.h"
#include "CoreGraphics/CGGeometry.h"
#include "Foundation/Export.h"

class UIImage;

// [any-thread] Begins a bitmap surface of size points at scale 1, not opaque, cleared to
// transparent, and makes it current. The pixel size is the size rounded up to whole pixels.
// A size that is not positive and finite, or too large, gives no surface: an empty entry is
// pushed all the same (the current context is then null), so every Begin pairs with one End.
BD_EXPORT void UIGraphicsBeginImageContext(CGSize size);
// [any-thread] The same at the given scale (0: the main screen's). opaque is accepted for
// compatibility; the surface always keeps alpha.
BD_EXPORT void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, double scale);
// [any-thread] The context on top of this thread's stack, or null.
BD_EXPORT CGContextRef UIGraphicsGetCurrentContext();
// [any-thread] A new picture of the current image context's content (at its scale, upright),
// autoreleased; null when the current entry is no image context.
BD_EXPORT UIImage* UIGraphicsGetImageFromCurrentImageContext();
// [any-thread] Removes the top entry (begun by UIGraphicsBeginImageContext…) and releases its
// context. Does nothing when the stack is empty.
BD_EXPORT void UIGraphicsEndImageContext();
// [any-thread] Makes any context current (pushes it, retained) / removes it again.
BD_EXPORT void UIGraphicsPushContext(CGContextRef context);
BD_EXPORT void UIGraphicsPopContext();
