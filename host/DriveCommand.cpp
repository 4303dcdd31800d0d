// `backdrop drive`: creates a wallpaper view headless and drives it through the host's
// operations on the main run loop, printing what each operation does.

#include <atomic>
#include <cstdio>

#include "Commands.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "QuartzCore/CABase.h"
#include "UIKit/UIScreen.h"
#include "interface/DeskTopView.h"
#include "interface/DeskTopViewEntryPoints.h"

namespace {

// A wallpaper that counts its frames and reports its hooks.
class DriveView : public DeskTopView {
  public:
    std::atomic<int> frames{0};
    std::atomic<bool> resourcesLoaded{false};

    void initResource() override { resourcesLoaded = true; }
    void doAnimating() override { ++frames; }
    void tapActionAtViewPoint(CGPoint point) override {
        std::printf("  tapActionAtViewPoint: (%g, %g) reached the view\n", point.x, point.y);
    }
    void gestureAction(int32_t type, CGPoint atPoint) override {
        std::printf("  gestureAction: %d at (%g, %g) reached the view\n", type, atPoint.x,
                    atPoint.y);
    }
};

void printRect(const char* what, CGRect r) {
    std::printf("  %-12s (%g, %g, %g, %g)\n", what, r.origin.x, r.origin.y, r.size.width,
                r.size.height);
}

int drive(double seconds) {
    NSAutoreleasePool pool;
    NSRunLoop* loop = NSRunLoop::mainRunLoop();
    UIScreen* screen = UIScreen::mainScreen();
    CGRect screenBounds = screen->bounds();
    std::printf("screen: %g x %g points at scale %g\n", screenBounds.size.width,
                screenBounds.size.height, screen->scale());

    Ref<DriveView> view = adopt(static_cast<DriveView*>(alloc<DriveView>()->initWithFrame(
        CGRectMake(0, 0, kDeskTopViewWidth, screenBounds.size.height))));
    if (!view) {
        std::fprintf(stderr, "backdrop: the wallpaper view could not be created\n");
        return host::kExitFailure;
    }
    std::printf("created a wallpaper view:\n");
    printRect("frame", view->frame());
    printRect("tapClipRect", view->tapClipRect());
    std::printf("  scale %g, offset %g, speedLevel %lld, animating %s\n", view->scale(),
                view->offset(), static_cast<long long>(view->speedLevel()),
                view->isAnimating() ? "yes" : "no");

    loop->runUntil([&] { return view->resourcesLoaded.load(); }, 2.0);
    std::printf("delayed loading: initResource %s\n",
                view->resourcesLoaded ? "ran on the resource thread" : "did not run");

    double t0 = CACurrentMediaTime();
    view->startAnimating();
    loop->runForInterval(seconds);
    view->pauseAnimating();
    double elapsed = CACurrentMediaTime() - t0;
    int ran = view->frames.load();
    std::printf(
        "startAnimating, %.2f s on the main run loop, pauseAnimating: %d frames (%.1f fps)\n",
        elapsed, ran, ran / elapsed);

    loop->runForInterval(0.2);
    int afterPause = view->frames.load() - ran;
    std::printf("paused for 0.2 s: %d more frame%s (at most one may still arrive)\n", afterPause,
                afterPause == 1 ? "" : "s");

    view->resumeAnimating();
    loop->runForInterval(0.25);
    view->stopAnimating();
    std::printf("resumeAnimating for 0.25 s, stopAnimating: %d frames in all, animating %s\n",
                view->frames.load(), view->isAnimating() ? "yes" : "no");

    view->setScale(2.0);
    std::printf("setScale 2:\n");
    printRect("frame", view->frame());
    printRect("bounds", view->bounds());
    view->setScale(1.0);
    view->tapActionAtViewPoint(CGPointMake(100, 200));
    view->gestureAction(2, CGPointMake(160, 240));
    view->scrollingDidFinish(0.5);
    view->openSettingMenu();

    std::printf("releasing the view:\n");
    std::fflush(stdout);
    view = nullptr;
    loop->runForInterval(0.05);
    return 0;
}

}  // namespace

namespace host {

void addDriveCommand(CLI::App& app, int& exitCode) {
    auto* cmd = app.add_subcommand(
        "drive", "Create a wallpaper view headless and drive it through the host's operations");
    static double seconds = 1.0;
    cmd->add_option("--seconds", seconds, "How long to run the frame loop")
        ->check(CLI::Range(0.0, 60.0));
    cmd->callback([&exitCode] { exitCode = drive(seconds); });
}

}  // namespace host
