// A module that starts a thread in its own code, for the test that the thread holds the module loaded.
#include <atomic>

#include "feed/Platform.h"

namespace {
// Waits in this module's code, so the thread returns into it when it is released.
void waitForRelease(void *released) {
    while (!static_cast<std::atomic<bool> *>(released)->load()) sleepMilliseconds(1);
}
}  // namespace

#if defined(_WIN32)
#define PINNED_EXPORT extern "C" __declspec(dllexport)
#else
#define PINNED_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Starts a thread that runs in this module until `*released` is true.
PINNED_EXPORT bool startWaitingThread(std::atomic<bool> *released) {
    return startDetachedThread(waitForRelease, released);
}
