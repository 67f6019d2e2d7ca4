#include <winsock2.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include "system/NetworkAddresses.h"

namespace {

std::string utf8(const wchar_t *text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string converted(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &converted[0], size, nullptr, nullptr);
    converted.pop_back();  // its NUL
    return converted;
}

}  // namespace

std::vector<InterfaceAddress> networkAddresses() {
    std::vector<InterfaceAddress> found;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // The list's size is known only once asked for; it may grow between the two calls.
    std::vector<unsigned char> buffer(16384);
    ULONG size = static_cast<ULONG>(buffer.size()), result;
    while ((result = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                          reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()), &size)) ==
           ERROR_BUFFER_OVERFLOW)
        buffer.resize(size);
    if (result != NO_ERROR) return found;
    for (const auto *adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES *>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        for (const auto *unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
            const auto *address = reinterpret_cast<const sockaddr_in *>(unicast->Address.lpSockaddr);
            if (address->sin_family != AF_INET) continue;
            found.push_back({utf8(adapter->FriendlyName),
                             dottedAddress(reinterpret_cast<const unsigned char *>(&address->sin_addr))});
        }
    }
    return found;
}
