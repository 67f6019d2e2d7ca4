#include "feed/PositionServer.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

// A waiting listener sleeps until a client comes; stop wakes it by connecting itself. Should that
// connection never arrive, the listener still looks for a stop request this often.
constexpr int kStopCheckMilliseconds = 500;

// How long data sent to a client may go unacknowledged before the system gives the client up: a client
// that vanished without a word is then noticed by a failing send within this and a tick.
constexpr int kUnacknowledgedSeconds = 20;

void listenerThread(void *server) { static_cast<PositionServer *>(server)->listenForClient(); }

// One diagnostic on standard output, formatted whole and then written with one call, so that even an
// unbuffered stream (a Windows console) takes it in one write rather than one a character.
__attribute__((format(printf, 1, 2))) void say(const char *format, ...) {
    char text[128];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length > 0) std::fwrite(text, 1, std::min(static_cast<std::size_t>(length), sizeof text - 1), stdout);
}

// Starts a connection to our own port, without waiting for it, to wake a waiting listener.
SOCKET connectToListener() {
    SOCKET wake = openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (wake == INVALID_SOCKET) return wake;
    setNonBlocking(wake);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(PositionServer::kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(wake, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    return wake;
}

// Closes with a reset rather than a farewell, so that the connection leaves nothing in TIME_WAIT.
void closeAbortively(SOCKET socket) {
    linger immediately{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&immediately), sizeof immediately);
    closesocket(socket);
}

}  // namespace

// ---- The listener thread: it never calls the host, and shares only clientSocket, listening and events ----

int PositionServer::listenForClient() {
    if (listenerThreadStarting) listenerThreadStarting();
    // Stop may have come before this thread ran, and not waited for it: then it never touches the port.
    int starting = kStarting;
    if (!listening.compare_exchange_strong(starting, kListening)) {
        listening.store(kNotListening);
        return 0;
    }
    Failure failure = openAndAccept();
    if (failure.call) {
        FeedEvent event{FeedEvent::Kind::kFailed};
        event.call = failure.call;
        event.error = failure.error;
        events.push(event);
    }
    // After the listening socket is closed: stop waits for this to know the port is free, and the next
    // tick may then start another listener.
    listening.store(kNotListening);
    // Told last, so that whoever reads it knows that this listener has ended.
    if (failure.call) say("%s failed with error: %d\n", failure.call, failure.error);
    return failure.call ? 1 : 0;
}

PositionServer::Failure PositionServer::openAndAccept() {
    WSADATA wsaData;
    int error = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (error != 0) return {"WSAStartup", error};

    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[8];  // the port, as getaddrinfo takes it
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(kPort));
    addrinfo *result = nullptr;
    error = getaddrinfo(nullptr, service, &hints, &result);
    if (error != 0) {
        WSACleanup();
        return {"getaddrinfo", error};
    }

    listenSocket = openSocket(result->ai_family, result->ai_socktype, result->ai_protocol);
    if (listenSocket == INVALID_SOCKET) {
        error = WSAGetLastError();
        freeaddrinfo(result);
        WSACleanup();
        return {"socket", error};
    }
    allowBindOverTimeWait(listenSocket);

    if (bind(listenSocket, result->ai_addr, static_cast<int>(result->ai_addrlen)) == SOCKET_ERROR) {
        error = WSAGetLastError();
        freeaddrinfo(result);
        closesocket(listenSocket);
        WSACleanup();
        return {"bind", error};
    }
    freeaddrinfo(result);

    // Non-blocking, so a client that gives up between the wake-up and accept cannot stall the listener.
    setNonBlocking(listenSocket);
    if (listen(listenSocket, SOMAXCONN) == SOCKET_ERROR) {
        error = WSAGetLastError();
        closesocket(listenSocket);
        WSACleanup();
        return {"listen", error};
    }
    events.push({FeedEvent::Kind::kListening});

    const char *failedCall = nullptr;
    SOCKET client = waitForClient(failedCall);
    if (client == INVALID_SOCKET) {
        error = WSAGetLastError();
        closesocket(listenSocket);
        WSACleanup();
        if (listening.load() == kStopRequested) return {};
        return {failedCall, error};
    }

    // The client is served even where the system refuses these; standard output says which.
    if (!protectClient(client, kUnacknowledgedSeconds, failedCall)) {
        say("%s failed with error: %d\n", failedCall, WSAGetLastError());
    }
    FeedEvent connected{FeedEvent::Kind::kClientConnected};
    sockaddr_in peer{};
    socklen_t peerSize = sizeof peer;
    if (getpeername(client, reinterpret_cast<sockaddr *>(&peer), &peerSize) == 0) {
        connected.address = ntohl(peer.sin_addr.s_addr);
        connected.port = ntohs(peer.sin_port);
    }
    events.push(connected);
    clientSocket.store(client);
    closesocket(listenSocket);  // no further clients while this one is served
    return {};
}

// The next client, or INVALID_SOCKET on a stop request or on failure, with `failedCall` naming the call
// that failed.
SOCKET PositionServer::waitForClient(const char *&failedCall) {
    while (listening.load() == kListening) {
        int ready = waitReadable(listenSocket, kStopCheckMilliseconds);
        if (ready == SOCKET_ERROR && !isWouldBlock(WSAGetLastError())) {
            failedCall = kWaitCall;
            return INVALID_SOCKET;
        }
        if (ready != 1) continue;
        SOCKET client = acceptClient(listenSocket, failedCall);
        if (client == INVALID_SOCKET) {
            // A client that gave up before it was taken is no reason to stop listening.
            int error = WSAGetLastError();
            if (isWouldBlock(error) || isClientGoneBeforeAccept(error)) continue;
            return INVALID_SOCKET;
        }
        // After a stop request, whoever connected (most likely stop itself) is not served.
        if (listening.load() != kListening) {
            closeAbortively(client);
            return INVALID_SOCKET;
        }
        return client;
    }
    return INVALID_SOCKET;
}

// ---- The host's thread ----

void PositionServer::startListener() {
    listening.store(kStarting);
    if (!startDetachedThread(listenerThread, this)) listening.store(kNotListening);
}

void PositionServer::deliverEvents() {
    FeedEvent event;
    while (events.pop(event)) {
        if (eventHandler) eventHandler(event);
    }
}

// Host's thread: after whatever the listener told before it.
void PositionServer::tell(const FeedEvent &event) {
    deliverEvents();
    if (eventHandler) eventHandler(event);
}

int PositionServer::sendFlightData(FlightData snapshot) {
    if (!isConnected()) return 0;

    // The rest of an earlier line goes first. This tick's line counts once: as sent if the socket takes
    // its beginning (its rest then goes out on later ticks), else as dropped.
    int bytesSent = 0, error = 0;
    bool sendFailed = unsentBegin < unsentEnd && !sendUnsent(bytesSent, error);
    bool begun = false;
    if (!sendFailed && unsentBegin == unsentEnd) {
        // A line that does not fit is not sent at all rather than cut short.
        unsentEnd = formatPositionLine(snapshot, line, sizeof line);
        int before = bytesSent;
        if (unsentEnd > 0) sendFailed = !sendUnsent(bytesSent, error);
        begun = bytesSent > before;
        // A line the socket took nothing of is dropped: the next tick brings a fresher one.
        if (!begun) unsentEnd = 0;
    }
    ++(begun ? linesSent : linesDropped);

    if (sendFailed) {
        // No line feed: programs that read this output rely on it byte for byte as the plug-in has always
        // written it, so a failed shutdown, or else the next "Bytes sent", goes on the same line.
        say("connection closed");
        closeConnection();
        say("Bytes sent: %d\n", SOCKET_ERROR);
        FeedEvent lost{FeedEvent::Kind::kClientLost};
        lost.error = error;
        tell(lost);
        return 1;
    }
    say("Bytes sent: %d\n", bytesSent);
    return 0;
}

// Sends what the socket will take now of the unsent part of the line, adding it to bytesSent.
// False on a real send error, with `error` its code; a send that would block is not one.
bool PositionServer::sendUnsent(int &bytesSent, int &error) {
    int result = static_cast<int>(send(clientSocket.load(), line + unsentBegin, unsentEnd - unsentBegin, kSendFlags));
    if (result == SOCKET_ERROR) {
        error = WSAGetLastError();
        return isWouldBlock(error);
    }
    bytesSent += result;
    unsentBegin += result;
    if (unsentBegin == unsentEnd) unsentBegin = unsentEnd = 0;
    return true;
}

int PositionServer::closeConnection() {
    SOCKET client = clientSocket.load();
    int status = 0;
    if (shutdown(client, SD_SEND) == SOCKET_ERROR) {
        say("shutdown failed with error: %d\n", WSAGetLastError());
        status = 1;
    }
    closesocket(client);
    clientSocket.store(INVALID_SOCKET);
    WSACleanup();
    unsentBegin = unsentEnd = 0;  // the rest of a line is no use to the next client
    return status;
}

void PositionServer::stop() {
    int state = listening.load();
    while ((state == kStarting || state == kListening) && !listening.compare_exchange_weak(state, kStopRequested)) {
    }
    // A running listener is woken, and ends within moments: every call it makes returns at once, or after
    // at most its stop check.
    if (state == kListening) {
        SOCKET wake = INVALID_SOCKET;
        WSADATA wsaData;
        bool started = WSAStartup(MAKEWORD(2, 2), &wsaData) == 0;
        if (started) wake = connectToListener();
        while (listening.load() != kNotListening) sleepMilliseconds(1);
        if (wake != INVALID_SOCKET) closeAbortively(wake);
        if (started) WSACleanup();
    }
    if (isConnected()) closeConnection();

    FeedEvent stopped{FeedEvent::Kind::kStopped};
    stopped.linesSent = linesSent;
    stopped.linesDropped = linesDropped;
    tell(stopped);
    linesSent = linesDropped = 0;
}
