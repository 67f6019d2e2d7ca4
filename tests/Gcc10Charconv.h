#pragma once

// The floating-point std::to_chars and std::from_chars that the stand-in host uses and that came with
// GCC 11, for building the host with Debian 11's GCC 10. Like the real ones they ignore the locale the
// host or the module sets: they work in the "C" locale of the calling thread alone.

#include <locale.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace std {

inline locale_t gcc10CLocale() {
    static locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    return c;
}

// Fixed notation only, which is all the host asks for.
inline to_chars_result to_chars(char *first, char *last, double value, chars_format, int precision) {
    locale_t previous = uselocale(gcc10CLocale());
    int length = snprintf(first, static_cast<size_t>(last - first), "%.*f", precision, value);
    uselocale(previous);
    if (length < 0 || length >= last - first) return {last, errc::value_too_large};
    return {first + length, errc()};
}

inline from_chars_result from_chars(const char *first, const char *last, double &value) {
    string text(first, last);  // strtod reads up to a terminator
    char *end = nullptr;
    errno = 0;
    double parsed = strtod_l(text.c_str(), &end, gcc10CLocale());
    if (end == text.c_str()) return {first, errc::invalid_argument};
    // strtod also says ERANGE of a subnormal, which from_chars returns as it is.
    if (errno == ERANGE && (parsed == 0 || isinf(parsed))) return {first + (end - text.c_str()), errc::result_out_of_range};
    value = parsed;
    return {first + (end - text.c_str()), errc()};
}

}  // namespace std
