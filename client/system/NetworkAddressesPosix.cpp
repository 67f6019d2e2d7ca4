#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "system/NetworkAddresses.h"

std::vector<InterfaceAddress> networkAddresses() {
    std::vector<InterfaceAddress> found;
    ifaddrs *interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return found;
    for (const ifaddrs *at = interfaces; at != nullptr; at = at->ifa_next) {
        if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET || !(at->ifa_flags & IFF_UP) ||
            (at->ifa_flags & IFF_LOOPBACK))
            continue;
        const auto *address = reinterpret_cast<const sockaddr_in *>(at->ifa_addr);
        found.push_back({at->ifa_name, dottedAddress(reinterpret_cast<const unsigned char *>(&address->sin_addr))});
    }
    freeifaddrs(interfaces);
    return found;
}
