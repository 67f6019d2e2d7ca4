#include "host/ProcessCounts.h"

#if IBM
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <vector>

namespace {

// The system's table of every process's handles, as NtQuerySystemInformation gives it.
constexpr int kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleEntry {
    void *object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

}  // namespace

extern "C" LONG WINAPI NtQuerySystemInformation(int informationClass, void *information, ULONG length,
                                                ULONG *returnedLength);

// Counted in the system's handle table: Wine answers GetProcessHandleCount with 0.
int openHandleCount() {
    std::vector<char> buffer(1 << 16);
    LONG status;
    ULONG needed = 0;
    while ((status = NtQuerySystemInformation(kSystemExtendedHandleInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &needed)) ==
           kStatusInfoLengthMismatch) {
        buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed));
    }
    if (status < 0) return -1;
    const HandleTable *table = reinterpret_cast<const HandleTable *>(buffer.data());
    int count = 0;
    for (ULONG_PTR index = 0; index < table->count; ++index) {
        if (table->entries[index].processId == GetCurrentProcessId()) ++count;
    }
    return count;
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
