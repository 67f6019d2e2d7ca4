#pragma once

// The relay: every line that passed the parser, byte for byte as the plug-in sent it, to many clients.

#include <string>
#include <string_view>

#include "read/Position.h"
#include "read/PositionSink.h"
#include "serve/LineServer.h"
#include "system/Clocks.h"

class RelayServer : public LineServer, public PositionSink {
public:
    RelayServer() : LineServer("relay", "lines") {}

    bool take(const Position &, std::string_view line, SystemClock::time_point) override {
        publish(std::string(line) + '\n');  // as received: the splitter only took the line feed off
        return true;
    }
};
