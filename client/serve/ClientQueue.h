#pragma once

// What the servers share for sending to many clients at once without ever waiting on one: every socket is
// non-blocking, and what a client's socket does not take waits in that client's bounded queue. A client
// that stops reading thus never holds up the others or the caller; once its queue is full, its oldest
// entries go.

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "feed/Platform.h"

constexpr std::size_t kQueueLength = 64;  // entries per client: a minute of the feed

// What a client has yet to be sent: whole entries of one or more lines, oldest first. Only the first may
// have been sent in part, and it is never dropped, so a client never gets part of an entry.
class ClientQueue {
public:
    using Entry = std::shared_ptr<const std::string>;

    // Adds `entry`, unsent, first dropping the oldest unsent entry if the queue is full.
    void push(Entry entry);
    bool empty() const { return entries.empty(); }
    std::size_t size() const { return entries.size(); }
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

// Keeps the system's buffer for a client small: one that stops reading then soon fills it and its queue,
// whose oldest entries go, rather than the system keeping hours of the feed for it. False if refused.
bool limitSendBuffer(SOCKET socket);
// Sends `entry` at once where nothing waits before it, and queues what the socket does not take; `shared`,
// the queued copy, is made once for all the clients it is sent to. False if the client has gone.
bool sendOrQueue(SOCKET socket, ClientQueue &queue, std::string_view entry, ClientQueue::Entry &shared);
// Sends what the socket takes of the queue without waiting; false if the client has gone.
bool flushQueue(SOCKET socket, ClientQueue &queue);
