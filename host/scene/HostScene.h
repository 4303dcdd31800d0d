#pragma once
// What `backdrop render` and `backdrop run` share: the screen, a host window of the screen's
// size with the wallpaper view in it and a launcher's icon grid above it, and the host's side
// of the contract — the protocol operations and view properties, each call counted — and
// touches delivered through hit testing and the responder chain. Everything here runs on the
// main thread.

#include <cmath>
#include <map>
#include <memory>
#include <string>

#include "CoreGraphics/CGGeometry.h"
#include "Foundation/NSObject.h"
#include "UIKit/UIScreen.h"
#include "UIKit/UIView.h"
#include "interface/DeskTopView.h"

namespace host {

struct ScreenSpec {
    double width = kUIScreenDefaultSize.width, height = kUIScreenDefaultSize.height;  // points
    double scale = kUIScreenDefaultScale;  // pixels per point
    int pixelWidth() const { return int(std::lround(width * scale)); }
    int pixelHeight() const { return int(std::lround(height * scale)); }
};

// [any-thread] "WxH@S" for a screen (the form parseScreen reads).
std::string screenText(const ScreenSpec& screen);
// [any-thread] Parses "WxH@S" or "WxH" (scale 2): sides of 1 to 4096 points, a scale of 0.25 to
// 8, at most 8192 pixels on a side. False with a message otherwise.
bool parseScreen(const std::string& text, ScreenSpec* out, std::string* error);

class HostScene {
  public:
    // [main-thread] Sets the main screen, loads the bundle with the loader and places the view
    // in a window of the screen's size, with the icon grid above it unless icons is false.
    // Null with a message when the bundle gives no view.
    static std::unique_ptr<HostScene> load(const std::string& bundlePath, const ScreenSpec& screen,
                                           bool icons, std::string* error);
    ~HostScene();

    // [main-thread]
    UIView* window() { return _window.get(); }
    DeskTopView* view() { return _view.get(); }
    const ScreenSpec& screen() const { return _screen; }

    // The protocol operations and properties [main-thread], counted by name.
    bool isAnimating();
    void startAnimating();
    void pauseAnimating();
    void resumeAnimating();
    void stopAnimating();
    void doAnimating();
    void scrollingDidFinish(double offset);
    void openSettingMenu();
    void setScale(double scale);
    void setOffset(double offset);
    void setSpeedLevel(int64_t speedLevel);
    void setTapClipRect(CGRect tapClipRect);
    // A tap at a point of the screen: a touch that begins and ends there, then
    // tapActionAtViewPoint: with the point in the view's coordinates when it lies in the view's
    // tap area.
    void tap(CGPoint screenPoint);
    // gestureAction:atPoint: with the point in the view's coordinates.
    void gesture(int32_t type, CGPoint screenPoint);

    // [main-thread] A monitor's mode changed: the main screen and the window take the new size
    // and scale (the view follows its autoresizing mask) and the icon grid is laid out again.
    void setScreen(const ScreenSpec& screen);

    // A touch of the screen [main-thread], hit-tested in the window and sent up the responder
    // chain. Returns whether it reached a view.
    bool touchBegan(CGPoint screenPoint);
    void touchMoved(CGPoint screenPoint);
    void touchEnded(CGPoint screenPoint);
    void touchCancelled();
    // The class of the view the last touch began on ("" when none).
    const std::string& lastTouchedClass() const { return _lastTouchedClass; }

    // "startAnimating 1, tapActionAtViewPoint 2" in the order first made; "none" when empty.
    std::string callSummary() const;
    int callCount(const std::string& name) const;

  private:
    HostScene() = default;
    void count(const char* name);
    CGPoint toView(CGPoint screenPoint);

    ScreenSpec _screen;
    DeskTopViewDelegate _delegate;  // the launcher's side; the view stores it and never calls it
    Ref<UIView> _window;
    Ref<DeskTopView> _view;
    Ref<UIView> _icons;
    std::map<std::string, int> _calls;
    std::vector<std::string> _callOrder;
    std::string _lastTouchedClass;
    struct Touches;
    std::unique_ptr<Touches> _touches;
};

// [main-thread] The icon grid: 4 columns and 6 rows of IconViewNode placeholders, each with a
// picture and a name drawn in code, laid out over a screen as a launcher's home screen. The
// view lets touches through to the wallpaper below.
UIView* makeIconGrid(const ScreenSpec& screen);  // autoreleased

// [main-thread] Lets go of cairo's and fontconfig's process-wide font data, once no cairo object
// is left (so that a leak checker sees a clean exit).
void releaseTextCaches();

}  // namespace host
