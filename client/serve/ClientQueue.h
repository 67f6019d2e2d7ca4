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
    // The bytes of queued entries that the socket has taken: a client's progress while anything waits for it.
    unsigned long long taken() const { return takenCount; }

private:
    std::deque<Entry> entries;
    std::size_t sentOfFirst = 0;
    unsigned long droppedCount = 0;
    unsigned long long takenCount = 0;
};

// The system's buffer for a stream's client (the relay's, NMEA's, the events'): small, so that one that
// stops reading soon fills it and its queue, whose oldest entries go, rather than the system keeping hours
// of the feed for it.
constexpr int kStreamSendBuffer = 16 * 1024;
// For an answer with an end, such as the track: large enough that it goes at the network's pace, small
// enough that clients that never read cost the system little each.
constexpr int kAnswerSendBuffer = 256 * 1024;
// Sets the system's buffer for sending to a client; false if refused.
bool limitSendBuffer(SOCKET socket, int bytes);
// Sends `entry` at once where nothing waits before it, and queues what the socket does not take; `shared`,
// the queued copy, is made once for all the clients it is sent to. False if the client has gone.
bool sendOrQueue(SOCKET socket, ClientQueue &queue, std::string_view entry, ClientQueue::Entry &shared);
// Sends what the socket takes of the queue without waiting; false if the client has gone.
bool flushQueue(SOCKET socket, ClientQueue &queue);
