#pragma once

// Numbers as text, never in the process locale: a decimal comma there must not reach any output.

#include <charconv>
#include <string>

// Appends `value` in fixed-point with `decimals` digits; nan and inf as to_chars spells them.
inline void appendFixed(std::string &out, double value, int decimals) {
    char buffer[400];  // room for the largest double with the few decimals asked for here
    std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (result.ec == std::errc())
        out.append(buffer, result.ptr);
    else
        out += '?';
}

inline std::string fixedText(double value, int decimals) {
    std::string text;
    appendFixed(text, value, decimals);
    return text;
}

// A time in seconds as a notice tells it, e.g. "0.5 s" or "10 s".
inline std::string secondsText(double seconds, int decimals) { return fixedText(seconds, decimals) + " s"; }
