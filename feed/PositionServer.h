#pragma once

#include <atomic>

#include "feed/FeedEvent.h"
#include "feed/FlightData.h"
#include "feed/Platform.h"
#include "feed/PositionLine.h"

// Serves one TCP client on port 27015 with one position line per call of sendFlightData.
//
// Two threads share it: the host's thread, which calls everything but listenForClient, and the listener
// thread, which waits for the client. They share only clientSocket and listening, each an atomic, and the
// queue of events the listener hands over.
class PositionServer {
public:
    static constexpr unsigned short kPort = 27015;

    // A listener stores its client before it ends, so whoever reads both reads isListening first: a
    // listener seen to have ended has its client seen too.
    bool isConnected() const {
        bool connected = clientSocket.load() != INVALID_SOCKET;
        if (afterStateRead) afterStateRead();
        return connected;
    }
    // True from the moment a listener is started until its thread has ended.
    bool isListening() const {
        bool started = listening.load() != kNotListening;
        if (afterStateRead) afterStateRead();
        return started;
    }

    // Starts the listener thread, marked as listening before it exists so no second one can start.
    void startListener();
    // Listener thread: listens on the port and waits for one client, unless stop came first. 0 on success,
    // 1 on failure.
    int listenForClient();
    // Sends the line for `snapshot` without ever waiting on the client. 0 on success, 1 on failure.
    int sendFlightData(FlightData snapshot);
    // Ends the client connection. 0 on success, 1 if the shutdown failed (the socket is closed anyway).
    int closeConnection();
    // Ends the connection and the listener. A listener whose thread has yet to run never binds the port; a
    // running one is woken and waited for, so the port is free when stop returns.
    void stop();

    // Has `handler` told of the feed's events, on the host's thread only: those of this thread at once,
    // the listener's when deliverEvents is next called.
    void setEventHandler(void (*handler)(const FeedEvent &event)) { eventHandler = handler; }
    void deliverEvents();

    // Seams for the unit tests, null in the plug-in: called on the host's thread right after each read of
    // the listener's state, and first thing on each listener thread.
    static inline void (*afterStateRead)() = nullptr;
    static inline void (*listenerThreadStarting)() = nullptr;

private:
    static constexpr int kNotListening = 0;
    static constexpr int kStarting = 1;  // its thread has not run yet
    static constexpr int kListening = 2;
    static constexpr int kStopRequested = 3;

    // The call that failed, as standard output names it, and its error; no call on success.
    struct Failure {
        const char *call = nullptr;
        int error = 0;
    };
    Failure openAndAccept();
    SOCKET waitForClient(const char *&failedCall);
    bool sendUnsent(int &bytesSent, int &error);
    void tell(const FeedEvent &event);

    std::atomic<SOCKET> clientSocket{INVALID_SOCKET};
    std::atomic<int> listening{kNotListening};
    SOCKET listenSocket = INVALID_SOCKET;  // listener thread only

    // The line being sent, of which the client's socket may so far have taken only the bytes before
    // unsentBegin; the rest goes out before any later line. Host thread only.
    char line[kPositionLineBufferSize] = {};
    int unsentBegin = 0;
    int unsentEnd = 0;

    FeedEventQueue events;  // from the listener thread to the host's
    void (*eventHandler)(const FeedEvent &event) = nullptr;
    long long linesSent = 0;     // since the last stop, host thread only: lines the socket took at least
    long long linesDropped = 0;  // the beginning of, and lines it took nothing of
};
