#pragma once
// The process-wide store of a wallpaper's pictures, bound to one resource bundle. Pictures are
// served by file name relative to the bundle's resource directory, loaded on first use and kept
// until the cache is emptied (clearMemorryCache, releaseInstance) or bound again. Main thread only.
//
// Scale. Only imageWithName2x: treats a file as drawn at the screen's density (a 640 x 1136
// file is 320 x 568 points on a @2x screen). Pictures from a resource package (setResourceData:)
// come out exactly as decoded, at scale 1, on every screen: a 640 x 1136 picture in a package is
// 640 x 1136 points, twice the size of a @2x screen. Draw package art at its size in points, or
// ship @2x art as plain files and load it with imageWithName2x:. `backdrop check` warns of
// package pictures that look like @2x art.
//
// What is not found gives null (or an empty cache) and logs nothing; a tool that wants to know
// installs a bd::setResourceNoteHandler (Foundation/ResourceNotes.h), as `backdrop check` does.

#include "Foundation/Export.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"

class BD_EXPORT ImageCache : public NSObject {
  public:
    // +sharedInstance [main-thread]: created on first use, never destroyed by the system.
    static ImageCache* sharedInstance();
    // +releaseInstance [main-thread]: empties the shared instance's cache; instance and bundle
    // stay.
    static void releaseInstance();

    // -init [main-thread]: no bundle, empty cache.
    [[nodiscard]] ImageCache* init() override;

    // -setResBundle: [main-thread] binds the bundle (or null) and always empties the cache.
    virtual void setResBundle(NSBundle* resBundle);
    // -resBundle [main-thread]
    virtual NSBundle* resBundle();

    // -setResourceData: [main-thread] replaces the content with the pictures of a resource package
    // (a file name relative to the resource directory); records that decode to no picture are
    // skipped. The pictures keep scale 1 whatever the screen (see above).
    virtual void setResourceData(NSString* fileName);
    // -imageWithName: [main-thread] the picture, loaded from the resource directory on a miss, or
    // null.
    virtual UIImage* imageWithName(NSString* name);
    // -imageWithName2x: [main-thread] as imageWithName:, a newly loaded file taken at the main
    // screen's scale.
    virtual UIImage* imageWithName2x(NSString* name);
    // -clearMemorryCache [main-thread] removes every picture; the bundle stays bound.
    virtual void clearMemorryCache();

    // Number of pictures held (for hosts and tests).
    size_t count() { return _imageDic ? _imageDic->count() : 0; }

  protected:
    void dealloc() override;

  private:
    NSString* resourcePathFor(NSString* name);
    UIImage* load(NSString* name, bool atScreenScale);

    Ref<NSMutableDictionary> _imageDic;
    Ref<NSBundle> _resBundle;
};
