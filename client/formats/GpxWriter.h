#pragma once

// The GPX 1.1 track, in a file of its own.

#include <memory>
#include <string>

#include "read/PositionSink.h"

// A GPX 1.1 track in the file at `path`, complete on disk after every point, even after a write that failed.
// Null, with `error` set, if the file cannot be made, is neither empty nor a GPX document to add the track
// to, or another feedclient is writing to it.
std::unique_ptr<PositionSink> makeGpxWriter(const std::string &path, std::string &error);
