#include "SocketShortage.h"

#include <algorithm>

namespace {

constexpr std::chrono::seconds kAcceptPause(1);

}  // namespace

bool AcceptPause::holdOff() {
    until = Steady::now() + kAcceptPause;
    bool first = !failing;
    failing = true;
    return first;
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
