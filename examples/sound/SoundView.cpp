// Sound: sounds of the bundle through the platform's system-sound service. Each WAV file is
// registered once (AudioServicesCreateSystemSoundID), played by its identifier as often as
// wanted (sounds mix), and disposed of in teardown. SoundPlay would play only its one fixed
// file. In the sandboxed wallpaper process, and without a sound device, sounds play silently.

#include <backdrop/Common/ImageCache.h>
#include <backdrop/interface/DeskTopViewEntryPoints.h>
#include <backdrop/platform/AudioToolbox/AudioServices.h>
#include <backdrop/platform/Foundation/NSURL.h>

namespace {

class SoundView : public DeskTopView {
  public:
    static NSString* name() { return NSSTR(BACKDROP_WALLPAPER_NAME); }
    static NSString* version() { return NSSTR(BACKDROP_WALLPAPER_VERSION); }

    SoundView* initWithFrame(CGRect frame) override {
        if (!DeskTopView::initWithFrame(frame)) return nullptr;
        ImageCache* cache = ImageCache::sharedInstance();
        setBackgroundImage(cache->imageWithName2x(NSSTR("bg.png")));
        _bell = load(NSSTR("bell.wav"));
        _drum = load(NSSTR("drum.wav"));
        return this;
    }

    // [main-thread] A tap: the bell. A gesture: the drum.
    void tapActionAtViewPoint(CGPoint) override {
        if (_bell) AudioServicesPlaySystemSound(_bell);
    }
    void gestureAction(int32_t, CGPoint) override {
        if (_drum) AudioServicesPlaySystemSound(_drum);
    }

  protected:
    void dealloc() override {
        if (_bell) AudioServicesDisposeSystemSoundID(_bell);
        if (_drum) AudioServicesDisposeSystemSoundID(_drum);
        DeskTopView::dealloc();
    }

  private:
    // A file of the bundle registered as a system sound; 0 when it could not be (`backdrop
    // check` names such a file).
    static SystemSoundID load(NSString* file) {
        NSString* path = NSString::stringWithFormat(
            "%@/%@", ImageCache::sharedInstance()->resBundle()->resourcePath(), file);
        SystemSoundID id = 0;
        if (AudioServicesCreateSystemSoundID(NSURL::fileURLWithPath(path), &id) !=
            kAudioServicesNoError)
            return 0;
        return id;
    }

    SystemSoundID _bell = 0, _drum = 0;
};

}  // namespace

BACKDROP_WALLPAPER(SoundView)
