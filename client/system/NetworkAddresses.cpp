#include "system/NetworkAddresses.h"

std::string dottedAddress(const unsigned char bytes[4]) {
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
}
