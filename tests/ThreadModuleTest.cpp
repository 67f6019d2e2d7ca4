// A thread started in a module keeps that module loaded until it ends, so unloading the module under a
// running thread cannot pull its code away: the program survives, and the module goes once the thread
// has ended. Built for Linux and for Windows (run under Wine), without a test framework.
//   thread_module_test MODULE
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

constexpr std::chrono::seconds kUnloadTimeout{10};

#if defined(_WIN32)
void *openModule(const std::string &path) { return LoadLibraryA(path.c_str()); }
void *lookUp(void *module, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void closeModule(void *module) { FreeLibrary(static_cast<HMODULE>(module)); }
bool isLoaded(const std::string &path) { return GetModuleHandleA(path.c_str()) != nullptr; }
#else
void *openModule(const std::string &path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void *lookUp(void *module, const char *name) { return dlsym(module, name); }
void closeModule(void *module) { dlclose(module); }
bool isLoaded(const std::string &path) {
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (module) dlclose(module);
    return module != nullptr;
}
#endif

int gFailures = 0;

void check(bool holds, const char *what) {
    std::printf("%s: %s\n", holds ? "ok" : "FAILED", what);
    gFailures += holds ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s MODULE\n", argv[0]);
        return 2;
    }
    const std::string path = std::filesystem::absolute(argv[1]).make_preferred().string();
    void *module = openModule(path);
    if (!module) {
        std::printf("FAILED: cannot load %s\n", path.c_str());
        return 1;
    }
    auto startWaitingThread = reinterpret_cast<bool (*)(std::atomic<bool> *)>(lookUp(module, "startWaitingThread"));
    std::atomic<bool> released{false};
    if (!startWaitingThread || !startWaitingThread(&released)) {
        std::printf("FAILED: no thread started in the module\n");
        return 1;
    }

    closeModule(module);
    check(isLoaded(path), "still loaded under its running thread");
    released.store(true);
    auto deadline = std::chrono::steady_clock::now() + kUnloadTimeout;
    while (isLoaded(path) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    check(!isLoaded(path), "unloaded once its thread ended");
    // Reaching this line at all is the other half: the thread returned into code that was still there.
    std::printf("%s\n", gFailures == 0 ? "passed" : "failed");
    return gFailures == 0 ? 0 : 1;
}
