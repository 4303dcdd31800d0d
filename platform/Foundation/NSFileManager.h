#pragma once
// NSFileManager: directory listing and existence checks.

#include "Foundation/Export.h"
#include "Foundation/NSObject.h"

class NSString;
class NSArray;
class NSError;

// Error domain of file operations; the code is the errno value.
BD_EXPORT NSString* NSPOSIXErrorDomain();  // [any-thread]

class BD_EXPORT NSFileManager : public NSObject {
  public:
    // +defaultManager [any-thread]
    static NSFileManager* defaultManager();

    // -contentsOfDirectoryAtPath:error: [any-thread] the names (not paths) of the entries, sorted,
    // without "." and ".."; null on failure with *error (when given) describing what failed.
    // A name that is no UTF-8 is listed with its bytes as they are.
    virtual NSArray* contentsOfDirectoryAtPath(NSString* path, NSError** error);
    // -fileExistsAtPath: [any-thread]
    virtual bool fileExistsAtPath(NSString* path);
    // -fileExistsAtPath:isDirectory: [any-thread]
    virtual bool fileExistsAtPath(NSString* path, bool* isDirectory);
};
