#pragma once
// NSURL: only file URLs.

#include "Foundation/Export.h"
#include "Foundation/NSObject.h"

class NSString;

class BD_EXPORT NSURL : public NSObject {
  public:
    // +fileURLWithPath: [any-thread] null for a null path.
    static NSURL* fileURLWithPath(NSString* path);
    // -path [any-thread]
    virtual NSString* path() const { return _path.get(); }
    // -absoluteString [any-thread] "file://" + path
    virtual NSString* absoluteString();

    bool isEqual(NSObject* other) override;
    size_t hash() override;
    NSString* description() override;

  private:
    Ref<NSString> _path;
};
