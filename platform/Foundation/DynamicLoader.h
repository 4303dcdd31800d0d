#pragma once
// The dynamic loader (dlopen, dlsym, dlclose) as the system uses it, with a trace so that tests
// and tools can see exactly which library was opened with which mode and that every handle
// was given back.

#include <functional>
#include <string>

// The trace is what the tree's own tests watch inside the framework. It is exported only from a
// framework built with BACKDROP_TEST_HOOKS (the tree's default); this header is not installed.
#if defined(BACKDROP_TEST_HOOKS)
#define BD_TEST_EXPORT __attribute__((visibility("default")))
#else
#define BD_TEST_EXPORT
#endif

namespace bd {

// One call of the loader, as the trace reports it.
struct DynamicLoaderCall {
    enum Kind { Open, Symbol, Close } kind;
    std::string name;        // Open: the path as passed; Symbol: the symbol's name
    int mode = 0;            // Open: the mode as passed
    void* handle = nullptr;  // Open: the handle returned; Symbol, Close: the handle passed
    void* result = nullptr;  // Symbol: the address found
};

// [any-thread] dlopen(path, mode). A path naming anything but a regular file (a FIFO, a
// device, a folder) opens nothing: dlopen would block on a FIFO.
void* dynamicOpen(const char* path, int mode);
// [any-thread] dlsym(handle, name).
void* dynamicSymbol(void* handle, const char* name);
// [any-thread] dlclose(handle); null is ignored.
int dynamicClose(void* handle);
// [any-thread] The loader's last error message (dlerror), or "" when none.
std::string dynamicError();

// [any-thread] Reports every call to fn as well (after the call); null fn = off.
BD_TEST_EXPORT void setDynamicLoaderTrace(std::function<void(const DynamicLoaderCall&)> fn);

}  // namespace bd
