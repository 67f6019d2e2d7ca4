#include <process.h>

#include "Platform.h"

bool setNonBlocking(SOCKET socket) {
    u_long nonBlocking = 1;
    return ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

bool makeNonInheritable(SOCKET socket) {
    return SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0) != 0;
}

bool claimPortExclusively(SOCKET socket) {
    BOOL exclusive = TRUE;
    return setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&exclusive),
                      sizeof exclusive) == 0;
}

bool suppressSigPipe(SOCKET) { return true; }

const char *describeSocketError(int error) {
    switch (error) {
    case WSAEADDRINUSE: return "address already in use: another program holds the port";
    case WSAEACCES: return "permission denied: the port may be reserved or held exclusively by another program";
    case WSAECONNRESET: return "connection reset: the client closed the connection or reset it";
    case WSAECONNABORTED: return "connection aborted";
    case WSAETIMEDOUT: return "timed out: the client stopped answering";
    case WSAEMFILE: return "too many open sockets";
    case WSAENOBUFS: return "no buffer space";
    case WSAENETDOWN: return "the network is down";
    case WSASYSNOTREADY: return "the network subsystem is not ready";
    case WSAVERNOTSUPPORTED: return "Windows Sockets 2.2 is not available";
    default: return nullptr;
    }
}

bool isWouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR; }

int waitReadable(SOCKET socket, int milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &timeout);
}

void sleepMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

// _beginthread takes a reference on the module that holds `procedure` and drops it when the thread ends.
bool startDetachedThread(void (*procedure)(void *), void *argument) {
    return _beginthread(procedure, 0, argument) != static_cast<uintptr_t>(-1);
}
