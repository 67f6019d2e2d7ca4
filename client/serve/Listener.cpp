#include "serve/Listener.h"

#include <chrono>

#include "system/ClientPlatform.h"
#include "system/Notice.h"
#include "system/WaitLoop.h"

namespace {

constexpr std::chrono::seconds kAcceptPause(1);
static_assert(kAcceptPause == std::chrono::seconds(1), "acceptNext's notice says \"every second\"");

}  // namespace

Listener::~Listener() {
    if (socket != INVALID_SOCKET) closesocket(socket);
}

bool Listener::listen(int port, std::string &error) {
    socket = openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (socket != INVALID_SOCKET && allowBindOverTimeWait(socket) && setNonBlocking(socket) &&
        bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::listen(socket, SOMAXCONN) == 0) {
        return true;
    }
    error = socketErrorText(WSAGetLastError());
    if (socket != INVALID_SOCKET) closesocket(socket);
    socket = INVALID_SOCKET;
    return false;
}

int Listener::port() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

void Listener::addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const {
    if (SteadyClock::now() >= heldOffUntil) {
        entries.push_back({socket, POLLIN, 0});
        return;
    }
    entries.push_back({INVALID_SOCKET, POLLIN, 0});
    shortenWait(waitMilliseconds, heldOffUntil);
}

SOCKET Listener::acceptNext() {
    for (;;) {
        const char *failedCall;
        SOCKET client = acceptClient(socket, failedCall);
        if (client != INVALID_SOCKET) {
            failing = false;
            return client;
        }
        int error = WSAGetLastError();
        if (isClientGoneBeforeAccept(error)) continue;
        if (isWouldBlock(error)) return INVALID_SOCKET;  // none waiting
        // Most likely out of sockets (descriptors): the client still waits, and the listener stays readable.
        heldOffUntil = SteadyClock::now() + kAcceptPause;
        if (!failing) {
            notice(server + ": cannot take clients: " + failedCall + " failed: " + socketErrorText(error) +
                   "; trying again every second");
        }
        failing = true;
        return INVALID_SOCKET;
    }
}

std::string peerAddress(SOCKET socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getpeername(socket, reinterpret_cast<sockaddr *>(&address), &length);
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}
