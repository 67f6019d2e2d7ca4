#pragma once

// Where the text formats go: standard output, through a queue (QueuedOutput).

#include <string>

class TextOutput {
public:
    virtual ~TextOutput() = default;
    // Takes whole lines; false, with errno set, if the output has failed.
    virtual bool put(const std::string &lines) = 0;
};
