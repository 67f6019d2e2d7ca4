#pragma once

// Serves the live map and the feed for web pages over HTTP/1.1, to up to kMaxClients clients at once, in
// feedclient's one wait loop and without ever waiting on a client:
//   GET /                the map page, with Leaflet built in
//   GET /events          Server-Sent Events: each position, its ground speed and track, the feed's state
//   GET /position.json   the latest position, as a --json line holds it
//   GET /track.geojson   the track since start, as GeoJSON
// Only the page's built-in files and these are served: no path reaches the file system. Every answer but
// the events stream closes its connection, so each request is read on a connection of its own.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "feed/Platform.h"
#include "formats/FlightTrack.h"
#include "formats/GroundMotion.h"
#include "read/Position.h"
#include "read/PositionSink.h"
#include "serve/ClientQueue.h"
#include "serve/HttpRequest.h"
#include "serve/Listener.h"
#include "system/Clocks.h"
#include "system/WaitLoop.h"

constexpr auto kRequestTimeout = std::chrono::seconds(10);     // to send a whole request head
constexpr auto kKeepAliveInterval = std::chrono::seconds(15);  // a comment on an idle events stream

// The default map tiles: OpenStreetMap's standard layer, with the attribution its policy asks for.
extern const char kOpenStreetMapTiles[];

class HttpServer : public Waiter, public PositionSink {
public:
    // `tiles` is the page's tile URL template, such as kOpenStreetMapTiles.
    explicit HttpServer(const std::string &tiles);
    ~HttpServer() override;
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    bool listen(int port, std::string &error) { return listener.listen(port, error); }
    int port() const { return listener.port(); }

    // The feed's state and its positions, for the events clients, /position.json and /track.geojson.
    void feedConnected() override;
    void feedLost() override;
    bool take(const Position &position, std::string_view line, SystemClock::time_point received) override;

    // The listener, then one socket a connection; the wait ends by nextDue().
    void addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const override;
    void serve(const WSAPOLLFD *entries) override;

    std::size_t eventsClientCount() const;

    // feedclient's clock, which the feed's events tell pages beside the positions' times: the system's,
    // or a replay's.
    void useClock(std::function<SystemClock::time_point()> now) { clock = std::move(now); }

private:
    enum class Stage {
        kRequest,   // reading the request head
        kResponse,  // sending an answer, then closing
        kEvents,    // an events stream
        kClosing,   // answered and shut for sending: waiting for the client to close, to leave it no reset
    };
    struct Connection {
        SOCKET socket;
        std::string address;
        Stage stage;
        SteadyClock::time_point due;  // kRequest: the request's time-out; kClosing: when to stop waiting
        std::string received;
        std::size_t searchedUpTo = 0;
        ClientQueue queue;
    };

    // When serve must run again though no socket is ready: a request's time is up, a closed connection
    // is let go, or the events streams are due a keep-alive comment. SteadyClock::time_point::max() if never.
    SteadyClock::time_point nextDue() const;
    void accept();
    void read(Connection &connection);
    void answer(Connection &connection, const HttpRequest &request);
    // Sends a whole answer, which closes the connection once sent.
    void respond(Connection &connection, const std::string &response);
    void startEvents(Connection &connection, bool headOnly);
    // Sends `entry` to every events client.
    void broadcast(const std::string &entry);
    void finishResponse(Connection &connection);
    void close(Connection &connection, const std::string &why);
    // Forgets the connections closed; none may be left between two waits.
    void removeClosed();
    std::string feedEvent() const;
    std::size_t activeCount() const;

    std::string page;  // index.html with the tiles filled in
    Listener listener{"http"};
    std::vector<Connection> connections;
    bool feedUp = false;
    unsigned long positions = 0;  // received since start: each one's event id
    std::string latestJson;       // the latest position's, empty before the first
    std::string latestEvents;     // the latest position's events, for a stream that starts after it
    FlightTrack track;
    GroundMotion motion;
    SteadyClock::time_point lastBroadcast = SteadyClock::now();
    std::function<SystemClock::time_point()> clock = SystemClock::now;
};
