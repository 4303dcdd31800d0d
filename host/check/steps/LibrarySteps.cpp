// The library steps of `backdrop check`, inside the wallpaper process: open the library two
// ways, look up and call its entry points, place the view as a launcher does, let it go, and
// see that the library stays loaded. The parent drives the view in between over the protocol.

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "CheckSteps.h"
#include "Foundation/FileIO.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSRunLoop.h"
#include "Foundation/NSString.h"
#include "Foundation/ResourceNotes.h"
#include "UIKit/UIScreen.h"
#include "interface/DeskTopView.h"
#include "interface/DeskTopViewEntryPoints.h"

namespace host::check {

bool runResourceStep(const std::string& bundlePath, std::vector<std::string>* lines);

namespace {

// dlopen for a library the bundle names: only a regular file is opened (dlopen would block on a
// FIFO), as the framework's loader does.
void* openLibrary(const char* path, int mode) {
    if (std::strchr(path, '/')) {
        int fd = bd::openRegularFile(path);
        if (fd < 0) return nullptr;
        ::close(fd);
    }
    return dlopen(path, mode);
}
void closeLibrary(void* handle) {
    if (handle) dlclose(handle);
}
std::string loaderError() {
    const char* e = dlerror();
    return e ? e : "the library is not a regular file";
}

constexpr double kViewWidth = kDeskTopViewWidth;
constexpr double kTeardownLimit = 3.0;  // seconds for the views to be torn down after release
const char* kDeallocLine = "=========DeskTopView dealloc=========";

struct Library {
    std::string path;
    void* now = nullptr;
    void* lazy = nullptr;
    int views = 0;     // views made that must be torn down in the end
    int deallocs = 0;  // the base teardown's log lines seen
    bool counting = false;
};

Library& library() {
    static Library l;
    return l;
}

std::string sizeText(CGRect r) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g x %g", r.size.width, r.size.height);
    return buf;
}

void countTeardowns() {
    Library& l = library();
    if (l.counting) return;
    l.counting = true;
    bd::setLogCapture([](const std::string& m) { library().deallocs += m == kDeallocLine; });
}

// The library the description names, as the loader finds it ("" when none; the parent has
// already said why).
std::string libraryPath(const std::string& bundlePath) {
    NSBundle* bundle = NSBundle::bundleWithPath(NSString::stringWithUTF8String(bundlePath.c_str()));
    if (!bundle) return "";
    NSString* descriptionPath = bundle->pathForResource(NSSTR("description"), NSSTR("plist"));
    NSDictionary* description = NSDictionary::dictionaryWithContentsOfFile(descriptionPath);
    auto* name =
        description ? as<NSString>(description->objectForKey(NSSTR("name Library"))) : nullptr;
    return name ? bundle->resourcePath()->str() + "/" + name->str() : "";
}

void open(const std::string& bundlePath, std::vector<std::string>* lines) {
    Library& l = library();
    l.path = libraryPath(bundlePath);
    if (l.path.empty()) {
        lines->push_back("lazy=no library is named");
        return;
    }
    // The immediate-binding attempt comes first: a library with unresolved symbols doesn't
    // load that way, and then still loads lazily, as the loader opens it.
    dlerror();
    l.now = openLibrary(l.path.c_str(), RTLD_NOW);
    std::string nowError = l.now ? "ok" : loaderError();
    l.lazy = openLibrary(l.path.c_str(), RTLD_LAZY);
    lines->push_back("lazy=" + (l.lazy ? std::string("ok") : loaderError()));
    lines->push_back("now=" + nowError);
    // The ABI the library was built for, asked before any of its objects is touched.
    auto abi = l.lazy ? reinterpret_cast<GetDeskTopViewAbiVersionFunction>(
                            dlsym(l.lazy, "getDeskTopViewAbiVersion"))
                      : nullptr;
    if (l.lazy) lines->push_back("abi=" + (abi ? std::to_string(abi()) : std::string("none")));
}

void exports(std::vector<std::string>* lines) {
    Library& l = library();
    if (!l.lazy) return lines->push_back("missing=the library is not open");
    NSAutoreleasePool pool;
    auto nameFn = reinterpret_cast<GetDeskTopViewNameFunction>(dlsym(l.lazy, "getDeskTopViewName"));
    auto versionFn =
        reinterpret_cast<GetDeskTopViewVersionFunction>(dlsym(l.lazy, "getDeskTopViewVersion"));
    bool instance = dlsym(l.lazy, "getDeskTopViewInstance") != nullptr;
    std::string missing;
    if (!nameFn) missing += " getDeskTopViewName";
    if (!versionFn) missing += " getDeskTopViewVersion";
    if (!instance) missing += " getDeskTopViewInstance";
    if (!missing.empty()) return lines->push_back("missing=" + missing.substr(1));
    NSString* n = nameFn();
    NSString* v = versionFn();
    if (!n) return lines->push_back("null=getDeskTopViewName");
    if (!v) return lines->push_back("null=getDeskTopViewVersion");
    lines->push_back("name=" + n->str());
    lines->push_back("version=" + v->str());
}

void instance(const std::string& bundlePath, std::vector<std::string>* lines) {
    Library& l = library();
    auto instanceFn = l.lazy ? reinterpret_cast<GetDeskTopViewInstanceFunction>(
                                   dlsym(l.lazy, "getDeskTopViewInstance"))
                             : nullptr;
    if (!instanceFn) return lines->push_back("problem=no getDeskTopViewInstance");
    countTeardowns();
    NSBundle* bundle = NSBundle::bundleWithPath(NSString::stringWithUTF8String(bundlePath.c_str()));
    UIScreen* screen = UIScreen::mainScreen();
    CGRect home = screen->bounds();
    std::string problem, frame;
    {
        NSAutoreleasePool pool;
        DeskTopView* view = instanceFn(bundle);
        if (view) ++l.views;
        CGRect f = view ? view->frame() : CGRect{};
        if (!view) problem = "it returned null";
        if (view && (f.size.width != kViewWidth || f.size.height != home.size.height))
            problem = "on a " + sizeText(home) + " screen the view is " + sizeText(f);
        // A taller and wider screen: the width stays kDeskTopViewWidth.
        screen->setBounds(CGRectMake(0, 0, 375, 667));
        DeskTopView* other = problem.empty() ? instanceFn(bundle) : nullptr;
        if (other) ++l.views;
        CGRect g = other ? other->frame() : CGRect{};
        if (problem.empty() && !other) problem = "a second call returned null";
        if (other && (g.size.width != kViewWidth || g.size.height != 667))
            problem = "on a 375 x 667 screen the view is " + sizeText(g);
        screen->setBounds(home);
        frame = sizeText(f);
    }
    NSRunLoop::mainRunLoop()->runPending();
    lines->push_back(problem.empty() ? "frame=" + frame : "problem=" + problem);
}

void load(const StepContext& c, std::vector<std::string>* lines) {
    countTeardowns();
    std::string error;
    *c.scene = HostScene::load(c.bundlePath, c.screen, false, &error);
    if (!*c.scene) return lines->push_back("error=" + error);
    ++library().views;
    lines->push_back("ok=1");
}

void release(const StepContext& c, std::vector<std::string>* lines) {
    Library& l = library();
    c.scene->reset();  // taken away and let go, as a launcher does
    int want = l.views;
    bool gone =
        NSRunLoop::mainRunLoop()->runUntil([&] { return l.deallocs >= want; }, kTeardownLimit);
    bd::setLogCapture(nullptr);
    l.counting = false;
    lines->push_back(gone ? "released=1" : "released=0");
}

// What the wallpaper asked for and did not get; filled on whichever thread asked.
struct Asked {
    std::mutex lock;
    std::vector<std::string> prefixes;  // the bundle's path as given and as resolved, with "/"
    std::vector<std::string> notes;
};

Asked& asked() {
    static Asked* a = new Asked();  // never destroyed: a wallpaper's threads may note late
    return *a;
}

void askedLines(std::vector<std::string>* lines) {
    Asked& a = asked();
    std::lock_guard lk(a.lock);
    for (const std::string& n : a.notes) lines->push_back("asked=" + n);
}

void nodelete(std::vector<std::string>* lines) {
    Library& l = library();
    closeLibrary(l.now);
    closeLibrary(l.lazy);
    l.now = l.lazy = nullptr;
    void* still = l.path.empty() ? nullptr : openLibrary(l.path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (still) closeLibrary(still);
    lines->push_back(still ? "stays=1" : "stays=0");
}

}  // namespace

void recordResourceNotes(const std::string& bundlePath) {
    asked().prefixes = {bundlePath + "/"};
    if (char* real = realpath(bundlePath.c_str(), nullptr)) {
        asked().prefixes.push_back(std::string(real) + "/");
        std::free(real);
    }
    if (NSBundle* b = NSBundle::bundleWithPath(NSString::stringWithUTF8String(bundlePath.c_str())))
        asked().prefixes.push_back(b->resourcePath()->str() + "/");
    bd::setResourceNoteHandler([](const bd::ResourceNote& n) {
        Asked& a = asked();
        std::string path = n.path;
        for (const std::string& prefix : a.prefixes)
            if (path.compare(0, prefix.size(), prefix) == 0) {
                path = path.substr(prefix.size());
                break;
            }
        std::string text = bd::printableText(n.call + " \"" + path + "\": " + n.detail);
        std::lock_guard lk(a.lock);
        // Each miss once, and no more than a reply carries.
        if (a.notes.size() < 48 && std::find(a.notes.begin(), a.notes.end(), text) == a.notes.end())
            a.notes.push_back(text);
    });
}

bool runCheckStep(const std::string& step, StepContext& context, std::vector<std::string>* lines) {
    if (step == "open")
        open(context.bundlePath, lines);
    else if (step == "exports")
        exports(lines);
    else if (step == "instance")
        instance(context.bundlePath, lines);
    else if (step == "load")
        load(context, lines);
    else if (step == "release")
        release(context, lines);
    else if (step == "nodelete")
        nodelete(lines);
    else if (step == "asked")
        askedLines(lines);
    else if (step == "resources")
        return runResourceStep(context.bundlePath, lines);
    else
        return false;
    return true;
}

}  // namespace host::check
