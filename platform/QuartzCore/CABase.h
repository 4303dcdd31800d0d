#pragma once
// CACurrentMediaTime: seconds of the media clock (Foundation/MediaClock.h), which tests and
// headless rendering replace with a bd::VirtualMediaClock.

#include "Foundation/Export.h"
#include "Foundation/MediaClock.h"

// [any-thread] Seconds of the active media clock.
BD_EXPORT double CACurrentMediaTime();
