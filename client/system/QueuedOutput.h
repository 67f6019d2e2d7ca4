#pragma once

// Standard output, written by a thread of its own from a bounded queue, so that a reader that stops reading
// (`feedclient | less`, paused) never holds up the wait loop, and with it the feed and every client of the
// servers. Once kOutputQueueLength entries wait, the oldest goes, whole, for each new one, and is counted;
// when the reader takes lines again, a notice on standard error says how many it missed.

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "system/TextOutput.h"

constexpr std::size_t kOutputQueueLength = 64;  // entries: a minute of the feed

class QueuedOutput : public TextOutput {
public:
    // Writes each entry with `write`, which waits as long as the reader takes and returns false, with errno
    // set, if it fails. Calls `wake`, on the output's thread, once the output has failed, and once it has
    // written everything after finish().
    QueuedOutput(bool (*write)(const std::string &text), void (*wake)());
    // Gives up what still waits, and waits for the thread to end, unless it is waiting on the reader.
    ~QueuedOutput() override;
    QueuedOutput(const QueuedOutput &) = delete;
    QueuedOutput &operator=(const QueuedOutput &) = delete;

    // Starts the thread; false if the system would not.
    bool start();
    // Queues `lines` and returns at once; false, with errno set to the write's error, once the output failed.
    bool put(const std::string &lines) override;
    // Takes no more: the thread writes what waits, then ends and calls `wake`.
    void finish();
    // Whether the thread has ended: after finish(), or on failure.
    bool ended() const;
    // The write's errno if the output failed, else 0.
    int failure() const;
    // The entries dropped or still waiting: what the reader has not got and will not get now.
    unsigned long missed() const;
    // The entries not yet written, the one being written included.
    std::size_t waiting() const;

private:
    struct Shared;
    static void writeQueued(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared;  // the thread holds it too, and may outlive this
    std::thread thread;
};
