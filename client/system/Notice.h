#pragma once

#include <cstdio>
#include <cstring>
#include <string>

// A notice for the user on standard error, such as "feedclient: connected to 127.0.0.1:27015".
inline void notice(const std::string &text) { std::fprintf(stderr, "feedclient: %s\n", text.c_str()); }

// The notice for an output that failed with `error`, an errno.
inline void noticeOutputFailure(int error) { notice("cannot write the output: " + std::string(std::strerror(error))); }
