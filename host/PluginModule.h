#pragma once

#include <string>

#include "XPLMDefs.h"

// A plug-in module loaded as X-Plane loads one: from a file, called through its five entry points.
class PluginModule {
public:
    int (*start)(char *name, char *signature, char *description) = nullptr;
    void (*stop)() = nullptr;
    int (*enable)() = nullptr;
    void (*disable)() = nullptr;
    void (*receiveMessage)(XPLMPluginID from, int message, void *param) = nullptr;

    // Loads the module and finds its entry points; on failure holds nothing and says why in `error`.
    bool load(const std::string &path, std::string &error);
    // Returns false if the module is still mapped afterwards, so that a reload would find its old state.
    bool unload();
    bool isLoaded() const { return handle != nullptr; }

private:
    void *handle = nullptr;
    std::string fullPath;
};
