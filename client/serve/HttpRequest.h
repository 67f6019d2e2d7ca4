#pragma once

// The head of an HTTP/1.1 request (RFC 9112), read strictly: the request line and the header fields. The
// server answers GET and HEAD only and closes the connection after each answer, so it reads no body.

#include <cstddef>
#include <string>
#include <string_view>

// The longest request head taken, with the empty line that ends it.
constexpr std::size_t kMaxRequestHead = 8192;

struct HttpRequest {
    std::string method;  // as sent, a token such as GET
    std::string path;    // the target's path without its query, starting with '/', whatever its form
    bool acceptsGzip = false;  // Accept-Encoding allows gzip (RFC 9110 12.5.3)
};

enum class HeadStatus {
    kIncomplete,          // no end yet, within kMaxRequestHead
    kComplete,            // `request` holds it
    kMalformed,           // 400
    kUriTooLong,          // 414: the request line alone does not end within kMaxRequestHead
    kTooLarge,            // 431: no end within kMaxRequestHead
    kVersionUnsupported,  // 505: a well-formed version other than HTTP/1.x
};

// Reads the head from what a connection has received so far. The end is looked for only in the bytes from
// `searchedUpTo` on, which starts at 0 and is moved on, so a head that comes a byte at a time costs no
// more than one that comes at once. Line ends are CR LF or a bare LF. Empty lines before the request line,
// which some clients send after a body, are ignored (RFC 9112 2.2).
HeadStatus readRequestHead(std::string_view received, std::size_t &searchedUpTo, HttpRequest &request);
