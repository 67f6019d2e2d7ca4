#include "system/Browser.h"

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include <string>

bool openInBrowser(const std::string &url, std::string &error) {
    // The shell may hand the URL to a browser through COM, which wants initialising on this thread; and it
    // may do so after returning, unless asked to finish first, as a console program that goes on to other
    // work must.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    std::wstring wide(url.begin(), url.end());  // ASCII: an address and a port
    SHELLEXECUTEINFOW open = {};
    open.cbSize = sizeof open;
    open.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    open.lpVerb = L"open";
    open.lpFile = wide.c_str();
    open.nShow = SW_SHOWNORMAL;
    bool opened = ShellExecuteExW(&open);
    if (!opened) error = "Windows could not open a browser (error " + std::to_string(GetLastError()) + ")";
    if (SUCCEEDED(com)) CoUninitialize();
    return opened;
}
