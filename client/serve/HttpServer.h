#pragma once

// Serves the live map and the feed for web pages over HTTP/1.1, to up to kMaxClients clients at once, in
// feedclient's one wait loop and without ever waiting on a client:
//   GET /                the map page, with Leaflet built in
//   GET /events          Server-Sent Events: each position, its ground speed and track, the feed's state
//   GET /position.json   the latest position, as a --json line holds it
//   GET /track.geojson   the track since start, as GeoJSON
//   GET /status.json     where to open the map, the feed's state and each server's clients: for whoever
//                        helps a user find what is wrong, and for the page's QR code of its address
// Only the page's built-in files and these are served: no path reaches the file system. Every answer but
// the events stream closes its connection, so each request is read on a connection of its own. A large
// answer (the page's files, the track) is built once and shared by every client it goes to, and no stage
// of a connection outlasts its deadline: a client that makes no progress gives up its place.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "feed/Platform.h"
#include "formats/FlightTrack.h"
#include "formats/GroundMotion.h"
#include "formats/UtcTime.h"
#include "read/Position.h"
#include "read/PositionSink.h"
#include "serve/ClientQueue.h"
#include "serve/HttpRequest.h"
#include "serve/LineServer.h"
#include "serve/Listener.h"
#include "system/Clocks.h"
#include "system/WaitLoop.h"

constexpr auto kRequestTimeout = std::chrono::seconds(10);     // to send a whole request head
constexpr auto kStallTimeout = std::chrono::seconds(10);       // to take any of an answer that waits for it
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

    // Listens, and tells the user where to open the map, from this computer and from others.
    bool listen(int port, std::string &error);
    int port() const { return listener.port(); }

    // The feed's state and its positions, for the events clients, /position.json and /track.geojson.
    void feedConnected() override;
    void feedLost() override;
    bool take(const Position &position, std::string_view line, SystemClock::time_point received) override;

    // The listener, then one socket a connection; the wait ends by nextDue().
    void addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const override;
    void serve(const WSAPOLLFD *entries) override;

    std::size_t eventsClientCount() const;
    // The events dropped so far for clients that did not keep up, those gone and those still served.
    unsigned long eventsDropped() const;

    // What /status.json tells of the feed's source: its address:port, or the recording replayed.
    void describeFeed(std::string from) { feedFrom = std::move(from); }
    // A line server that runs beside this one, whose clients /status.json counts; it must outlive this.
    void reportOn(const LineServer &server) { lineServers.push_back(&server); }

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
        Connection(SOCKET socket, std::string address, SteadyClock::time_point due)
            : socket(socket), address(std::move(address)), due(due) {}
        SOCKET socket;
        std::string address;
        Stage stage = Stage::kRequest;
        // kRequest: the request's time-out; kClosing: when to stop waiting; kResponse and kEvents: when a
        // client that has taken nothing of what waits for it is given up (max while nothing waits).
        SteadyClock::time_point due;
        std::string received;
        std::size_t searchedUpTo = 0;
        bool readingEnded = false;  // the client shut its end after its request: only sending is left
        ClientQueue queue;
        unsigned long long takenWhenDue = 0;  // queue.taken() when `due` was last set
    };

    // When serve must run again though no socket is ready: a deadline is reached, or the events streams
    // are due a keep-alive comment. SteadyClock::time_point::max() if never.
    SteadyClock::time_point nextDue() const;
    void accept();
    void read(Connection &connection);
    void answer(Connection &connection, const HttpRequest &request);
    // Sends a whole answer, its head and then its body, which closes the connection once sent.
    void respond(Connection &connection, const std::string &head, const ClientQueue::Entry &body = nullptr);
    void startEvents(Connection &connection, bool headOnly);
    // Sends the connection's queue on as far as the socket takes it; false if the client has gone.
    bool flush(Connection &connection);
    // Moves a sending connection's deadline on if the client took something since, or starts it if
    // something has begun to wait.
    void watchProgress(Connection &connection);
    // A large answer's body, made once and shared, as it is and gzipped, each made when first asked for.
    struct SharedBody {
        ClientQueue::Entry plain, gzipped;
    };
    // Answers with `body`, gzipped if the client takes that.
    void respondWith(Connection &connection, const HttpRequest &request, const std::string &type,
                     const std::string &headers, SharedBody &body);
    // The track's body, made again only after a new position.
    SharedBody &trackBody();
    // A page file's, made the first time it is asked for.
    SharedBody &pageFileBody(std::string_view name);
    // Sends `entry` to every events client.
    void broadcast(const std::string &entry);
    void finishResponse(Connection &connection);
    void close(Connection &connection, const std::string &why);
    // Forgets the connections closed; none may be left between two waits.
    void removeClosed();
    std::string feedEvent() const;
    std::string statusJson() const;
    // The map's address at `host`, such as "http://192.168.1.20:8080/".
    std::string mapUrl(const std::string &host) const;
    std::size_t activeCount() const;

    // The page's files by name, each answer's body built once: index.html with the tiles filled in at
    // start, the others when first asked for.
    std::map<std::string, SharedBody, std::less<>> pageFiles;
    Listener listener{"http"};
    std::vector<Connection> connections;
    bool feedUp = false;
    std::optional<SystemClock::time_point> feedSince;  // when it was last connected or lost; none before
    std::string feedFrom;
    std::vector<const LineServer *> lineServers;
    unsigned long positions = 0;  // received since start: each one's event id
    // When this server started, to the millisecond: a page that finds it changed in the track knows that a
    // new feedclient's track starts afresh, rather than replacing the one it has.
    const std::string started = utcTimestamp(SystemClock::now());
    SystemClock::time_point latestReceived;
    unsigned long eventsDroppedForGone = 0;  // by the events clients closed
    std::string latestJson;       // the latest position's, empty before the first
    std::string latestEvents;     // the latest position's events, for a stream that starts after it
    FlightTrack track;
    SharedBody trackGeoJson;                  // empty until first asked for
    unsigned long trackGeoJsonPositions = 0;  // `positions` when it was made
    GroundMotion motion;
    SteadyClock::time_point lastBroadcast = SteadyClock::now();
    std::function<SystemClock::time_point()> clock = SystemClock::now;
};
