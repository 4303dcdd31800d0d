#include "Foundation/DynamicLoader.h"

#include <dlfcn.h>

#include <mutex>

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
}  // namespace

void* dynamicOpen(const char* path, int mode) {
    void* handle = path ? dlopen(path, mode) : nullptr;
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
