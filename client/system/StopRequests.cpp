#include "system/StopRequests.h"

#include "system/ClientPlatform.h"

namespace {

SOCKET gStopSocket = INVALID_SOCKET;

SOCKET makeStopSocket() {
    SOCKET stop = openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto *generic = reinterpret_cast<sockaddr *>(&address);
    if (stop != INVALID_SOCKET && bind(stop, generic, length) == 0 && getsockname(stop, generic, &length) == 0 &&
        connect(stop, generic, length) == 0) {
        return stop;
    }
    if (stop != INVALID_SOCKET) closesocket(stop);
    return INVALID_SOCKET;
}

}  // namespace

bool startStopRequests() {
    gStopSocket = makeStopSocket();
    if (gStopSocket == INVALID_SOCKET) return false;
    catchStopRequests(requestStop);
    return true;
}

void requestStop() { send(gStopSocket, "", 1, kSendFlags); }

SOCKET stopSocket() { return gStopSocket; }

void takeStopRequests() {
    WSAPOLLFD stop{gStopSocket, POLLIN, 0};
    char request;
    while (WSAPoll(&stop, 1, 0) > 0 && recv(gStopSocket, &request, 1, 0) >= 0) {
    }
}

void waitForStopRequest(int milliseconds) {
    WSAPOLLFD stop{gStopSocket, POLLIN, 0};
    WSAPoll(&stop, 1, milliseconds);
}
