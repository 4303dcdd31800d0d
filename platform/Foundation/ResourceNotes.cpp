#include "Foundation/ResourceNotes.h"

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace bd {
namespace {
std::mutex handlerLock;
std::shared_ptr<std::function<void(const ResourceNote&)>> handler;
std::atomic<bool> wanted{false};
}  // namespace

void setResourceNoteHandler(std::function<void(const ResourceNote&)> fn) {
    std::lock_guard lk(handlerLock);
    handler =
        fn ? std::make_shared<std::function<void(const ResourceNote&)>>(std::move(fn)) : nullptr;
    wanted.store(handler != nullptr);
}

bool resourceNotesWanted() {
    return wanted.load();
}

void noteResource(const ResourceNote& note) {
    if (!wanted.load()) return;
    std::shared_ptr<std::function<void(const ResourceNote&)>> fn;
    {
        std::lock_guard lk(handlerLock);
        fn = handler;
    }
    // Called outside the lock, so a handler may note again or replace itself.
    if (fn) (*fn)(note);
}

std::string missingFileDetail(const std::string& path, const std::string& otherwise) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "no such file";
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    return otherwise;
}

}  // namespace bd
