#include "Foundation/NSBundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <string>

#include "Foundation/NSDictionary.h"
#include "Foundation/NSString.h"

namespace {
std::mutex gMainMutex;
Ref<NSBundle> gMain;          // the bundle mainBundle() returns, made on first use
Ref<NSString> gMainOverride;  // setMainBundlePath's directory

bool isAccessibleDirectory(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(p.c_str(), R_OK | X_OK) == 0;
}

std::string executableDirectory() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string(".")
                                      : (slash == 0 ? std::string("/") : p.substr(0, slash));
}
}  // namespace

NSBundle* NSBundle::bundleWithPath(NSString* path) {
    NSBundle* b = alloc<NSBundle>()->initWithPath(path);
    if (b) b->autorelease();
    return b;
}

NSBundle* NSBundle::initWithPath(NSString* path) {
    if (!path || !isAccessibleDirectory(path->str())) {
        release();
        return nullptr;
    }
    std::string p = path->str();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    _path = adopt(alloc<NSString>()->initWithStdString(p));
    return this;
}

NSBundle* NSBundle::mainBundle() {
    std::lock_guard<std::mutex> lock(gMainMutex);
    if (!gMain) {
        std::string dir = gMainOverride ? gMainOverride->str() : executableDirectory();
        NSString* p = alloc<NSString>()->initWithStdString(dir);
        NSBundle* b = alloc<NSBundle>();
        b->_path = adopt(p);
        gMain = adopt(b);
    }
    return gMain.get();
}

void NSBundle::setMainBundlePath(NSString* path) {
    std::lock_guard<std::mutex> lock(gMainMutex);
    gMainOverride =
        path ? adopt(alloc<NSString>()->initWithStdString(path->str())) : Ref<NSString>();
    gMain = nullptr;
}

NSString* NSBundle::pathForResource(NSString* name, NSString* ofType) {
    if (!name) return nullptr;
    std::string file = name->str();
    if (ofType && !ofType->str().empty()) {
        std::string t = ofType->str();
        if (t.front() != '.') file += '.';
        file += t;
    }
    std::string full = _path->str() + "/" + file;
    struct stat st;
    if (stat(full.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return nullptr;
    return NSString::stringWithStdString(std::move(full));
}

NSDictionary* NSBundle::infoDictionary() {
    return NSDictionary::dictionaryWithContentsOfFile(
        NSString::stringWithStdString(_path->str() + "/Info.plist"));
}

bool NSBundle::isEqual(NSObject* other) {
    auto* b = dynamic_cast<NSBundle*>(other);
    return b && b->_path->isEqual(_path.get());
}

NSString* NSBundle::description() {
    return NSString::stringWithFormat("NSBundle <%s>", _path->UTF8String());
}
