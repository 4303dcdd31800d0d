#pragma once
// DataTool: the bundle catalogue. Finds the wallpaper bundles of a directory and reads a value
// of a bundle's "description.plist" or its "thumbnail.png" without loading its library. Keeps no
// state: every call reads the file system afresh and returns autoreleased objects.

#include "Foundation/Export.h"
#include "Foundation/NSArray.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"

class BD_EXPORT DataTool : public NSObject {
  public:
    // +findDeskTopsBundlePathWithDirectory: [any-thread] the paths ("%@/%@": directory, "/",
    // name) of the directory's entries whose names end in "bundle", in listing order; empty
    // when there are none; null, after the log line "error: %@", when the directory can't be
    // listed.
    static NSArray* findDeskTopsBundlePathWithDirectory(NSString* directory);
    // +readDeskTopDescriptionWithKey:fromBundleFile: [any-thread] the value under key in the
    // bundle's "description.plist", of whatever type it has; null when there is none.
    static NSObject* readDeskTopDescriptionWithKey(NSString* key, NSString* fromBundleFile);
    // +readDeskTopThumbnailImageFromBundleFile: [any-thread] the bundle's "thumbnail.png", or
    // null.
    static UIImage* readDeskTopThumbnailImageFromBundleFile(NSString* bundleFile);
};
