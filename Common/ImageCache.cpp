#include "Common/ImageCache.h"

#include "Common/NSData+DataEncrypt.h"
#include "Foundation/NSLog.h"
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
    NSMutableDictionary* package = DataEncrypt::readDatasFromFilePath(path);
    NSArray* values = package->allValues();
    NSArray* keys = package->allKeys();
    for (size_t i = 0; i < values->count(); ++i) {
        NSData* plain = DataEncrypt::dataWithEncryptionData(as<NSData>(values->objectAtIndex(i)));
        UIImage* image = UIImage::imageWithData(plain);
        if (image) _imageDic->setObject(image, keys->objectAtIndex(i));
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
    if (image) _imageDic->setObject(image, name);
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
