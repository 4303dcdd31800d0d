#pragma once
// Thread checks. BD_ASSERT_MAIN_THREAD() aborts a debug build when called off the main thread,
// naming the function and the place of the check; release builds compile it away.
#include "Foundation/Export.h"

namespace bd {
BD_EXPORT bool isMainThread();                        // [any-thread]
[[noreturn]] BD_EXPORT void fatal(const char* what);  // [any-thread] prints and aborts
// [any-thread] Aborts with "<function> called off the main thread (<file>:<line>)".
[[noreturn]] BD_EXPORT void fatalOffMainThread(const char* function, const char* file, int line);
}  // namespace bd

#if defined(BD_DEBUG_CHECKS)
#define BD_ASSERT_MAIN_THREAD()                                                            \
    do {                                                                                   \
        if (!::bd::isMainThread()) ::bd::fatalOffMainThread(__func__, __FILE__, __LINE__); \
    } while (0)
#else
#define BD_ASSERT_MAIN_THREAD() \
    do {                        \
    } while (0)
#endif
