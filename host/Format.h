#pragma once

#include <charconv>
#include <string>

// Numbers as printf's "%.Nf" prints them in the "C" locale, whatever locale the user or the module set.
inline std::string fixed(double value, int decimals) {
    char buffer[400];  // room for the largest double in full
    std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return std::string(buffer, result.ptr);
}
