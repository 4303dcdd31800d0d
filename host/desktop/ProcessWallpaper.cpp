// The real Wallpaper: a sandboxed wallpaper process (host/wallpaper/WallpaperProcess.h).

#include "ProcessWallpaper.h"

#include "host/wallpaper/WallpaperProcess.h"

namespace host::desktop {

namespace {

class ProcessWallpaper : public Wallpaper {
  public:
    explicit ProcessWallpaper(std::unique_ptr<WallpaperProcess> p) : _p(std::move(p)) {}

    pid_t pid() const override { return _p->pid(); }
    int fd() const override { return _p->fd(); }
    int timeoutMs() const override { return _p->timeoutMs(); }
    std::vector<WallpaperSignal> handle() override {
        std::vector<WallpaperSignal> out;
        for (WallpaperEvent& e : _p->handle()) {
            WallpaperSignal s;
            switch (e.kind) {
                case WallpaperEvent::Kind::FrameReady:
                    s.kind = WallpaperSignal::Kind::Frame;
                    s.buffer = e.buffer;
                    for (const WallpaperRect& r : e.damage)
                        s.damage.push_back({r.x, r.y, r.width, r.height});
                    s.nextChange = e.nextChange;
                    break;
                case WallpaperEvent::Kind::Changed:
                    s.kind = WallpaperSignal::Kind::Changed;
                    break;
                case WallpaperEvent::Kind::Reply:
                    if (e.request != _render || e.value) continue;
                    s.kind = WallpaperSignal::Kind::NoFrame;  // "no free buffer"
                    break;
                case WallpaperEvent::Kind::Log:
                case WallpaperEvent::Kind::Denied:
                    s.kind = WallpaperSignal::Kind::Log;
                    break;
                case WallpaperEvent::Kind::Busy:
                    s.kind = WallpaperSignal::Kind::Busy;
                    break;
                case WallpaperEvent::Kind::Ended:
                    s.kind = WallpaperSignal::Kind::Ended;
                    break;
            }
            s.text = e.text;
            out.push_back(std::move(s));
        }
        return out;
    }
    int bufferCount() const override { return _p->bufferCount(); }
    int bufferFd(int k) const override { return _p->bufferFd(k); }
    const uint8_t* bufferPixels(int k) const override { return _p->bufferPixels(k); }
    int width() const override { return _p->width(); }
    int height() const override { return _p->height(); }
    size_t stride() const override { return _p->stride(); }
    void renderFrame() override { _render = _p->renderFrame(); }
    void releaseBuffer(int k) override { _p->releaseBuffer(k); }
    void send(Op op, CGPoint point, int64_t integer) override {
        WallpaperRequest r;
        switch (op) {
            case Op::startAnimating:
                r.op = WallpaperRequest::Op::startAnimating;
                break;
            case Op::pauseAnimating:
                r.op = WallpaperRequest::Op::pauseAnimating;
                break;
            case Op::resumeAnimating:
                r.op = WallpaperRequest::Op::resumeAnimating;
                break;
            case Op::stopAnimating:
                r.op = WallpaperRequest::Op::stopAnimating;
                break;
            case Op::openSettingMenu:
                r.op = WallpaperRequest::Op::openSettingMenu;
                break;
            case Op::tapActionAtViewPoint:
                r.op = WallpaperRequest::Op::tapActionAtViewPoint;
                break;
            case Op::gestureAction:
                r.op = WallpaperRequest::Op::gestureAction;
                break;
        }
        r.point = point;
        r.integer = integer;
        _p->send(r);
    }
    bool changeScreen(const ScreenSpec& screen, std::string* error) override {
        return _p->changeScreen(screen, error);
    }
    bool freeze() override { return _p->freeze(); }
    double cpuSeconds() const override { return _p->counters().cpuSeconds; }
    uint64_t rssBytes() const override { return _p->counters().rssBytes; }
    std::string sandboxLevel() const override { return _p->sandboxLevel(); }

  private:
    std::unique_ptr<WallpaperProcess> _p;
    uint64_t _render = 0;
};

}  // namespace

WallpaperFactory processWallpaperFactory(const ProcessWallpaperOptions& options) {
    return [options](const std::string& bundle, const ScreenSpec& screen,
                     std::string* error) -> std::unique_ptr<Wallpaper> {
        WallpaperOptions o;
        o.bundlePath = bundle;
        o.screen = screen;
        o.icons = false;
        o.sandbox = options.sandbox;
        o.bufferCount = 2;
        o.executable = options.executable;
        o.discardOutput = options.discardOutput;
        auto p = WallpaperProcess::spawn(o, error);
        if (!p) return nullptr;
        return std::make_unique<ProcessWallpaper>(std::move(p));
    };
}

}  // namespace host::desktop
