#pragma once

// The machine's own IPv4 addresses, for telling a user where another device (a tablet on the same Wi-Fi)
// can reach a server: one that types "localhost" on a tablet reaches the tablet.

#include <string>
#include <vector>

struct InterfaceAddress {
    std::string interfaceName;  // as the system names it: "wlan0", "Wi-Fi"
    std::string address;        // dotted, e.g. "192.168.1.20"
};

// The addresses of the interfaces that are up, but loopback's; in the system's order.
std::vector<InterfaceAddress> networkAddresses();

// "a.b.c.d" of an IPv4 address in network order.
std::string dottedAddress(const unsigned char bytes[4]);
