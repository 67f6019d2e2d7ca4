#pragma once

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <string>

// Prints to standard output with one write to the stream, so that nothing the module prints from another
// thread meanwhile can land inside it: mingw's printf writes a line in pieces.
__attribute__((format(printf, 1, 2))) inline void print(const char *format, ...) {
    va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    if (length > 0) {
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, again);
        std::fwrite(text.data(), 1, static_cast<std::size_t>(length), stdout);
    }
    va_end(again);
}

// Numbers as printf's "%.Nf" prints them in the "C" locale, whatever locale the user or the module set.
inline std::string fixed(double value, int decimals) {
    char buffer[400];  // room for the largest double in full
    std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return std::string(buffer, result.ptr);
}
