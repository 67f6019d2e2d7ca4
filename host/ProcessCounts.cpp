#include "ProcessCounts.h"

#if IBM
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

int openHandleCount() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

int threadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
}
#else
#include <filesystem>

namespace {

int entriesIn(const char *directory) {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

}  // namespace

// Less the descriptor that lists the directory.
int openHandleCount() {
    int entries = entriesIn("/proc/self/fd");
    return entries < 0 ? -1 : entries - 1;
}

int threadCount() { return entriesIn("/proc/self/task"); }
#endif
