#include "feed/Platform.h"

// Winsock's bound on a connection's retransmissions, in seconds (ws2ipdef.h); older mingw-w64 headers
// lack it.
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif

// WSA_FLAG_OVERLAPPED keeps everything else as socket() makes it.
SOCKET openSocket(int family, int type, int protocol) {
    return WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool setNonBlocking(SOCKET socket) {
    u_long nonBlocking = 1;
    return ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

// Windows binds a port over its connections in TIME_WAIT without any option, so none is set. Neither fits:
// SO_REUSEADDR would let another socket take the port from under the listener; SO_EXCLUSIVEADDRUSE makes
// a later bind with it fail as long as a connection that the earlier socket accepted is not yet inactive,
// TIME_WAIT included, which can keep a stopped, reloaded or restarted plug-in off its own port for
// minutes after it served a client. Since Windows Server 2003, the system itself refuses another user's
// process that tries to take a bound port with SO_REUSEADDR.
bool allowBindOverTimeWait(SOCKET) { return true; }

SOCKET acceptClient(SOCKET listenSocket, const char *&failedCall) {
    failedCall = "accept";
    SOCKET client = accept(listenSocket, nullptr, nullptr);
    if (client == INVALID_SOCKET || setNonBlocking(client)) return client;
    int error = WSAGetLastError();
    closesocket(client);
    failedCall = "ioctlsocket";
    WSASetLastError(error);
    return INVALID_SOCKET;
}

bool isClientGoneBeforeAccept(int error) { return error == WSAECONNRESET || error == WSAECONNABORTED; }

// The accepted socket may not take WSA_FLAG_NO_HANDLE_INHERIT from the listening one (under Wine it does
// not), so it is marked here, which security software and layered providers can make fail. TCP_MAXRT is
// how long the connection goes on retransmitting unacknowledged data before it gives up.
bool protectClient(SOCKET client, int unacknowledgedSeconds, const char *&failedCall) {
    failedCall = nullptr;
    int firstError = 0;
    auto refused = [&](const char *call, int error) {
        if (failedCall) return;
        failedCall = call;
        firstError = error;
    };
    if (!SetHandleInformation(reinterpret_cast<HANDLE>(client), HANDLE_FLAG_INHERIT, 0)) {
        refused("SetHandleInformation", static_cast<int>(GetLastError()));
    }
    DWORD seconds = static_cast<DWORD>(unacknowledgedSeconds);
    if (setsockopt(client, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char *>(&seconds), sizeof seconds) != 0) {
        refused("setsockopt", WSAGetLastError());
    }
    WSASetLastError(firstError);
    return failedCall == nullptr;
}

const char *describeSocketError(int error) {
    switch (error) {
    case WSAEADDRINUSE: return "address already in use: another program holds the port";
    case WSAEACCES: return "permission denied: the port may be reserved or held exclusively by another program";
    case WSAECONNRESET: return "connection reset: the client closed the connection or reset it";
    case WSAECONNABORTED: return "connection aborted by this system, most often because the client stopped answering";
    case WSAETIMEDOUT: return "timed out: the client stopped answering";
    case WSAENETRESET: return "connection broken: the client stopped answering the system's checks";
    case WSAEHOSTUNREACH: return "host unreachable: the client's machine cannot be reached";
    case WSAEHOSTDOWN: return "host down: the client's machine does not answer";
    case WSAENETUNREACH: return "network unreachable: no route to the client's network";
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

namespace {

struct ThreadStart {
    void (*procedure)(void *);
    void *argument;
    HMODULE module;
};

DWORD WINAPI runThread(void *opaque) {
    ThreadStart start = *static_cast<ThreadStart *>(opaque);
    delete static_cast<ThreadStart *>(opaque);
    start.procedure(start.argument);
    // Drops the thread's reference in kernel32 and ends the thread there, so that no frame of this module
    // is left on the thread when it was the last reference and the module goes.
    FreeLibraryAndExitThread(start.module, 0);
}

}  // namespace

// msvcrt.dll's _beginthread takes no reference on the module (only the Universal CRT's does), so the
// thread takes its own. CreateThread is enough: msvcrt.dll frees a thread's runtime data itself when the
// thread ends.
bool startDetachedThread(void (*procedure)(void *), void *argument) {
    // The reference is taken here, on the starting thread, so the module is held from the first moment.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&runThread),
                            &module)) {
        return false;
    }
    auto *start = new ThreadStart{procedure, argument, module};
    HANDLE thread = CreateThread(nullptr, 0, runThread, start, 0, nullptr);
    if (!thread) {
        delete start;
        FreeLibrary(module);
        return false;
    }
    CloseHandle(thread);
    return true;
}
