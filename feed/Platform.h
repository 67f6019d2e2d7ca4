#pragma once

// The socket and thread calls the feed uses: Winsock on Windows, and on POSIX a thin layer that gives
// the same names to the BSD socket calls.

#if defined(_WIN32)

#include <winsock2.h>
#include <ws2tcpip.h>

// Winsock's send never raises a signal.
constexpr int kSendFlags = 0;

#else

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr int SD_SEND = SHUT_WR;

struct WSADATA {};
inline int WSAStartup(unsigned short, WSADATA *) { return 0; }
inline int WSACleanup() { return 0; }
inline int WSAGetLastError() { return errno; }
inline int closesocket(SOCKET socket) { return close(socket); }

#ifndef MAKEWORD
#define MAKEWORD(low, high) static_cast<unsigned short>((low) | ((high) << 8))
#endif

// A send to a client that has gone must fail with EPIPE, not kill the simulator with SIGPIPE.
#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // macOS: SO_NOSIGPIPE is set on the socket instead
#endif

#endif

// Socket settings that differ between the platforms. Each returns false if the system refused it.
bool setNonBlocking(SOCKET socket);
bool makeNonInheritable(SOCKET socket);
// Windows: nobody else may bind the port while we hold it. POSIX: it binds again at once after we
// close a connection (TIME_WAIT).
bool claimPortExclusively(SOCKET socket);
bool suppressSigPipe(SOCKET socket);

// What a socket error code means, in a few words for a person, or null for a code without them here.
const char *describeSocketError(int error);

// True for the error of a non-blocking call that would have had to wait, or was interrupted.
bool isWouldBlock(int error);

// Waits up to `milliseconds` for `socket` to become readable: 1 if it is, 0 on time-out, SOCKET_ERROR
// on failure.
int waitReadable(SOCKET socket, int milliseconds);

// Sleeps the calling thread. On Windows, std::this_thread would give the host's thread a record in this
// module's own copy of winpthreads, whose handles nobody frees once the module is unloaded.
void sleepMilliseconds(int milliseconds);

// Starts `procedure(argument)` on a new detached thread with the default stack size. The thread holds a
// reference on this module, taken before it starts, until it has left the module's code for good, so the
// module cannot be unloaded under it. False if no thread could be started.
bool startDetachedThread(void (*procedure)(void *), void *argument);
