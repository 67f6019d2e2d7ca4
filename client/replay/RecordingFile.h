#pragma once

// A recording's file, read line by line from the start, and again from the start for --loop.

#include <cstddef>
#include <cstdio>
#include <string>

#include "formats/Recording.h"

// Longer than any line the JSON Lines or CSV writer makes of a line the plug-in can send.
constexpr std::size_t kMaxRecordedLineLength = 1024;

class RecordingFile {
public:
    RecordingFile() = default;
    ~RecordingFile();
    RecordingFile(const RecordingFile &) = delete;
    RecordingFile &operator=(const RecordingFile &) = delete;

    // Opens the file at `path` and tells its format from its first line. False, with `error` set, if it
    // cannot be read or is not a recording.
    bool open(const std::string &path, std::string &error);
    RecordingFormat format() const { return format_; }
    const std::string &name() const { return path; }

    // The next line, without its LF (nor a CR before it, as an editor on Windows may leave); one longer than
    // kMaxRecordedLineLength is cut there, so that its parsing fails. False at the end of the file, or if it
    // cannot be read, when `error` is set.
    bool next(std::string &line, std::string &error);
    // The number of the line last read, from 1.
    unsigned long lineNumber() const { return lines; }
    // Starts again from the first line. False, with `error` set, if the file cannot be read again.
    bool rewind(std::string &error);

private:
    std::string path;
    std::FILE *file = nullptr;
    RecordingFormat format_ = RecordingFormat::kJsonLines;
    unsigned long lines = 0;
};
