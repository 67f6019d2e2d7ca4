#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>

#include <cstdint>
#include <cstring>

#include "feed/Platform.h"
#include "system/ClientPlatform.h"

namespace {

void (*gOnStop)() = nullptr;

void onStopSignal(int) { gOnStop(); }

}  // namespace

// A write past the file size limit (ulimit -f) then fails with EFBIG, which the GPX track reports, rather
// than ending the program with SIGXFSZ.
bool startSystem() { return signal(SIGPIPE, SIG_IGN) != SIG_ERR && signal(SIGXFSZ, SIG_IGN) != SIG_ERR; }

void catchStopRequests(void (*onStop)()) {
    gOnStop = onStop;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool writeStandardOutput(const std::string &text) {
    for (std::size_t done = 0; done < text.size();) {
        ssize_t written = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (written >= 0) {
            done += static_cast<std::size_t>(written);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Another program made the descriptor non-blocking: wait for room as a blocking write would.
            pollfd room{STDOUT_FILENO, POLLOUT, 0};
            poll(&room, 1, -1);
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool isConnectInProgress(int error) { return error == EINPROGRESS; }

int pendingSocketError(SOCKET socket) {
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 ? error : errno;
}

std::string socketErrorText(int error) { return std::strerror(error); }

std::string addressErrorText(int status) { return gai_strerror(status); }

int openFile(const std::string &path) { return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644); }

// By seeking, not fstat: glibc has had fstat as a function of its own only since 2.33. The offset is of no
// other use here, since every read and write gives its own.
bool fileSize(int file, std::uint64_t &size) {
    off_t end = lseek(file, 0, SEEK_END);
    if (end < 0) return false;
    size = static_cast<std::uint64_t>(end);
    return true;
}

bool readAt(int file, std::string &data, std::uint64_t offset, std::size_t size) {
    data.resize(size);
    ssize_t got = pread(file, &data[0], size, static_cast<off_t>(offset));
    data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return got >= 0;
}

// A full disk, or the file size limit, lets a write take only part of the data, with no error: the next
// write, of the rest, fails with it.
bool writeAt(int file, const std::string &data, std::uint64_t offset) {
    for (std::size_t done = 0; done < data.size();) {
        ssize_t written = pwrite(file, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        if (written >= 0)
            done += static_cast<std::size_t>(written);
        else if (errno != EINTR)
            return false;
    }
    return true;
}

bool truncateFile(int file, std::uint64_t size) { return ftruncate(file, static_cast<off_t>(size)) == 0; }

bool flushToDisk(int file) { return fsync(file) == 0; }

void closeFile(int file) { close(file); }

// flock, not fcntl's locks, which any close of the file in the process would give up.
FileLock lockFile(int file) {
    while (flock(file, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return FileLock::kHeldElsewhere;
        if (errno != EINTR) return FileLock::kFailed;
    }
    return FileLock::kTaken;
}
