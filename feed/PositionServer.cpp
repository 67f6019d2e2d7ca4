#include "PositionServer.h"

#include <chrono>
#include <cstdio>

namespace {

constexpr unsigned short kPortNumber = 27015;
const char *const kService = "27015";  // the port, as getaddrinfo takes it

// A waiting listener sleeps until a client comes; stop wakes it by connecting itself. Should that
// connection never arrive, the listener still looks for a stop request this often.
constexpr int kStopCheckMilliseconds = 500;
constexpr std::chrono::seconds kStopTimeout{1};

// How long data sent to a client may go unacknowledged before the system gives the client up: a client
// that vanished without a word is then noticed by a failing send within this and a tick.
constexpr int kUnacknowledgedSeconds = 20;

void listenerThread(void *server) { static_cast<PositionServer *>(server)->listenForClient(); }

// Starts a connection to our own port, without waiting for it, to wake a waiting listener.
SOCKET connectToListener() {
    SOCKET wake = openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (wake == INVALID_SOCKET) return wake;
    setNonBlocking(wake);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPortNumber);
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

void PositionServer::startListener() {
    listening.store(kListening);
    if (!startDetachedThread(listenerThread, this)) listening.store(kNotListening);
}

int PositionServer::listenForClient() {
    int status = openAndAccept();
    // Last, after the listening socket is closed: stop waits for this to know the port is free.
    listening.store(kNotListening);
    return status;
}

int PositionServer::openAndAccept() {
    WSADATA wsaData;
    int error = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (error != 0) {
        std::printf("WSAStartup failed with error: %d\n", error);
        return 1;
    }

    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *result = nullptr;
    error = getaddrinfo(nullptr, kService, &hints, &result);
    if (error != 0) {
        std::printf("getaddrinfo failed with error: %d\n", error);
        WSACleanup();
        return 1;
    }

    listenSocket = openSocket(result->ai_family, result->ai_socktype, result->ai_protocol);
    if (listenSocket == INVALID_SOCKET) {
        std::printf("socket failed with error: %ld\n", static_cast<long>(WSAGetLastError()));
        freeaddrinfo(result);
        WSACleanup();
        return 1;
    }
    allowBindOverTimeWait(listenSocket);

    if (bind(listenSocket, result->ai_addr, static_cast<int>(result->ai_addrlen)) == SOCKET_ERROR) {
        std::printf("bind failed with error: %d\n", WSAGetLastError());
        freeaddrinfo(result);
        closesocket(listenSocket);
        WSACleanup();
        return 1;
    }
    freeaddrinfo(result);

    // Non-blocking, so a client that gives up between the wake-up and accept cannot stall the listener.
    setNonBlocking(listenSocket);
    if (listen(listenSocket, SOMAXCONN) == SOCKET_ERROR) {
        std::printf("listen failed with error: %d\n", WSAGetLastError());
        closesocket(listenSocket);
        WSACleanup();
        return 1;
    }

    const char *failedCall = nullptr;
    SOCKET client = waitForClient(failedCall);
    if (client == INVALID_SOCKET) {
        bool stopped = listening.load() == kStopRequested;
        if (!stopped) std::printf("%s failed with error: %d\n", failedCall, WSAGetLastError());
        closesocket(listenSocket);
        WSACleanup();
        return stopped ? 0 : 1;
    }

    // The client is served even where the system refuses these; the log says which.
    if (!protectClient(client, kUnacknowledgedSeconds, failedCall)) {
        std::printf("%s failed with error: %d\n", failedCall, WSAGetLastError());
    }
    clientSocket.store(client);
    closesocket(listenSocket);  // no further clients while this one is served
    return 0;
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

int PositionServer::sendFlightData(FlightData snapshot) {
    if (!isConnected()) return 0;

    int bytesSent = 0;
    bool sendFailed = unsentBegin < unsentEnd && !sendUnsent(bytesSent);
    if (!sendFailed && unsentBegin == unsentEnd) {
        // A line that does not fit is not sent at all rather than cut short.
        unsentBegin = 0;
        unsentEnd = formatPositionLine(snapshot, line, sizeof line);
        if (unsentEnd > 0) sendFailed = !sendUnsent(bytesSent);
        // A line the socket took nothing of is dropped: the next tick brings a fresher one.
        if (unsentBegin == 0) unsentEnd = 0;
    }

    if (sendFailed) {
        std::printf("connection closed");
        closeConnection();
        std::printf("Bytes sent: %d\n", SOCKET_ERROR);
        return 1;
    }
    std::printf("Bytes sent: %d\n", bytesSent);
    return 0;
}

// Sends what the socket will take now of the unsent part of the line, adding it to bytesSent.
// False on a real send error; a send that would block is not one.
bool PositionServer::sendUnsent(int &bytesSent) {
    int result = static_cast<int>(send(clientSocket.load(), line + unsentBegin, unsentEnd - unsentBegin, kSendFlags));
    if (result == SOCKET_ERROR) return isWouldBlock(WSAGetLastError());
    bytesSent += result;
    unsentBegin += result;
    if (unsentBegin == unsentEnd) unsentBegin = unsentEnd = 0;
    return true;
}

int PositionServer::closeConnection() {
    SOCKET client = clientSocket.load();
    int status = 0;
    if (shutdown(client, SD_SEND) == SOCKET_ERROR) {
        std::printf("shutdown failed with error: %d\n", WSAGetLastError());
        status = 1;
    }
    closesocket(client);
    clientSocket.store(INVALID_SOCKET);
    WSACleanup();
    unsentBegin = unsentEnd = 0;  // the rest of a line is no use to the next client
    return status;
}

void PositionServer::stop() {
    int expected = kListening;
    SOCKET wake = INVALID_SOCKET;
    WSADATA wsaData;
    bool wakeListener = listening.compare_exchange_strong(expected, kStopRequested) &&
                        WSAStartup(MAKEWORD(2, 2), &wsaData) == 0;
    if (wakeListener) wake = connectToListener();
    auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    while (isListening() && std::chrono::steady_clock::now() < deadline) {
        sleepMilliseconds(1);
    }
    if (wakeListener) {
        if (wake != INVALID_SOCKET) closeAbortively(wake);
        WSACleanup();
    }
    if (isConnected()) closeConnection();
}
