#pragma once

// HTTP's gzip content coding (RFC 9110 8.4.1.3), for the large answers: a day's track is a few MB of
// GeoJSON, which a tablet on Wi-Fi fetches each time it reconnects, and which gzip makes a fraction of that.

#include <string>
#include <string_view>

// `data` as a gzip stream, made with zlib at its fastest level: an answer is made again after each new
// position, and its size falls little further at the slower ones.
std::string gzipped(std::string_view data);
