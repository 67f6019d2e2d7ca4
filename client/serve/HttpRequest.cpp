#include "serve/HttpRequest.h"

#include <algorithm>
#include <cstring>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A token's characters (RFC 9110 5.6.2). strchr finds the terminating NUL too, which is none of them.
bool isTokenChar(char c) {
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return letter || isDigit(c) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isToken(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar); }

// A field value's characters: visible ones, space, tab and bytes past ASCII; no control character.
bool isValueChar(char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte == '\t' || (byte >= ' ' && byte != 0x7F);
}

// For a lower-case `b` of letters, and of marks such as '-' and '=' that case leaves alone.
bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Whether an Accept-Encoding list such as "gzip, deflate;q=0.5, *;q=0" takes gzip: named, or covered by
// "*", with a weight other than 0. Without the field, no coding is asked for.
bool allowsGzip(std::string_view list) {
    int gzip = -1, any = -1;  // -1: not named; 0: refused; 1: taken
    while (!list.empty()) {
        std::size_t comma = list.find(',');
        std::string_view element = list.substr(0, comma);
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
        std::size_t semicolon = element.find(';');
        std::string_view coding = trimmed(element.substr(0, semicolon)), weight;
        if (semicolon != std::string_view::npos) {
            std::string_view parameter = trimmed(element.substr(semicolon + 1));
            if (parameter.size() >= 2 && equalsIgnoringCase(parameter.substr(0, 2), "q=")) weight = parameter.substr(2);
        }
        // A weight of 0, 0., 0.0, 0.00 or 0.000 refuses the coding.
        bool refused = !weight.empty() && weight[0] == '0' &&
                       weight.find_first_not_of("0.", 0) == std::string_view::npos;
        if (equalsIgnoringCase(coding, "gzip") || equalsIgnoringCase(coding, "x-gzip")) gzip = refused ? 0 : 1;
        if (coding == "*") any = refused ? 0 : 1;
    }
    return gzip == 1 || (gzip == -1 && any == 1);
}

// Takes the next line off `head`, without its CR LF or LF; false if a CR stands anywhere else.
bool nextLine(std::string_view &head, std::string_view &line) {
    std::size_t end = head.find('\n');
    line = head.substr(0, end);
    head.remove_prefix(end == std::string_view::npos ? head.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line.find('\r') == std::string_view::npos;
}

// The target's path: the origin form, "/path?query", which a client sends to a server, or the absolute
// form, "http://host/path?query", which a server must take as well (RFC 9112 3.2.2). Empty if neither.
std::string_view pathOf(std::string_view target) {
    if (!target.empty() && target[0] == '/') return target.substr(0, target.find('?'));
    for (std::string_view scheme : {"http://", "https://"}) {
        if (target.size() <= scheme.size() || !equalsIgnoringCase(target.substr(0, scheme.size()), scheme)) continue;
        std::string_view rest = target.substr(scheme.size());
        std::size_t pathAt = rest.find_first_of("/?");
        if (pathAt == 0) return {};  // no host
        if (pathAt == std::string_view::npos || rest[pathAt] == '?') return "/";
        return rest.substr(pathAt, rest.find('?', pathAt) - pathAt);
    }
    return {};
}

HeadStatus parseRequestLine(std::string_view line, HttpRequest &request, bool &hostRequired) {
    std::size_t firstSpace = line.find(' '), secondSpace = line.find(' ', firstSpace + 1);
    if (secondSpace == std::string_view::npos || line.find(' ', secondSpace + 1) != std::string_view::npos)
        return HeadStatus::kMalformed;
    std::string_view method = line.substr(0, firstSpace);
    std::string_view target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    std::string_view version = line.substr(secondSpace + 1);
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || !isDigit(version[5]) || version[6] != '.' ||
        !isDigit(version[7]))
        return HeadStatus::kMalformed;
    // Before the target: HTTP/2's preface, "PRI * HTTP/2.0", is told its version is not spoken here.
    if (version[5] != '1') return HeadStatus::kVersionUnsupported;
    bool visible = std::all_of(target.begin(), target.end(), [](char c) { return c > ' ' && c < 0x7F && c != '#'; });
    std::string_view path = pathOf(target);
    if (!isToken(method) || path.empty() || !visible) return HeadStatus::kMalformed;
    request.method = std::string(method);
    request.path = std::string(path);
    hostRequired = version[7] != '0';
    return HeadStatus::kComplete;
}

// Parses a head that ends with its empty line.
HeadStatus parseHead(std::string_view head, HttpRequest &request) {
    std::string_view line;
    bool hostRequired = false;
    if (!nextLine(head, line)) return HeadStatus::kMalformed;
    HeadStatus status = parseRequestLine(line, request, hostRequired);
    if (status != HeadStatus::kComplete) return status;
    int hosts = 0;
    std::string encodings;
    for (;;) {
        if (!nextLine(head, line)) return HeadStatus::kMalformed;
        if (line.empty()) break;
        // No space before the colon, and no line folded onto the one before (RFC 9112 5.1, 5.2).
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return HeadStatus::kMalformed;
        std::string_view value = line.substr(colon + 1);
        if (!std::all_of(value.begin(), value.end(), isValueChar)) return HeadStatus::kMalformed;
        if (equalsIgnoringCase(line.substr(0, colon), "host")) ++hosts;
        if (equalsIgnoringCase(line.substr(0, colon), "accept-encoding")) encodings += std::string(value) + ",";
    }
    request.acceptsGzip = allowsGzip(encodings);
    // HTTP/1.1 asks for exactly one Host, 1.0 for at most one (RFC 9112 3.2).
    if (hosts > 1 || (hostRequired && hosts == 0)) return HeadStatus::kMalformed;
    return HeadStatus::kComplete;
}

}  // namespace

HeadStatus readRequestHead(std::string_view received, std::size_t &searchedUpTo, HttpRequest &request) {
    std::size_t start = 0;
    while (start < received.size() && (received[start] == '\n' || (received[start] == '\r' &&
                                                                    start + 1 < received.size() &&
                                                                    received[start + 1] == '\n')))
        start += received[start] == '\r' ? 2 : 1;
    // The head ends with an empty line: LF LF, or LF CR LF. The search starts two bytes back, where such an
    // end may have begun in the bytes looked at before.
    std::size_t at = std::max(start, searchedUpTo < 2 ? 0 : searchedUpTo - 2), end = 0;
    for (; at + 1 < received.size() && end == 0; ++at) {
        if (received[at] != '\n') continue;
        if (received[at + 1] == '\n') end = at + 2;
        if (received[at + 1] == '\r' && at + 2 < received.size() && received[at + 2] == '\n') end = at + 3;
    }
    if (end == 0) {
        searchedUpTo = received.size();
        if (received.size() < kMaxRequestHead) return HeadStatus::kIncomplete;
    }
    if (start == received.size()) return HeadStatus::kMalformed;  // nothing but empty lines, for 8 KiB
    if (end == 0 || end > kMaxRequestHead) {
        std::size_t lineEnd = received.find('\n', start);
        return lineEnd == std::string_view::npos || lineEnd >= kMaxRequestHead ? HeadStatus::kUriTooLong
                                                                               : HeadStatus::kTooLarge;
    }
    return parseHead(received.substr(start, end - start), request);
}
