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
