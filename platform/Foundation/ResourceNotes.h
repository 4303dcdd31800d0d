#pragma once
// What a wallpaper asked for and did not get: a picture name the image cache could not load, a
// resource package that did not read, a record that is no picture, a sound that could not be
// registered. The calls still give what they always give (null, an empty cache, no sound
// identifier) and log nothing; a tool that wants to tell the author (`backdrop check`) installs
// a handler and hears of each miss, naming the call and the path it was asked for.

#include <functional>
#include <string>

#include "Foundation/Export.h"

namespace bd {

struct BD_EXPORT ResourceNote {
    std::string call;    // the operation asked: "imageWithName2x:", "setResourceData:", ...
    std::string path;    // the file it looked for (absolute, as the call formed it)
    std::string detail;  // why nothing came: "no such file", "not a picture", ...
};

// [any-thread] Hands every later note to fn (on the thread of the call); null fn = off.
BD_EXPORT void setResourceNoteHandler(std::function<void(const ResourceNote&)> fn);
// [any-thread] Whether a handler is installed (a caller may skip forming the note).
BD_EXPORT bool resourceNotesWanted();
// [any-thread] Passes note to the handler, if there is one.
BD_EXPORT void noteResource(const ResourceNote& note);
// [any-thread] "no such file", "not a regular file" or `otherwise`, by what lies at path.
BD_EXPORT std::string missingFileDetail(const std::string& path, const std::string& otherwise);

}  // namespace bd
