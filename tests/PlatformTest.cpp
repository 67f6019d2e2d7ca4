// The feed's socket layer, on Linux and, built by the Windows preset and run under Wine, on Windows.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "feed/Platform.h"

namespace {

// Every error a send to a connected client can end with once the client, or the network on the way to
// it, has gone: those its system's send documents, and those of an unreachable host or network that
// TCP reports once its retransmissions give up. Winsock has no broken pipe: a closed client is a reset.
#if defined(_WIN32)
const int kClientGoneErrors[] = {WSAECONNRESET,   WSAECONNABORTED, WSAETIMEDOUT,   WSAENETRESET,
                                 WSAEHOSTUNREACH, WSAEHOSTDOWN,    WSAENETUNREACH, WSAENETDOWN};
#else
const int kClientGoneErrors[] = {EPIPE,        ECONNRESET, ECONNABORTED, ETIMEDOUT,
                                 EHOSTUNREACH, EHOSTDOWN,  ENETUNREACH,  ENETDOWN};
#endif

// The Log.txt line that tells of a lost client is all its user sees of why: each error has its own words.
TEST(SocketErrors, EveryWayAClientIsLostHasWordsOfItsOwn) {
    std::set<std::string> seen;
    for (int error : kClientGoneErrors) {
        const char *words = describeSocketError(error);
        ASSERT_NE(words, nullptr) << "error " << error << " has no words";
        EXPECT_TRUE(seen.insert(words).second) << "error " << error << " shares its words: " << words;
    }
}

}  // namespace
