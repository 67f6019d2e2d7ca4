// Any bytes from the network as a request head, at once and as a stream cut into pieces: never a crash, a
// read out of bounds or a hang; the same answer whichever way the bytes come; and a head taken only with a
// token for its method and a path of visible characters that starts with '/' and holds no query.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "serve/HttpRequest.h"

namespace {

[[noreturn]] void fail(const char *what, const std::string &bytes) {
    std::fprintf(stderr, "%s, for %zu bytes\n", what, bytes.size());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char *>(data), size);
    HttpRequest whole;
    std::size_t searchedUpTo = 0;
    HeadStatus status = readRequestHead(bytes, searchedUpTo, whole);
    if (status == HeadStatus::kComplete) {
        const std::string &path = whole.path;
        bool visible = std::all_of(path.begin(), path.end(), [](char c) { return c > ' ' && c < 0x7F; });
        if (path.empty() || path[0] != '/' || !visible || path.find_first_of("?#") != std::string::npos)
            fail("a path taken that is not one", bytes);
        const std::string notInTokens(" \t\r\n\0:/()", 10);
        if (whole.method.empty() || whole.method.find_first_of(notInTokens) != std::string::npos)
            fail("a method taken that is not a token", bytes);
    }

    // In pieces of one size the first byte picks, as a connection reads them, until the head is read.
    std::size_t piece = size > 0 ? 1 + data[0] % 61 : 1;
    HttpRequest request;
    HeadStatus stepwise = HeadStatus::kIncomplete;
    std::string received;
    searchedUpTo = 0;
    for (std::size_t at = 0; at < size && stepwise == HeadStatus::kIncomplete; at += piece) {
        received.append(bytes, at, piece);
        stepwise = readRequestHead(received, searchedUpTo, request);
    }
    if (stepwise != status) fail("another answer when the bytes come in pieces", bytes);
    if (status == HeadStatus::kComplete && (request.method != whole.method || request.path != whole.path))
        fail("another request when the bytes come in pieces", bytes);
    return 0;
}
