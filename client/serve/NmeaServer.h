#pragma once

// Each position as NMEA 0183 sentences, to many clients: GPS and map software, and gpsd.

#include <string_view>

#include "formats/Nmea.h"
#include "read/Position.h"
#include "read/PositionSink.h"
#include "serve/LineServer.h"
#include "system/Clocks.h"

class NmeaServer : public LineServer, public PositionSink {
public:
    NmeaServer() : LineServer("nmea", "positions") {}

    bool take(const Position &position, std::string_view, SystemClock::time_point received) override {
        publish(encoder.encode(position, received));
        return true;
    }
    void feedLost() override { encoder.feedLost(); }

private:
    NmeaEncoder encoder;
};
