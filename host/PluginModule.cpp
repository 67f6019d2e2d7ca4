#include "host/PluginModule.h"

#include <filesystem>

#if IBM
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

#if IBM
void *openModule(const std::string &path, std::string &error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    return module;
}

void *lookUp(void *module, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void closeModule(void *module) { FreeLibrary(static_cast<HMODULE>(module)); }

bool isMapped(const std::string &path) { return GetModuleHandleA(path.c_str()) != nullptr; }
#else
void *openModule(const std::string &path, std::string &error) {
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) error = dlerror();
    return module;
}

void *lookUp(void *module, const char *name) { return dlsym(module, name); }

void closeModule(void *module) { dlclose(module); }

bool isMapped(const std::string &path) {
    void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (module) dlclose(module);
    return module != nullptr;
}
#endif

template <typename Function>
bool find(void *module, const char *name, Function &function, std::string &error) {
    function = reinterpret_cast<Function>(lookUp(module, name));
    if (!function) error = std::string("no entry point ") + name;
    return function != nullptr;
}

}  // namespace

bool PluginModule::load(const std::string &path, std::string &error) {
    // X-Plane loads by full path; a bare file name would send dlopen searching the library path.
    fullPath = std::filesystem::absolute(path).make_preferred().string();
    handle = openModule(fullPath, error);
    if (!handle) return false;
    if (find(handle, "XPluginStart", start, error) && find(handle, "XPluginStop", stop, error) &&
        find(handle, "XPluginEnable", enable, error) && find(handle, "XPluginDisable", disable, error) &&
        find(handle, "XPluginReceiveMessage", receiveMessage, error))
        return true;
    unload();
    return false;
}

bool PluginModule::unload() {
    closeModule(handle);
    handle = nullptr;
    start = nullptr;
    stop = nullptr;
    enable = nullptr;
    disable = nullptr;
    receiveMessage = nullptr;
    return !isMapped(fullPath);
}
