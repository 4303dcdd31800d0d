// A wallpaper that asks for what its bundle may not give: a resource package, a picture name
// and a sound, each named by the bundle's description (keys "package", "picture", "sound"), as
// an author with a typo in a name would. It still shows a view.

#include "AudioToolbox/AudioServices.h"
#include "Common/ImageCache.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSURL.h"
#include "UIKit/UIScreen.h"
#include "interface/DeskTopViewEntryPoints.h"

namespace {

NSString* described(NSBundle* bundle, const char* key) {
    NSDictionary* d = NSDictionary::dictionaryWithContentsOfFile(
        bundle->pathForResource(NSSTR("description"), NSSTR("plist")));
    return d ? as<NSString>(d->objectForKey(NSString::stringWithUTF8String(key))) : nullptr;
}

class AsksView : public DeskTopView {
  public:
    static NSString* name() { return NSSTR("asks"); }
    static NSString* version() { return NSSTR("1"); }

    AsksView* initWithFrame(CGRect frame) override {
        if (!DeskTopView::initWithFrame(frame)) return nullptr;
        ask(ImageCache::sharedInstance()->resBundle());
        return this;
    }
    void ask(NSBundle* bundle) {
        ImageCache* cache = ImageCache::sharedInstance();
        if (NSString* package = described(bundle, "package")) cache->setResourceData(package);
        if (NSString* picture = described(bundle, "picture"))
            setBackgroundImage(cache->imageWithName2x(picture));
        if (NSString* sound = described(bundle, "sound")) {
            NSString* path = NSString::stringWithFormat("%@/%@", bundle->resourcePath(), sound);
            AudioServicesCreateSystemSoundID(NSURL::fileURLWithPath(path), &_sound);
        }
    }

  protected:
    void dealloc() override {
        if (_sound) AudioServicesDisposeSystemSoundID(_sound);
        DeskTopView::dealloc();
    }

  private:
    SystemSoundID _sound = 0;
};

}  // namespace

BACKDROP_WALLPAPER(AsksView)
