#pragma once
// UIScreen: the one screen of the process. The host sets its size and scale before it creates
// views; until then it is kUIScreenDefaultSize at kUIScreenDefaultScale.

#include "CoreGraphics/CGGeometry.h"
#include "Foundation/Export.h"
#include "Foundation/NSObject.h"

// The screen a process has until its host sets one: 320 x 568 points at scale 2.
constexpr CGSize kUIScreenDefaultSize = {320, 568};
constexpr double kUIScreenDefaultScale = 2.0;

class BD_EXPORT UIScreen : public NSObject {
  public:
    // +mainScreen [main-thread] the process-wide screen; never released.
    static UIScreen* mainScreen();

    virtual CGRect bounds() { return _bounds; }  // [main-thread]
    virtual double scale() { return _scale; }    // [main-thread] pixels per point
    // [main-thread] for hosts; a null/empty rectangle or a scale that isn't > 0 is ignored.
    virtual void setBounds(CGRect bounds);
    virtual void setScale(double scale);

  private:
    CGRect _bounds = {{0, 0}, kUIScreenDefaultSize};
    double _scale = kUIScreenDefaultScale;
};
