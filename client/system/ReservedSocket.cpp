#include "system/ReservedSocket.h"

void ReservedSocket::release() {
    if (placeholder != INVALID_SOCKET) closesocket(placeholder);
    placeholder = INVALID_SOCKET;
}

void ReservedSocket::hold() {
    if (placeholder == INVALID_SOCKET) placeholder = openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}
