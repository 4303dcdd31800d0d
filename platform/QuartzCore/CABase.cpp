#include "QuartzCore/CABase.h"

double CACurrentMediaTime() {
    return bd::mediaTime();
}
