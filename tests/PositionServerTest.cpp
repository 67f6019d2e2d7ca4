// The position server's states, with real sockets on the feed port.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "feed/PositionServer.h"
#include "tests/TestSupport.h"

namespace {

using std::chrono::steady_clock;

FlightData atLatitude(double latitude) {
    FlightData data{};
    data.latitude = latitude;
    return data;
}

std::string lineFor(const FlightData &data) {
    char buffer[kPositionLineBufferSize];
    return std::string(buffer, static_cast<std::size_t>(formatPositionLine(data, buffer, sizeof buffer)));
}

// How many sockets a child process started now would find open.
int socketsInAChildProcess() {
    std::FILE *listing = popen("ls -l /proc/self/fd", "r");
    int sockets = 0;
    char line[512];
    while (std::fgets(line, sizeof line, listing)) sockets += std::strstr(line, "socket:") ? 1 : 0;
    pclose(listing);
    return sockets;
}

// Linux hands over a connection that its client reset before it was taken, where Windows' accept fails
// (WSAECONNRESET). So that the listener meets such a failure here too, the next `gAbortedAccepts` accepts
// take their connection and fail as if its client had gone.
std::atomic<int> gAbortedAccepts{0};

}  // namespace

extern "C" int accept4(int socket, sockaddr *address, socklen_t *length, int flags) {
    using Accept4 = int (*)(int, sockaddr *, socklen_t *, int);
    static const auto systemAccept4 = reinterpret_cast<Accept4>(dlsym(RTLD_NEXT, "accept4"));
    int client = systemAccept4(socket, address, length, flags);
    if (client == -1 || gAbortedAccepts.load() == 0) return client;
    gAbortedAccepts.fetch_sub(1);
    close(client);
    errno = ECONNABORTED;
    return -1;
}

namespace {

class PositionServerTest : public testing::Test {
protected:
    void TearDown() override { server.stop(); }

    // Starts a listener and connects one client to it.
    void connectClient(TcpClient &client, int receiveBufferSize = 0) {
        server.startListener();
        ASSERT_TRUE(waitUntil([&] { return client.connect(receiveBufferSize); }));
        ASSERT_TRUE(waitUntil([&] { return server.isConnected() && !server.isListening(); }));
    }

    PositionServer server;
};

TEST_F(PositionServerTest, ServesOneClientAndRefusesASecond) {
    EXPECT_FALSE(server.isConnected());
    EXPECT_FALSE(server.isListening());
    TcpClient client;
    connectClient(client);

    TcpClient second;
    EXPECT_FALSE(second.connect());

    EXPECT_EQ(server.sendFlightData(atLatitude(-45.5)), 0);
    EXPECT_EQ(client.readLine(), lineFor(atLatitude(-45.5)));
}

TEST_F(PositionServerTest, ItsSocketsStayOutOfChildProcesses) {
    server.startListener();
    ASSERT_TRUE(waitUntil(feedPortListens)) << "the server never listened";
    EXPECT_EQ(socketsInAChildProcess(), 0) << "the listening socket is inherited";
    TcpClient client;
    ASSERT_TRUE(waitUntil([&] { return client.connect(); }));
    ASSERT_TRUE(waitUntil([&] { return server.isConnected(); }));
    EXPECT_EQ(socketsInAChildProcess(), 0) << "the client's socket is inherited";
}

TEST_F(PositionServerTest, ALostClientIsClosedAndTheServerCanListenAgain) {
    TcpClient client;
    connectClient(client);
    client.close();

    // By the clock: on a busy machine the system may take a moment to tell the server its client has gone.
    testing::internal::CaptureStdout();
    int status = 0;
    waitUntil([&] { return (status = server.sendFlightData(atLatitude(1))) != 0; });
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(server.isConnected());
    // The shutdown of a connection the peer has reset may fail too; that is logged in between.
    EXPECT_TRUE(std::regex_search(output, std::regex("connection closed(shutdown failed with error: [0-9]+\n)?"
                                                     "Bytes sent: -1\n")))
        << output;

    TcpClient next;
    connectClient(next);
    server.sendFlightData(atLatitude(7));
    EXPECT_EQ(next.readLine(), lineFor(atLatitude(7)));
}

TEST_F(PositionServerTest, AClientThatNeverReadsNeitherStallsTheSenderNorGetsTornLines) {
    TcpClient client;
    connectClient(client, 2048);

    // Bursts of lines fill the socket; between them the client takes a little, so that the room it frees
    // is now and then less than a line and a line goes out only in part.
    std::string received;
    steady_clock::duration slowest{};
    bool blocked = false, partial = false;
    int index = 0;
    for (int burst = 0; burst < 200 && !(blocked && partial); ++burst) {
        testing::internal::CaptureStdout();
        for (int line = 0; line < 2000; ++line, ++index) {
            auto start = steady_clock::now();
            ASSERT_EQ(server.sendFlightData(atLatitude(index)), 0);
            slowest = std::max(slowest, steady_clock::now() - start);
        }
        std::string output = testing::internal::GetCapturedStdout();
        blocked = blocked || output.find("Bytes sent: 0\n") != std::string::npos;
        // A count below a line's length is a line the socket took only in part.
        partial = partial || std::regex_search(output, std::regex("Bytes sent: [1-9][0-9]?\n"));
        if (blocked) received += client.readSome(1000);
    }
    EXPECT_TRUE(blocked) << "the socket never filled up";
    EXPECT_TRUE(partial) << "no line went out in part";
    reportFigure("slowest_send_us", std::chrono::duration_cast<std::chrono::microseconds>(slowest).count());
    EXPECT_LT(slowest, kNoWaitBound);
    EXPECT_TRUE(server.isConnected());

    // Once the client reads everything, what it got is whole lines, in order, each one of those sent.
    const int kLast = index + 4;
    for (; index <= kLast; ++index) {
        received += client.readAll(std::chrono::milliseconds(200));
        ASSERT_EQ(server.sendFlightData(atLatitude(index)), 0);
    }
    const std::string last = lineFor(atLatitude(kLast));
    received += client.readUntil([&](const std::string &arrived) { return arrived.find(last) != std::string::npos; });
    ASSERT_FALSE(received.empty());
    ASSERT_EQ(received.back(), '\n');
    int previous = -1, lines = 0;
    for (std::size_t begin = 0; begin < received.size(); ++lines) {
        std::size_t end = received.find('\n', begin) + 1;
        std::string line = received.substr(begin, end - begin);
        int sent = std::atoi(line.c_str() + std::string("{version:\"1\",latitude:\"").size());
        ASSERT_EQ(line, lineFor(atLatitude(sent))) << "line " << lines;
        ASSERT_GT(sent, previous);
        previous = sent;
        begin = end;
    }
    EXPECT_EQ(previous, kLast);
    EXPECT_LT(lines, kLast + 1);
}

TEST_F(PositionServerTest, AClientGoneBeforeItIsTakenIsNoFailureAndTheListenerWaitsOn) {
    gAbortedAccepts = 1;
    testing::internal::CaptureStdout();
    server.startListener();
    TcpClient gone;
    ASSERT_TRUE(waitUntil([&] { return gone.connect(); }));
    ASSERT_TRUE(waitUntil([] { return gAbortedAccepts.load() == 0; })) << "the listener never took it";

    // The same listener takes the next client, with nothing logged.
    TcpClient next;
    EXPECT_TRUE(waitUntil([&] { return next.connect() && waitUntil([&] { return server.isConnected(); }); }));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(PositionServerTest, StopReleasesTheClientAndThePort) {
    TcpClient client;
    connectClient(client);
    server.stop();
    EXPECT_FALSE(server.isConnected());
    EXPECT_TRUE(client.streamEnded());
    PortHolder other;
    EXPECT_TRUE(other.bind());
}

TEST_F(PositionServerTest, StopEndsAStartingOrWaitingListenerAndFreesThePort) {
    for (auto wait : {std::chrono::milliseconds(0), std::chrono::milliseconds(100)}) {
        server.startListener();
        EXPECT_TRUE(server.isListening());  // marked before its thread runs
        std::this_thread::sleep_for(wait);
        std::set<std::string> timeWaits = feedPortTimeWaits();
        auto start = steady_clock::now();
        server.stop();
        // Stop wakes the listener: it does not wait for the listener's own half-second check. Waking it
        // takes a millisecond or so, some tens under a sanitizer on a loaded machine.
        auto took = steady_clock::now() - start;
        reportFigure("stop_us", std::chrono::duration_cast<std::chrono::microseconds>(took).count());
        EXPECT_LT(took, std::chrono::milliseconds(200));
        EXPECT_FALSE(feedPortListens());
        // A thread that had yet to run ends as soon as it does.
        EXPECT_TRUE(waitUntil([&] { return !server.isListening(); }));
        EXPECT_FALSE(server.isConnected()) << "stop's own wake-up connection was served";
        // Nor does the wake-up linger on the port, where Windows would hold it against the next bind.
        for (const std::string &remote : feedPortTimeWaits()) {
            EXPECT_EQ(timeWaits.count(remote), 1u) << "the wake-up left " << remote << " in TIME_WAIT";
        }
        PortHolder other;
        EXPECT_TRUE(other.bind()) << "the port is still held after waiting " << wait.count() << " ms";
    }
}

// The listener threads started from now on wait here before they do anything, until released.
std::atomic<bool> gListenerThreadsHeld{false};
void holdListenerThread() {
    while (gListenerThreadsHeld.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::vector<FeedEvent::Kind> gEvents;
void recordEvent(const FeedEvent &event) { gEvents.push_back(event.kind); }

TEST_F(PositionServerTest, AListenerWhoseThreadRunsOnlyAfterStopNeverBindsNorServes) {
    gListenerThreadsHeld = true;
    PositionServer::listenerThreadStarting = holdListenerThread;
    gEvents.clear();
    server.setEventHandler(recordEvent);
    testing::internal::CaptureStdout();
    server.startListener();
    server.stop();
    EXPECT_EQ(gEvents, std::vector<FeedEvent::Kind>{FeedEvent::Kind::kStopped});

    // Its thread runs now, after stop has returned, and ends without a word or a socket.
    gListenerThreadsHeld = false;
    TcpClient client;
    bool connected = false;
    EXPECT_TRUE(waitUntil([&] { return (connected = connected || client.connect()), !server.isListening(); }));
    PositionServer::listenerThreadStarting = nullptr;
    server.deliverEvents();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(gEvents, std::vector<FeedEvent::Kind>{FeedEvent::Kind::kStopped}) << "the late listener listened";
    EXPECT_FALSE(connected) << "a client was let in after stop";
    EXPECT_FALSE(server.isConnected());

    // Then the server listens as ever.
    TcpClient next;
    connectClient(next);
}

TEST_F(PositionServerTest, APortHeldElsewhereFailsTheRunAndFreesTheMark) {
    PortHolder other;
    ASSERT_TRUE(other.bind());
    testing::internal::CaptureStdout();
    server.startListener();
    ASSERT_TRUE(waitUntil([&] { return !server.isListening(); }));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "bind failed with error: " + std::to_string(EADDRINUSE) + "\n");

    other.release();
    TcpClient client;
    connectClient(client);
}

}  // namespace
