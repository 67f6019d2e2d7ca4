#include "serve/AcceptPause.h"

#include <algorithm>

#include "system/ClientPlatform.h"
#include "system/Notice.h"

namespace {

constexpr std::chrono::seconds kAcceptPause(1);

}  // namespace

SOCKET AcceptPause::acceptNext(SOCKET listener, const std::string &server) {
    for (;;) {
        const char *failedCall;
        SOCKET socket = acceptClient(listener, failedCall);
        if (socket != INVALID_SOCKET) {
            failing = false;
            return socket;
        }
        int error = WSAGetLastError();
        if (isClientGoneBeforeAccept(error)) continue;
        if (isWouldBlock(error)) return INVALID_SOCKET;  // none waiting
        // Most likely out of sockets (descriptors): the client still waits, and the listener stays readable.
        until = Steady::now() + kAcceptPause;
        if (!failing) {
            notice(server + ": cannot take clients: " + failedCall + " failed: " + socketErrorText(error) +
                   "; trying again every second");
        }
        failing = true;
        return INVALID_SOCKET;
    }
}

void AcceptPause::addToPoll(SOCKET listener, std::vector<WSAPOLLFD> &entries, int &milliseconds) const {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Steady::now()).count();
    if (left <= 0) {
        entries.push_back({listener, POLLIN, 0});
        return;
    }
    entries.push_back({INVALID_SOCKET, POLLIN, 0});
    milliseconds = milliseconds < 0 ? static_cast<int>(left) : std::min(milliseconds, static_cast<int>(left));
}

void ReservedSocket::release() {
    if (placeholder != INVALID_SOCKET) closesocket(placeholder);
    placeholder = INVALID_SOCKET;
}

void ReservedSocket::hold() {
    if (placeholder == INVALID_SOCKET) placeholder = openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}
