#pragma once

// Serves a stream of whole lines to many TCP clients at once, without ever waiting on one: every socket
// is non-blocking, and what a client's socket does not take waits in that client's bounded queue. A client
// that stops reading thus never holds up the others or the caller; once its queue is full, its oldest
// entries go.

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "feed/Platform.h"
#include "serve/AcceptPause.h"

constexpr std::size_t kMaxClients = 100;
constexpr std::size_t kQueueLength = 64;  // entries per client: a minute of the feed

// What a client has yet to be sent: whole entries of one or more lines, oldest first. Only the first may
// have been sent in part, and it is never dropped, so a client never gets part of an entry.
class ClientQueue {
public:
    using Entry = std::shared_ptr<const std::string>;

    // Adds `entry`, unsent, first dropping the oldest unsent entry if the queue is full.
    void push(Entry entry);
    bool empty() const { return entries.empty(); }
    // The first entry's bytes not yet sent.
    std::string_view unsent() const { return std::string_view(*entries.front()).substr(sentOfFirst); }
    // Records that the socket took `bytes` more of the first entry.
    void sent(std::size_t bytes);
    unsigned long dropped() const { return droppedCount; }

private:
    std::deque<Entry> entries;
    std::size_t sentOfFirst = 0;
    unsigned long droppedCount = 0;
};

// Listens on `port` of every local IPv4 address (0: a port the system picks), without blocking. INVALID_SOCKET,
// with `error` set, if it cannot.
SOCKET listenOnAllAddresses(int port, std::string &error);
int localPort(SOCKET socket);
// "address:port" of the socket's peer.
std::string peerAddress(SOCKET socket);
// Keeps the system's buffer for a client small: one that stops reading then soon fills it and its queue,
// whose oldest entries go, rather than the system keeping hours of the feed for it. False if refused.
bool limitSendBuffer(SOCKET socket);
// Sends `entry` at once where nothing waits before it, and queues what the socket does not take; `shared`,
// the queued copy, is made once for all the clients it is sent to. False if the client has gone.
bool sendOrQueue(SOCKET socket, ClientQueue &queue, std::string_view entry, ClientQueue::Entry &shared);
// Sends what the socket takes of the queue without waiting; false if the client has gone.
bool flushQueue(SOCKET socket, ClientQueue &queue);

class LineServer {
public:
    // `name` starts the notices on standard error ("relay"), `unit` counts the dropped entries ("lines").
    LineServer(std::string name, std::string unit) : name(std::move(name)), unit(std::move(unit)) {}
    ~LineServer();
    LineServer(const LineServer &) = delete;
    LineServer &operator=(const LineServer &) = delete;

    // Listens on `port` of every local IPv4 address (0: a port the system picks). False, with `error`
    // set, if it cannot.
    bool listen(int port, std::string &error);
    int port() const;

    // Sends `entry`, one or more whole lines, to every client, or queues what a client's socket does not take.
    void publish(std::string_view entry);

    // Appends the sockets to wait on: the listener, then one a client. While accepting is held off, the
    // listener's entry is one the wait skips, and `waitMilliseconds` is shortened to end when it resumes.
    void addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const;
    // After the wait, with the entries addToPoll appended: takes new clients, notices the ones that left
    // and sends what waits. Call it before anything is published after the wait.
    void serve(const WSAPOLLFD *entries);

    std::size_t clientCount() const { return clients.size(); }

private:
    struct Client {
        SOCKET socket;
        std::string address;
        ClientQueue queue;
    };

    void acceptClients();
    // Closes the client's connection and says why and what it missed; removeDropped then forgets it.
    void drop(Client &client, const std::string &why);
    void removeDropped();

    std::string name, unit;
    SOCKET listener = INVALID_SOCKET;
    AcceptPause acceptPause;
    std::vector<Client> clients;
};
