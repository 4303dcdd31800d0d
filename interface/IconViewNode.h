#pragma once
// IconViewNode: a record of one application's icon: identifier, display name, picture and
// whether it is running. Strong properties share the caller's object (no copy).

#include "Foundation/Export.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"

class BD_EXPORT IconViewNode : public NSObject {
  public:
    // -init [main-thread] a record with every property null.
    [[nodiscard]] IconViewNode* init() override;

    // Property accessors [main-thread] (like the views that use it; no locks).
    virtual NSString* appID() { return _appID.get(); }
    virtual void setAppID(NSString* appID) { _appID = retained(appID); }
    virtual NSString* appName() { return _appName.get(); }
    virtual void setAppName(NSString* appName) { _appName = retained(appName); }
    virtual UIImage* appicon() { return _appicon.get(); }
    virtual void setAppicon(UIImage* appicon) { _appicon = retained(appicon); }
    virtual bool isRunning() { return _isRunning; }
    virtual void setIsRunning(bool isRunning) { _isRunning = isRunning; }

  protected:
    // Sets appID, appName and appicon to null through their setters, then the base teardown.
    void dealloc() override;

    Ref<NSString> _appID;
    Ref<NSString> _appName;
    Ref<UIImage> _appicon;
    bool _isRunning = false;
};
