#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>

#include "feed/Platform.h"

SOCKET openSocket(int family, int type, int protocol) { return socket(family, type | SOCK_CLOEXEC, protocol); }

bool setNonBlocking(SOCKET socket) {
    int flags = fcntl(socket, F_GETFL);
    return flags != -1 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool allowBindOverTimeWait(SOCKET socket) {
    int reuse = 1;
    return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == 0;
}

SOCKET acceptClient(SOCKET listenSocket, const char *&failedCall) {
    failedCall = "accept";
    return accept4(listenSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

bool isClientGoneBeforeAccept(int error) {
    // Linux hands a new connection's pending network error to accept, and asks that it be taken as a
    // reason to try again.
    switch (error) {
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
        return true;
    default:
        return false;
    }
}

// The socket is already kept out of child processes (accept4), and each send asks for no signal.
bool protectClient(SOCKET client, int unacknowledgedSeconds, const char *&failedCall) {
    failedCall = "setsockopt";
    unsigned int milliseconds = static_cast<unsigned int>(unacknowledgedSeconds) * 1000;
    return setsockopt(client, IPPROTO_TCP, TCP_USER_TIMEOUT, &milliseconds, sizeof milliseconds) == 0;
}

// Not strerror: its words follow the process locale, and some of them mislead here.
const char *describeSocketError(int error) {
    switch (error) {
    case EADDRINUSE: return "address already in use: another program holds the port";
    case EACCES: return "permission denied";
    case EPIPE: return "end of stream: the client closed the connection";
    case ECONNRESET: return "connection reset by the client";
    case ECONNABORTED: return "connection aborted by this system";
    case ETIMEDOUT: return "timed out: the client stopped answering";
    case EHOSTUNREACH: return "host unreachable: the client's machine cannot be reached";
    case EHOSTDOWN: return "host down: the client's machine does not answer";
    case ENETUNREACH: return "network unreachable: no route to the client's network";
    case ENETDOWN: return "the network is down";
    case EMFILE: return "too many open files";
    case ENOBUFS: return "no buffer space";
    default: return nullptr;
    }
}

bool isWouldBlock(int error) { return error == EWOULDBLOCK || error == EAGAIN || error == EINTR; }

int waitReadable(SOCKET socket, int milliseconds) {
    pollfd entry{socket, POLLIN, 0};
    int ready = poll(&entry, 1, milliseconds);
    return ready < 0 ? SOCKET_ERROR : ready;
}

void sleepMilliseconds(int milliseconds) { usleep(static_cast<useconds_t>(milliseconds) * 1000); }

namespace {

// Each thread's reference on this module, released by the key's destructor, which glibc calls after the
// thread procedure has returned. The destructor is dlclose, which returns to glibc, so no frame of this
// module is left on the thread when the last reference goes (on Windows, FreeLibraryAndExitThread does the
// same). Where dlclose is wrapped (LinuxRuntime.cpp), the wrapper only jumps to it.
class ModuleReferences {
public:
    ModuleReferences() {
        // dlclose's int result is unused; the call through this type is sound on every ABI we target.
        auto release = reinterpret_cast<void (*)(void *)>(reinterpret_cast<void (*)()>(&dlclose));
        ready = pthread_key_create(&key, release) == 0;
    }
    ~ModuleReferences() {
        if (ready) pthread_key_delete(key);
    }

    // A new reference on the module holding this code, or null where there is none to take (the code
    // is linked into the executable).
    static void *acquire() {
        Dl_info info;
        if (dladdr(reinterpret_cast<void *>(&ModuleReferences::acquire), &info) == 0 || !info.dli_fname) {
            return nullptr;
        }
        return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    }

    // Hands `reference` to the calling thread, to be released when it ends.
    void holdUntilThreadEnds(void *reference) {
        if (reference && (!ready || pthread_setspecific(key, reference) != 0)) dlclose(reference);
    }

private:
    pthread_key_t key{};
    bool ready = false;
};

ModuleReferences moduleReferences;

struct ThreadStart {
    void (*procedure)(void *);
    void *argument;
    void *moduleReference;
};

void *runThread(void *opaque) {
    ThreadStart start = *static_cast<ThreadStart *>(opaque);
    delete static_cast<ThreadStart *>(opaque);
    moduleReferences.holdUntilThreadEnds(start.moduleReference);
    start.procedure(start.argument);
    return nullptr;
}

}  // namespace

bool startDetachedThread(void (*procedure)(void *), void *argument) {
    // The reference is taken here, on the starting thread, so the module is held from the first moment.
    auto *start = new ThreadStart{procedure, argument, ModuleReferences::acquire()};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    bool started = pthread_create(&thread, &attributes, runThread, start) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        if (start->moduleReference) dlclose(start->moduleReference);
        delete start;
    }
    return started;
}
