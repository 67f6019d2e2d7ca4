#include "replay/RecordingFile.h"

#include <cerrno>
#include <cstring>

RecordingFile::~RecordingFile() {
    if (file) std::fclose(file);
}

bool RecordingFile::open(const std::string &path, std::string &error) {
    this->path = path;
    file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string first, problem;
    if (!next(first, problem)) {
        error = problem.empty() ? path + ": empty: no recording to replay" : problem;
        return false;
    }
    problem = recordingFormatOf(first, format_);
    if (!problem.empty()) error = path + ": " + problem;
    return problem.empty() && rewind(error);
}

bool RecordingFile::next(std::string &line, std::string &error) {
    line.clear();
    int c = std::getc(file);
    if (c == EOF) {
        if (std::ferror(file)) error = path + ": " + std::strerror(errno);
        return false;
    }
    for (; c != EOF && c != '\n'; c = std::getc(file)) {
        if (line.size() <= kMaxRecordedLineLength) line += static_cast<char>(c);
    }
    if (c == EOF && std::ferror(file)) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++lines;
    return true;
}

bool RecordingFile::rewind(std::string &error) {
    lines = 0;
    if (std::fseek(file, 0, SEEK_SET) == 0) return true;
    error = path + ": " + std::strerror(errno);
    return false;
}
