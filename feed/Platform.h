#pragma once

// The socket and thread calls the feed uses: Winsock on Windows, and on Linux a thin layer that gives
// the same names to the BSD socket calls.

#if defined(_WIN32)

#include <winsock2.h>
#include <ws2tcpip.h>

// Winsock's send never raises a signal.
constexpr int kSendFlags = 0;

// The call that waits for a client, as the log names it.
constexpr const char *kWaitCall = "select";

#else

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
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
using WSAPOLLFD = pollfd;
inline int WSAPoll(WSAPOLLFD *sockets, unsigned long count, int milliseconds) { return poll(sockets, count, milliseconds); }

#ifndef MAKEWORD
#define MAKEWORD(low, high) static_cast<unsigned short>((low) | ((high) << 8))
#endif

// A send to a client that has gone must fail with EPIPE, not kill the simulator with SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;

constexpr const char *kWaitCall = "poll";

#endif

// Creates a socket that child processes do not inherit, from the start. INVALID_SOCKET on failure.
SOCKET openSocket(int family, int type, int protocol);

bool setNonBlocking(SOCKET socket);

// Lets the listening socket bind the port while connections of an earlier one linger there (TIME_WAIT).
// False if the system refused it.
bool allowBindOverTimeWait(SOCKET socket);

// Accepts a pending client on the non-blocking `listenSocket`. The client's socket is non-blocking and not
// inherited by child processes. INVALID_SOCKET on failure, with `failedCall` naming the call that failed
// and WSAGetLastError() its error.
SOCKET acceptClient(SOCKET listenSocket, const char *&failedCall);

// True for an accept error that the client caused, by going away before its connection was taken.
bool isClientGoneBeforeAccept(int error);

// Bounds how long data sent to `client` may stay unacknowledged before the system ends the connection, so
// that a client that vanished is noticed in about that time; and makes sure the client's socket stays out
// of child processes. The client can be served without these: false if the system refused one, with
// `failedCall` naming it and WSAGetLastError() its error.
bool protectClient(SOCKET client, int unacknowledgedSeconds, const char *&failedCall);

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
