#pragma once
// CACurrentMediaTime: seconds of the media clock (Foundation/MediaClock.h), which tests and
// headless rendering replace with a bd::VirtualMediaClock.

#include "Foundation/MediaClock.h"

// [any-thread] Seconds of the active media clock.
double CACurrentMediaTime();
