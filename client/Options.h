#pragma once

// feedclient's command line.

#include <string>

enum class Mode { kLive, kJson, kCsv, kGpx };

struct Options {
    std::string host = "127.0.0.1";  // the plug-in listens on IPv4 only
    std::string port = "27015";
    Mode mode = Mode::kLive;
    std::string gpxPath;
    unsigned long count = 0;  // 0: no limit
    int relayPort = 0;        // 0: no relay
    int nmeaPort = 0;         // 0: no NMEA server
    int httpPort = 0;         // 0: no map page and web feed
    std::string tiles;        // the map's tile URL template; empty: OpenStreetMap's
    bool openMap = false;     // the map opened in this computer's browser once it is served
    std::string replayPath;   // a recording to replay instead of the feed; empty: the feed
    double speed = 1;         // the replay's pace, times the recorded one; 0: as fast as the outputs take it
    bool loop = false;        // the replay starts again at the end
    bool help = false;
};

// The usage, for --help and after a usage error.
std::string usage();

// Reads the arguments that follow the program's name. Returns an empty string, or what is wrong with them
// in words a user can act on, e.g. `--count needs a positive whole number, got "abc"`.
std::string parseOptions(int argc, const char *const *argv, Options &options);
