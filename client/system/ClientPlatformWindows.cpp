#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "system/ClientPlatform.h"

namespace {

void (*gOnStop)() = nullptr;

// Runs on a thread the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    gOnStop();
    return TRUE;
}

// Windows' locks are mandatory: other programs can neither read nor write the bytes they cover. The one
// byte locked lies far past the end of any track, so that a map or an editor can still read the file while
// it is written.
OVERLAPPED lockedByte() {
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFF;
    at.OffsetHigh = 0x7FFFFFFF;
    return at;
}

HANDLE handleOf(int file) { return reinterpret_cast<HANDLE>(_get_osfhandle(file)); }

// Writes all of `text` from the descriptor's position on, in as many writes as it takes.
bool writeAll(int descriptor, const std::string &text) {
    for (std::size_t done = 0; done < text.size();) {
        int written = _write(descriptor, text.data() + done, static_cast<unsigned>(text.size() - done));
        if (written < 0) return false;
        if (written == 0) {  // no room, and no error said
            errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool startSystem() {
    WSADATA wsaData;
    return WSAStartup(MAKEWORD(2, 2), &wsaData) == 0 && _setmode(_fileno(stdout), _O_BINARY) != -1 &&
           _setmode(_fileno(stderr), _O_BINARY) != -1;
}

void catchStopRequests(void (*onStop)()) {
    gOnStop = onStop;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool writeStandardOutput(const std::string &text) { return writeAll(_fileno(stdout), text); }

bool isConnectInProgress(int error) { return error == WSAEWOULDBLOCK; }

int pendingSocketError(SOCKET socket) {
    int error = 0;
    int length = sizeof error;
    return getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) == 0 ? error
                                                                                                    : WSAGetLastError();
}

std::string socketErrorText(int error) {
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    // The system's texts end with a full stop and a line break, which our notices add themselves.
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == '.')) --length;
    return length > 0 ? std::string(text, length) : "error " + std::to_string(error);
}

// getaddrinfo's results are socket errors on Windows.
std::string addressErrorText(int status) { return socketErrorText(status); }

int openFile(const std::string &path) {
    return _open(path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

bool fileSize(int file, std::uint64_t &size) {
    __int64 length = _filelengthi64(file);
    if (length < 0) return false;
    size = static_cast<std::uint64_t>(length);
    return true;
}

bool readAt(int file, std::string &data, std::uint64_t offset, std::size_t size) {
    data.resize(size);
    int got = _lseeki64(file, static_cast<__int64>(offset), SEEK_SET) == -1
                  ? -1
                  : _read(file, &data[0], static_cast<unsigned>(size));
    data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return got >= 0;
}

bool writeAt(int file, const std::string &data, std::uint64_t offset) {
    return _lseeki64(file, static_cast<__int64>(offset), SEEK_SET) != -1 && writeAll(file, data);
}

// Not _chsize_s, which mingw-w64 makes of _chsize for msvcrt.dll, with sizes of 32 bits.
bool truncateFile(int file, std::uint64_t size) {
    if (_lseeki64(file, static_cast<__int64>(size), SEEK_SET) == -1) return false;
    if (SetEndOfFile(handleOf(file))) return true;
    errno = EIO;
    return false;
}

bool flushToDisk(int file) { return _commit(file) == 0; }

// The lock is given up before the file is closed: the system does it too, but at a time of its own, which
// could refuse the next run.
void closeFile(int file) {
    OVERLAPPED at = lockedByte();
    UnlockFileEx(handleOf(file), 0, 1, 0, &at);
    _close(file);
}

FileLock lockFile(int file) {
    OVERLAPPED at = lockedByte();
    if (LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return FileLock::kTaken;
    if (GetLastError() == ERROR_LOCK_VIOLATION) return FileLock::kHeldElsewhere;
    errno = ENOLCK;
    return FileLock::kFailed;
}
