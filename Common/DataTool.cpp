#include "Common/DataTool.h"

#include "Foundation/NSBundle.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSError.h"
#include "Foundation/NSFileManager.h"
#include "Foundation/NSLog.h"

NSArray* DataTool::findDeskTopsBundlePathWithDirectory(NSString* directory) {
    NSError* error = nullptr;
    NSArray* names = NSFileManager::defaultManager()->contentsOfDirectoryAtPath(directory, &error);
    if (error || !names) {
        NSLog("error: %@", error ? error->description() : nullptr);
        return nullptr;
    }
    NSMutableArray* paths = NSMutableArray::arrayWithCapacity(names->count());
    NSString* suffix = NSSTR("bundle");
    for (NSObject* o : *names) {
        auto* name = as<NSString>(o);
        if (name && name->hasSuffix(suffix))
            paths->addObject(NSString::stringWithFormat("%@/%@", directory, name));
    }
    return paths;
}

NSObject* DataTool::readDeskTopDescriptionWithKey(NSString* key, NSString* fromBundleFile) {
    NSBundle* bundle = NSBundle::bundleWithPath(fromBundleFile);
    if (!bundle) return nullptr;
    NSString* path = bundle->pathForResource(NSSTR("description"), NSSTR("plist"));
    NSDictionary* description = NSDictionary::dictionaryWithContentsOfFile(path);
    return description && key ? description->objectForKey(key) : nullptr;
}

UIImage* DataTool::readDeskTopThumbnailImageFromBundleFile(NSString* bundleFile) {
    NSBundle* bundle = NSBundle::bundleWithPath(bundleFile);
    if (!bundle) return nullptr;
    return UIImage::imageWithContentsOfFile(
        bundle->pathForResource(NSSTR("thumbnail"), NSSTR("png")));
}
