#pragma once
// NSError: a domain, a code and a user-info dictionary.

#include "Foundation/Export.h"
#include "Foundation/NSObject.h"

class NSString;
class NSDictionary;

// The user-info key whose string value localizedDescription() returns.
BD_EXPORT NSString* NSLocalizedDescriptionKey();  // [any-thread]

class BD_EXPORT NSError : public NSObject {
  public:
    // +errorWithDomain:code:userInfo: [any-thread]
    static NSError* errorWithDomain(NSString* domain, long code, NSDictionary* userInfo);
    // [any-thread]
    virtual NSString* domain() const { return _domain.get(); }
    virtual long code() const { return _code; }
    virtual NSDictionary* userInfo() const { return _userInfo.get(); }
    // -localizedDescription [any-thread] the user info's description text, else domain and code.
    virtual NSString* localizedDescription();

    NSString* description() override;

  private:
    Ref<NSString> _domain;
    long _code = 0;
    Ref<NSDictionary> _userInfo;
};
