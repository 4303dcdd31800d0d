#pragma once
// NSBundle: a directory of resources.

#include "Foundation/Export.h"
#include "Foundation/NSObject.h"

class NSString;
class NSDictionary;

class BD_EXPORT NSBundle : public NSObject {
  public:
    // +bundleWithPath: [any-thread] null unless path names an accessible directory.
    static NSBundle* bundleWithPath(NSString* path);
    // +mainBundle [any-thread] the executable's directory, unless setMainBundlePath named another.
    static NSBundle* mainBundle();
    // [any-thread] null returns to the executable's directory.
    static void setMainBundlePath(NSString* path);

    // -initWithPath: [any-thread]
    [[nodiscard]] virtual NSBundle* initWithPath(NSString* path);
    // -bundlePath / -resourcePath [any-thread] both the bundle directory itself.
    virtual NSString* bundlePath() const { return _path.get(); }
    virtual NSString* resourcePath() const { return _path.get(); }
    // -pathForResource:ofType: [any-thread] "dir/name.type" (type may be null or empty);
    // null when no such file.
    virtual NSString* pathForResource(NSString* name, NSString* ofType);
    // -infoDictionary [any-thread] "Info.plist" of the bundle, or null.
    virtual NSDictionary* infoDictionary();

    bool isEqual(NSObject* other) override;
    NSString* description() override;

  private:
    Ref<NSString> _path;
};
