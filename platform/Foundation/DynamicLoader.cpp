#include "Foundation/DynamicLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "Foundation/FileIO.h"

namespace bd {
namespace {
std::mutex gTraceMutex;
std::function<void(const DynamicLoaderCall&)> gTrace;

void report(const DynamicLoaderCall& call) {
    std::function<void(const DynamicLoaderCall&)> fn;
    {
        std::lock_guard lock(gTraceMutex);
        fn = gTrace;
    }
    if (fn) fn(call);
}

// A library named by a path must be a regular file; a bare name is searched by the loader.
bool openable(const char* path) {
    if (!std::strchr(path, '/')) return true;
    int fd = openRegularFile(path);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}
}  // namespace

void* dynamicOpen(const char* path, int mode) {
    void* handle = path && openable(path) ? dlopen(path, mode) : nullptr;
    report({DynamicLoaderCall::Open, path ? path : "", mode, handle, nullptr});
    return handle;
}

void* dynamicSymbol(void* handle, const char* name) {
    void* address = handle && name ? dlsym(handle, name) : nullptr;
    report({DynamicLoaderCall::Symbol, name ? name : "", 0, handle, address});
    return address;
}

int dynamicClose(void* handle) {
    if (!handle) return 0;
    int rc = dlclose(handle);
    report({DynamicLoaderCall::Close, "", 0, handle, nullptr});
    return rc;
}

std::string dynamicError() {
    const char* e = dlerror();
    return e ? e : "";
}

void setDynamicLoaderTrace(std::function<void(const DynamicLoaderCall&)> fn) {
    std::lock_guard lock(gTraceMutex);
    gTrace = std::move(fn);
}

}  // namespace bd
