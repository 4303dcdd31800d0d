#include "HostScene.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <typeinfo>

#include "Foundation/NSBundle.h"
#include "Foundation/NSString.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIScreen.h"
#include "UIKit/UITouch.h"

namespace host {

std::string screenText(const ScreenSpec& screen) {
    char text[64];
    std::snprintf(text, sizeof text, "%gx%g@%g", screen.width, screen.height, screen.scale);
    return text;
}

bool parseScreen(const std::string& text, ScreenSpec* out, std::string* error) {
    auto bad = [&](const std::string& why) {
        *error = "bad --screen \"" + text + "\": " + why;
        return false;
    };
    size_t x = text.find('x');
    const std::string expected = "expected WxH@S, e.g. " + screenText(ScreenSpec{});
    if (x == std::string::npos) return bad(expected);
    size_t at = text.find('@', x);
    std::string ws = text.substr(0, x);
    std::string hs = text.substr(x + 1, at == std::string::npos ? std::string::npos : at - x - 1);
    std::string ss = at == std::string::npos ? "2" : text.substr(at + 1);
    auto number = [](const std::string& s, double* v) {
        if (s.empty() || s.find_first_not_of("0123456789.") != std::string::npos) return false;
        char* end = nullptr;
        *v = std::strtod(s.c_str(), &end);
        return end && *end == '\0' && std::isfinite(*v);
    };
    ScreenSpec s;
    if (!number(ws, &s.width) || !number(hs, &s.height) || !number(ss, &s.scale))
        return bad(expected);
    if (s.width < 1 || s.height < 1 || s.width > 4096 || s.height > 4096)
        return bad("sides must be 1 to 4096 points");
    if (s.scale < 0.25 || s.scale > 8) return bad("the scale must be 0.25 to 8");
    if (s.width * s.scale > 8192 || s.height * s.scale > 8192 || s.pixelWidth() < 1 ||
        s.pixelHeight() < 1)
        return bad("at most 8192 pixels on a side");
    *out = s;
    return true;
}

struct HostScene::Touches {
    bd::TouchDispatcher dispatcher;
    bool active = false;
};

std::unique_ptr<HostScene> HostScene::load(const std::string& bundlePath, const ScreenSpec& screen,
                                           bool icons, std::string* error) {
    UIScreen* main = UIScreen::mainScreen();
    main->setBounds(CGRectMake(0, 0, screen.width, screen.height));
    main->setScale(screen.scale);

    NSBundle* bundle = NSBundle::bundleWithPath(NSString::stringWithUTF8String(bundlePath.c_str()));
    DeskTopView* view = bundle ? DeskTopView::createDeskTopViewFromBundle(bundle) : nullptr;
    if (!view) {
        std::string why = bundle ? bd::loaderStopReason() : "not a bundle directory";
        *error = "no wallpaper view from " + bundlePath + ": " +
                 (why.empty() ? std::string("the loader gave none") : why);
        return nullptr;
    }
    std::unique_ptr<HostScene> s(new HostScene());
    s->_screen = screen;
    s->_touches = std::make_unique<Touches>();
    s->_view = retained(view);
    view->setDestTopViewDelegate(&s->_delegate);
    s->_window =
        adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 0, screen.width, screen.height)));
    s->_window->setBackgroundColor(UIColor::blackColor());
    s->_window->addSubview(view);
    if (icons) {
        s->_icons = retained(makeIconGrid(screen));
        s->_window->addSubview(s->_icons.get());
    }
    return s;
}

HostScene::~HostScene() {
    // A launcher takes the wallpaper away before it lets it go (which stops it).
    if (_view) {
        _view->removeFromSuperview();
        _view->setDestTopViewDelegate(nullptr);
    }
    _icons = nullptr;
    _window = nullptr;
    _view = nullptr;
}

void HostScene::count(const char* name) {
    if (_calls[name]++ == 0) _callOrder.push_back(name);
}

std::string HostScene::callSummary() const {
    std::string out;
    for (const std::string& name : _callOrder) {
        if (!out.empty()) out += ", ";
        out += name + " " + std::to_string(_calls.at(name));
    }
    return out.empty() ? "none" : out;
}

int HostScene::callCount(const std::string& name) const {
    auto it = _calls.find(name);
    return it == _calls.end() ? 0 : it->second;
}

CGPoint HostScene::toView(CGPoint screenPoint) {
    return _view->convertPointFromView(screenPoint, _window.get());
}

bool HostScene::isAnimating() {
    count("isAnimating");
    return _view->isAnimating();
}
void HostScene::startAnimating() {
    count("startAnimating");
    _view->startAnimating();
}
void HostScene::pauseAnimating() {
    count("pauseAnimating");
    _view->pauseAnimating();
}
void HostScene::resumeAnimating() {
    count("resumeAnimating");
    _view->resumeAnimating();
}
void HostScene::stopAnimating() {
    count("stopAnimating");
    _view->stopAnimating();
}
void HostScene::doAnimating() {
    count("doAnimating");
    _view->doAnimating();
}
void HostScene::scrollingDidFinish(double offset) {
    count("scrollingDidFinish");
    _view->scrollingDidFinish(offset);
}
void HostScene::openSettingMenu() {
    count("openSettingMenu");
    _view->openSettingMenu();
}
void HostScene::setScale(double scale) {
    count("setScale");
    _view->setScale(scale);
}
void HostScene::setOffset(double offset) {
    count("setOffset");
    _view->setOffset(offset);
}

void HostScene::setSpeedLevel(int64_t speedLevel) {
    count("setSpeedLevel");
    _view->setSpeedLevel(speedLevel);
}
void HostScene::setTapClipRect(CGRect tapClipRect) {
    count("setTapClipRect");
    _view->setTapClipRect(tapClipRect);
}

void HostScene::setScreen(const ScreenSpec& screen) {
    touchCancelled();
    _screen = screen;
    UIScreen* main = UIScreen::mainScreen();
    main->setBounds(CGRectMake(0, 0, screen.width, screen.height));
    main->setScale(screen.scale);
    _window->setFrame(CGRectMake(0, 0, screen.width, screen.height));
    if (_icons) {
        _icons->removeFromSuperview();
        _icons = retained(makeIconGrid(screen));
        _window->addSubview(_icons.get());
    }
}

void HostScene::tap(CGPoint screenPoint) {
    touchBegan(screenPoint);
    touchEnded(screenPoint);
    CGPoint p = toView(screenPoint);
    if (CGRectContainsPoint(_view->tapClipRect(), p)) {
        count("tapActionAtViewPoint");
        _view->tapActionAtViewPoint(p);
    }
}

void HostScene::gesture(int32_t type, CGPoint screenPoint) {
    count("gestureAction");
    _view->gestureAction(type, toView(screenPoint));
}

bool HostScene::touchBegan(CGPoint screenPoint) {
    if (_touches->active) touchCancelled();
    UIView* hit = _touches->dispatcher.began(_window.get(), screenPoint);
    _touches->active = hit != nullptr;
    _lastTouchedClass = bd::className(hit);
    return hit != nullptr;
}

void HostScene::touchMoved(CGPoint screenPoint) {
    if (!_touches->active) return;
    _touches->dispatcher.moved(screenPoint);
}

void HostScene::touchEnded(CGPoint screenPoint) {
    if (!_touches->active) return;
    _touches->active = false;
    _touches->dispatcher.ended(screenPoint);
}

void HostScene::touchCancelled() {
    if (!_touches->active) return;
    _touches->active = false;
    _touches->dispatcher.cancelled();
}

}  // namespace host
