#include "Options.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "serve/Listener.h"

std::string usage() {
    const Options defaults;
    const std::string clients = std::to_string(kMaxClients);
    return "usage: feedclient [--json | --csv | --gpx FILE] [--count N] [--relay PORT] [--nmea PORT]\n"
           "                  [--http PORT [--tiles URL-TEMPLATE] [--open]] [HOST[:PORT] | --replay FILE [--speed N] [--loop]]\n"
           "  Reads the position feed from HOST:PORT (default " + defaults.host + ":" + defaults.port +
           "), reconnecting when it drops.\n"
           "  (default)     one readable line per position\n"
           "  --json        JSON Lines: time, latitude, longitude, speed, elevation, heading; null for NaN or "
           "infinity\n"
           "  --csv         CSV with a header, values exactly as sent\n"
           "  --gpx FILE    a GPX 1.1 track in FILE, complete on disk after every point; a GPX file already there\n"
           "                gets one more track, and any other file but an empty one is refused and left as it is\n"
           "  --count N     stop after N positions\n"
           "  --relay PORT  serve every good line, as received, to up to " + clients + " TCP clients on PORT\n"
           "  --nmea PORT   serve NMEA 0183 (GGA, RMC, HDT) to up to " + clients + " TCP clients on PORT\n"
           "  --http PORT   serve a live map at http://THIS-COMPUTER:PORT/, and the positions for web pages\n"
           "  --tiles URL   the map's tiles, e.g. http://tiles.local/{z}/{x}/{y}.png (default OpenStreetMap's)\n"
           "  --open        open the map in this computer's browser, where it shows a code for a tablet to scan\n"
           "  --replay FILE replay a recording made with --json or --csv instead of reading the feed, to the\n"
           "                output and every server, as the feed it was; its end ends the run\n"
           "  --speed N     the replay N times faster than recorded, e.g. 10; 0: as fast as the outputs take it\n"
           "  --loop        the replay starts again at its end\n"
           "  --help        show this and exit\n"
           "Exit status: 0 when stopped (Ctrl-C, --count or the end of a replay), 1 if any line was rejected, 2 on a\n"
           "usage or output error, an unknown host name or a file that is not a recording.\n";
}

namespace {

const char kPortWanted[] = "a port number from 1 to 65535";
const char kTilesWanted[] = "an http:// or https:// URL with {z}, {x} and {y} in it";
const char kSpeedWanted[] = "0 (as fast as the outputs take it) or a number from 1 up, such as 10";

bool isTileTemplate(const std::string &url) {
    bool web = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
    return web && url.find("{z}") != std::string::npos && url.find("{x}") != std::string::npos &&
           url.find("{y}") != std::string::npos;
}

bool readWholeNumber(const std::string &text, unsigned long low, unsigned long high, unsigned long &value) {
    const char *end = text.data() + text.size();
    std::from_chars_result result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && value >= low && value <= high;
}

// 0, or a number from 1 up, in plain decimals. Faster only: the map page counts the latest position's age
// on its own clock from feedclient's last word of its time, and a slower replay would have it warn of a
// silence that is only slow motion.
bool readSpeed(const std::string &text, double &speed) {
    const char *end = text.data() + text.size();
    std::from_chars_result result = std::from_chars(text.data(), end, speed, std::chars_format::fixed);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && std::isfinite(speed) &&
           (speed == 0 || speed >= 1);
}

std::string quoted(const std::string &text) { return "\"" + text + "\""; }

std::string needs(const std::string &option, const char *wanted, const std::string &given) {
    return option + " needs " + wanted + ", got " + quoted(given);
}

std::string readPort(const std::string &option, const std::string &text, int &port) {
    unsigned long value = 0;
    if (port != 0) return option + " given twice";
    if (!readWholeNumber(text, 1, 65535, value)) return needs(option, kPortWanted, text);
    port = static_cast<int>(value);
    return {};
}

std::string readAddress(const std::string &text, Options &options) {
    std::size_t colon = text.rfind(':');
    options.host = text.substr(0, colon);
    if (options.host.empty()) return "HOST[:PORT] needs a host before the colon, got " + quoted(text);
    if (colon != std::string::npos) {
        unsigned long port = 0;
        options.port = text.substr(colon + 1);
        if (!readWholeNumber(options.port, 1, 65535, port))
            return "the feed's PORT needs to be " + std::string(kPortWanted) + ", got " + quoted(text);
    }
    return {};
}

}  // namespace

std::string parseOptions(int argc, const char *const *argv, Options &options) {
    std::string output, address;  // the output option and the address given, if any
    bool speedGiven = false;
    for (int i = 0; i < argc; ++i) {
        std::string option = argv[i], value;
        std::size_t equals = option.find('=');
        bool attached = option.rfind("--", 0) == 0 && equals != std::string::npos;  // --count=5
        if (attached) {
            value = option.substr(equals + 1);
            option.erase(equals);
        }
        bool takesValue = option == "--gpx" || option == "--count" || option == "--relay" || option == "--nmea" ||
                          option == "--http" || option == "--tiles" || option == "--replay" || option == "--speed";
        if (attached && !takesValue) return option + " takes no value, got " + quoted(value);
        bool hasValue = attached || (takesValue && i + 1 < argc);
        if (takesValue && !attached && hasValue) value = argv[++i];

        if (option == "--help" || option == "-h") {
            options.help = true;
            return {};
        } else if (option == "--json" || option == "--csv" || option == "--gpx") {
            if (!output.empty()) return option + " and " + output + " cannot go together: choose one output";
            output = option;
            options.mode = option == "--json" ? Mode::kJson : option == "--csv" ? Mode::kCsv : Mode::kGpx;
            // A file name that looks like an option is most likely a forgotten file name.
            if (option == "--gpx" && (!hasValue || value.empty() || value[0] == '-'))
                return hasValue ? needs(option, "a file name", value) : "--gpx needs a file name";
            options.gpxPath = value;
        } else if (option == "--count") {
            if (!hasValue) return "--count needs a positive whole number";
            if (!readWholeNumber(value, 1, ~0ul, options.count)) return needs(option, "a positive whole number", value);
        } else if (option == "--relay" || option == "--nmea" || option == "--http") {
            if (!hasValue) return option + " needs " + kPortWanted;
            int &port = option == "--relay"  ? options.relayPort
                        : option == "--nmea" ? options.nmeaPort
                                             : options.httpPort;
            std::string problem = readPort(option, value, port);
            if (!problem.empty()) return problem;
        } else if (option == "--tiles") {
            if (!hasValue || !isTileTemplate(value)) return needs(option, kTilesWanted, hasValue ? value : "");
            options.tiles = value;
        } else if (option == "--replay") {
            // A file name that looks like an option is most likely a forgotten file name, as for --gpx.
            if (!hasValue || value.empty() || value[0] == '-')
                return hasValue ? needs(option, "a recording's file name", value) : "--replay needs a recording's file name";
            options.replayPath = value;
        } else if (option == "--speed") {
            if (!hasValue || !readSpeed(value, options.speed)) return needs(option, kSpeedWanted, hasValue ? value : "");
            speedGiven = true;
        } else if (option == "--loop") {
            options.loop = true;
        } else if (option == "--open") {
            options.openMap = true;
        } else if (!option.empty() && option[0] == '-') {
            return "unknown option " + quoted(option);
        } else if (!address.empty()) {
            return "only one HOST[:PORT] can be given, got " + quoted(address) + " and " + quoted(option);
        } else {
            address = option;
            std::string problem = readAddress(address, options);
            if (!problem.empty()) return problem;
        }
    }
    const char *const servers[] = {"--relay", "--nmea", "--http"};
    const int ports[] = {options.relayPort, options.nmeaPort, options.httpPort};
    for (int i = 0; i < 3; ++i) {
        for (int j = i + 1; j < 3; ++j) {
            if (ports[i] != 0 && ports[i] == ports[j])
                return std::string(servers[i]) + " and " + servers[j] + " need ports of their own, both got " +
                       std::to_string(ports[i]);
        }
    }
    if (!options.tiles.empty() && options.httpPort == 0)
        return "--tiles is for the map of --http, which was not asked for";
    if (options.openMap && options.httpPort == 0) return "--open is for the map of --http, which was not asked for";
    if (!options.replayPath.empty() && !address.empty())
        return "--replay plays a recording instead of the feed: it takes no HOST[:PORT], got " + quoted(address);
    if (options.replayPath.empty() && (speedGiven || options.loop))
        return std::string(speedGiven ? "--speed" : "--loop") + " is for --replay, which was not asked for";
    return {};
}
