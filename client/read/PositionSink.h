#pragma once

// What takes the positions read from the feed: each output and each server. The feed's session hands
// every one of them each position, and each change of the feed's state, in turn.

#include <string_view>

#include "read/Position.h"
#include "system/Clocks.h"

class PositionSink {
public:
    virtual ~PositionSink() = default;
    // The feed is connected, the first time or again.
    virtual void feedConnected() {}
    // A position that passed the parser, from `line` (as received, without its LF), received at
    // `received`. False, with errno set, if the output has failed, which ends the run.
    virtual bool take(const Position &position, std::string_view line, SystemClock::time_point received) = 0;
    // The feed dropped: the next position does not continue from the last one.
    virtual void feedLost() {}
};
