#pragma once
// The steps of `backdrop check` that run inside a wallpaper process, on its main thread, when
// the parent asks (WallpaperProcess::runStep). Each answers with "key=value" lines; the parent
// judges them against what it observes itself (that the process lives and answers, its
// counters), never against anything the wallpaper prints.

#include <memory>
#include <string>
#include <vector>

#include "host/scene/HostScene.h"

namespace host::check {

struct StepContext {
    std::string bundlePath;
    ScreenSpec screen;
    std::unique_ptr<HostScene>* scene = nullptr;  // the process's scene ("load" makes it)
};

// Library steps:
//   open      the library named by description.plist, with RTLD_NOW and RTLD_LAZY:
//             lazy=ok | lazy=<error>, now=ok | now=<error>
//   exports   missing=<names> | name=<text>, version=<text>, null=<function>
//   instance  frame=<w x h> | problem=<text>
//   load      the view placed as a launcher places it: ok=1 | error=<text>
//   release   the views let go: released=1 | released=0
//   nodelete  stays=1 | stays=0
//   asked     what the wallpaper asked for and did not get since the process started (see
//             recordResourceNotes): asked=<call> "<path>": <why>, one line each
// Resource steps:
//   resources thumbnail=ok <text> | thumbnail=fail <text>, and the same for pictures=,
//             packages= and sounds=; warn=<text> for each package picture that looks like
//             @2x art on a screen of scale 2 or more
// [main-thread] From now on the process keeps what the wallpaper asks for and does not get
// (picture names and packages the image cache could not load, sounds that did not register),
// paths inside bundlePath given relative to it; the step "asked" answers with them.
void recordResourceNotes(const std::string& bundlePath);

// [main-thread] False for an unknown step.
bool runCheckStep(const std::string& step, StepContext& context, std::vector<std::string>* lines);

}  // namespace host::check
