#pragma once

// Real TCP clients of the feed port, and waiting with a deadline, for the tests.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

constexpr int kFeedPort = 27015;

// How long a test waits for what should happen at once: a connection, a line, the end of a stream or of
// a thread. Each such wait ends the moment it happens, so only a failing test waits this long, and no
// busy machine, sanitizer or Wine comes near it.
constexpr std::chrono::seconds kPatience{30};

// The longest a tick or a send may take while its client has stopped reading. One that waited on that
// client would wait until it read again: for ever, in these tests. One that does not wait takes
// microseconds, which a busy machine or a sanitizer stretches to some milliseconds (15 at the worst seen
// with both cores loaded under ThreadSanitizer).
constexpr std::chrono::milliseconds kNoWaitBound{1000};

// A measured figure for the test log, to compare runs and platforms: reported, not asserted.
inline void reportFigure(const std::string &name, long long value) {
    std::printf("[ figure   ] %s = %lld\n", name.c_str(), value);
}

inline bool contains(const std::vector<std::string> &lines, const std::string &wanted) {
    return std::find(lines.begin(), lines.end(), wanted) != lines.end();
}

inline bool anyStartsWith(const std::vector<std::string> &lines, const std::string &prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
}

// Polls `condition` until it holds or `timeout` passes; returns its last value.
inline bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout = kPatience) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The feed port (or another) at an IPv4 address.
inline sockaddr_in feedAt(const char *address, int port = kFeedPort) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &socketAddress.sin_addr);
    return socketAddress;
}

inline sockaddr_in loopback(int port) { return feedAt("127.0.0.1", port); }

// The sockets on the feed port, found without touching the port: each one's remote end (address and
// port, as /proc/net/tcp writes them) and TCP state.
inline std::vector<std::pair<std::string, unsigned>> feedPortSockets() {
    std::vector<std::pair<std::string, unsigned>> sockets;
    std::FILE *table = std::fopen("/proc/net/tcp", "r");
    char line[512], remote[64];
    while (std::fgets(line, sizeof line, table)) {
        unsigned port = 0, state = 0;
        if (std::sscanf(line, " %*d: %*x:%x %63s %x", &port, remote, &state) == 3 && port == kFeedPort) {
            sockets.emplace_back(remote, state);
        }
    }
    std::fclose(table);
    return sockets;
}

inline bool feedPortListens() {
    constexpr unsigned kListen = 0x0A;
    for (const auto &socket : feedPortSockets()) {
        if (socket.second == kListen) return true;
    }
    return false;
}

// The remote ends of the feed port's connections that wait out TIME_WAIT.
inline std::set<std::string> feedPortTimeWaits() {
    constexpr unsigned kTimeWait = 0x06;
    std::set<std::string> remotes;
    for (const auto &socket : feedPortSockets()) {
        if (socket.second == kTimeWait) remotes.insert(socket.first);
    }
    return remotes;
}

class TcpClient {
public:
    explicit TcpClient(sockaddr_in server = loopback(kFeedPort)) : server_(server) {}
    TcpClient(const TcpClient &) = delete;
    TcpClient &operator=(const TcpClient &) = delete;
    ~TcpClient() { close(); }

    // Connects to the feed; a receive buffer size > 0 is set first, to make the client slow to drain.
    bool connect(int receiveBufferSize = 0) {
        close();
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBufferSize > 0) {
            setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &receiveBufferSize, sizeof receiveBufferSize);
        }
        if (::connect(socket_, reinterpret_cast<const sockaddr *>(&server_), sizeof server_) == 0) return true;
        close();
        return false;
    }

    // Retries until the feed accepts (the listener starts asynchronously).
    bool connectWithin(std::chrono::milliseconds timeout = kPatience) {
        return waitUntil([this] { return connect(); }, timeout);
    }

    // The next line, with its line feed, or "" if none arrives in time or the stream ended.
    std::string readLine(std::chrono::milliseconds timeout = kPatience) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            std::size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end + 1);
                pending_.erase(0, end + 1);
                return line;
            }
            if (!receive(deadline)) return "";
        }
    }

    // Everything that arrives until the server closes the stream or `timeout` passes.
    std::string readAll(std::chrono::milliseconds timeout) {
        return readUntil([](const std::string &) { return false; }, timeout);
    }

    // Everything that arrives until what has arrived is `enough`, the stream ends or `timeout` passes.
    std::string readUntil(const std::function<bool(const std::string &)> &enough,
                          std::chrono::milliseconds timeout = kPatience) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!enough(pending_) && receive(deadline)) {
        }
        std::string all;
        all.swap(pending_);
        return all;
    }

    // Everything that arrives until at least `count` bytes have, or as `readUntil`.
    std::string readAtLeast(std::size_t count, std::chrono::milliseconds timeout = kPatience) {
        return readUntil([count](const std::string &arrived) { return arrived.size() >= count; }, timeout);
    }

    // What one receive brings, at most `limit` bytes, or "" if nothing arrives in time.
    std::string readSome(std::size_t limit, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) {
        if (pending_.empty()) receive(std::chrono::steady_clock::now() + timeout, limit);
        std::string some = pending_.substr(0, limit);
        pending_.erase(0, some.size());
        return some;
    }

    // True once the server has ended the stream (end of file or reset).
    bool streamEnded(std::chrono::milliseconds timeout = kPatience) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (receive(deadline)) {
        }
        return ended_;
    }

    // Sends filler bytes, as many as the socket takes without waiting, up to `limit`; returns how many.
    std::size_t sendWithoutWaiting(std::size_t limit) {
        static const std::string filler(65536, '#');
        std::size_t sent = 0;
        while (socket_ != -1 && sent < limit) {
            std::size_t size = std::min(limit - sent, filler.size());
            ssize_t count = send(socket_, filler.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (count <= 0) break;
            sent += static_cast<std::size_t>(count);
        }
        return sent;
    }

    // The port this end of the connection was given, or -1.
    int localPort() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (getsockname(socket_, reinterpret_cast<sockaddr *>(&address), &length) != 0) return -1;
        return ntohs(address.sin_port);
    }

    // Drops the connection with a reset instead of an orderly close.
    void abort() {
        linger immediately{1, 0};
        if (socket_ != -1) setsockopt(socket_, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
        close();
    }

    void close() {
        if (socket_ != -1) ::close(socket_);
        socket_ = -1;
        pending_.clear();
        ended_ = false;
    }

private:
    // Appends what arrives before the deadline; false on time-out or end of stream.
    bool receive(std::chrono::steady_clock::time_point deadline, std::size_t limit = 65536) {
        if (socket_ == -1 || ended_) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry{socket_, POLLIN, 0};
        if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[65536];
        ssize_t count = recv(socket_, chunk, std::min(limit, sizeof chunk), 0);
        if (count <= 0) {
            ended_ = true;
            return false;
        }
        pending_.append(chunk, static_cast<std::size_t>(count));
        return true;
    }

    sockaddr_in server_;
    int socket_ = -1;
    std::string pending_;
    bool ended_ = false;
};

// Another program's socket listening on the feed port. It binds over connections of earlier tests
// still in TIME_WAIT, but not while anything else listens there.
class PortHolder {
public:
    bool bind() {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int reuse = 1;
        setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kFeedPort);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        return ::bind(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
               ::listen(socket_, 4) == 0;
    }
    void release() {
        if (socket_ != -1) ::close(socket_);
        socket_ = -1;
    }
    ~PortHolder() { release(); }

private:
    int socket_ = -1;
};
