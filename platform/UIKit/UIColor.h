#pragma once
// UIColor: an immutable RGBA colour (straight alpha, components 0...1).

#include "Foundation/Export.h"
#include "Foundation/NSObject.h"
#include "QuartzCore/CALayer.h"

class BD_EXPORT UIColor : public NSObject {
  public:
    // [any-thread] autoreleased
    static UIColor* clearColor();  // 0,0,0,0
    static UIColor* whiteColor();  // white 1
    static UIColor* grayColor();   // white 0.5
    static UIColor* blackColor();  // white 0
    static UIColor* redColor();    // 1,0,0
    // +colorWithRed:green:blue:alpha: [any-thread] components are clamped to 0...1 (NaN -> 0)
    static UIColor* colorWithRed(double red, double green, double blue, double alpha);
    // +colorWithWhite:alpha: [any-thread]
    static UIColor* colorWithWhite(double white, double alpha);

    // -initWithRed:green:blue:alpha: [any-thread]
    [[nodiscard]] virtual UIColor* initWithRed(double red, double green, double blue, double alpha);
    // -getRed:green:blue:alpha: [any-thread] any out pointer may be null; always true.
    virtual bool getRed(double* red, double* green, double* blue, double* alpha);
    // -colorWithAlphaComponent: [any-thread] autoreleased
    virtual UIColor* colorWithAlphaComponent(double alpha);
    // -set [any-thread] Makes the colour the fill and stroke colour of the current context
    // (UIGraphicsGetCurrentContext); nothing without one.
    virtual void set();
    // -setFill, -setStroke [any-thread] The same for the fill or the stroke colour alone.
    virtual void setFill();
    virtual void setStroke();
    // [any-thread] the components as the layer tree stores them
    virtual CALayerColor layerColor() { return _rgba; }

    bool isEqual(NSObject* other) override;
    size_t hash() override;

  private:
    CALayerColor _rgba;
};
