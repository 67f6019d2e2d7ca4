#include "system/Browser.h"

#include <windows.h>

#include <shellapi.h>

#include <string>

bool openInBrowser(const std::string &url, std::string &error) {
    // The URL is ASCII: an address and a port.
    std::wstring wide(url.begin(), url.end());
    auto result = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (result > 32) return true;
    error = "Windows could not open a browser (error " + std::to_string(result) + ")";
    return false;
}
