// A module that starts a thread in its own code, for the test that the thread holds the module loaded.
#include <chrono>
#include <thread>

#include "Platform.h"

namespace {
void sleepFor(void *milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(reinterpret_cast<std::intptr_t>(milliseconds)));
}
}  // namespace

extern "C" __attribute__((visibility("default"))) bool startSleepingThread(int milliseconds) {
    return startDetachedThread(sleepFor, reinterpret_cast<void *>(static_cast<std::intptr_t>(milliseconds)));
}
