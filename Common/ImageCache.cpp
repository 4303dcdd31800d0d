#include "Common/ImageCache.h"

#include "Common/NSData+DataEncrypt.h"
#include "Foundation/NSLog.h"
#include "Foundation/ResourceNotes.h"
#include "UIKit/UIScreen.h"

namespace {
// The shared instance; null until the first sharedInstance.
ImageCache* imageCacheInstance = nullptr;
}  // namespace

ImageCache* ImageCache::sharedInstance() {
    BD_ASSERT_MAIN_THREAD();
    if (!imageCacheInstance) imageCacheInstance = alloc<ImageCache>()->init();
    return imageCacheInstance;
}

void ImageCache::releaseInstance() {
    BD_ASSERT_MAIN_THREAD();
    if (imageCacheInstance) imageCacheInstance->clearMemorryCache();
}

ImageCache* ImageCache::init() {
    if (!NSObject::init()) return nullptr;
    _imageDic = adopt(alloc<NSMutableDictionary>()->initWithCapacity(20));
    setResBundle(nullptr);
    return this;
}

void ImageCache::setResBundle(NSBundle* resBundle) {
    BD_ASSERT_MAIN_THREAD();
    // Ref assignment retains the new bundle before it releases the old one, so binding the
    // bundle that is already bound never drops its last reference.
    _resBundle = retained(resBundle);
    _imageDic->removeAllObjects();
}

NSBundle* ImageCache::resBundle() {
    return _resBundle.get();
}

NSString* ImageCache::resourcePathFor(NSString* name) {
    if (!_resBundle) setResBundle(NSBundle::mainBundle());
    NSString* dir = _resBundle ? _resBundle->resourcePath() : nullptr;
    return NSString::stringWithFormat("%@/%@", dir, name);
}

void ImageCache::setResourceData(NSString* fileName) {
    BD_ASSERT_MAIN_THREAD();
    if (!_resBundle) setResBundle(NSBundle::mainBundle());
    _imageDic->removeAllObjects();
    NSString* path = resourcePathFor(fileName);
    std::string damage;
    NSMutableDictionary* package = DataEncrypt::readDatasFromFilePath(path, &damage);
    NSArray* values = package->allValues();
    NSArray* keys = package->allKeys();
    const bool noting = bd::resourceNotesWanted();
    auto note = [&](const std::string& p, const std::string& detail) {
        bd::noteResource({"setResourceData:", p, detail});
    };
    if (noting && !damage.empty())
        note(path->str(), damage == "unreadable" ? bd::missingFileDetail(path->str(), "unreadable")
                                                 : "a damaged package (" + damage + ")");
    else if (noting && values->count() == 0)
        note(path->str(), "a package of no records");
    for (size_t i = 0; i < values->count(); ++i) {
        NSData* plain = DataEncrypt::dataWithEncryptionData(as<NSData>(values->objectAtIndex(i)));
        UIImage* image = UIImage::imageWithData(plain);
        if (image)
            _imageDic->setObject(image, keys->objectAtIndex(i));
        else if (noting)
            note(path->str() + " record \"" + keys->objectAtIndex(i)->description()->str() + "\"",
                 "not a picture");
    }
}

UIImage* ImageCache::load(NSString* name, bool atScreenScale) {
    BD_ASSERT_MAIN_THREAD();
    if (UIImage* cached = as<UIImage>(_imageDic->objectForKey(name))) return cached;
    UIImage* image = UIImage::imageWithContentsOfFile(resourcePathFor(name));
    UIScreen* screen = UIScreen::mainScreen();
    if (image && atScreenScale && screen->respondsToSelector(BD_SEL(UIScreen, scale))) {
        image =
            UIImage::imageWithCGImage(image->CGImage(), screen->scale(), image->imageOrientation());
    }
    if (image)
        _imageDic->setObject(image, name);
    else if (bd::resourceNotesWanted()) {
        NSString* path = resourcePathFor(name);
        std::string p = path ? path->str() : "";
        bd::noteResource({atScreenScale ? "imageWithName2x:" : "imageWithName:", p,
                          bd::missingFileDetail(p, "not a picture")});
    }
    return image;
}

UIImage* ImageCache::imageWithName(NSString* name) {
    return load(name, false);
}

UIImage* ImageCache::imageWithName2x(NSString* name) {
    return load(name, true);
}

void ImageCache::clearMemorryCache() {
    BD_ASSERT_MAIN_THREAD();
    _imageDic->removeAllObjects();
}

void ImageCache::dealloc() {
    NSLog("=======ImageCache dealloc");
    _imageDic->removeAllObjects();
    setResBundle(nullptr);
    _imageDic = nullptr;
    NSObject::dealloc();
}
