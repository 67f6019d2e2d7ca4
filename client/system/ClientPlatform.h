#pragma once

// What feedclient needs of the system beyond the feed's socket layer (Platform.h): stop requests, the
// standard streams, the GPX file and error texts. One implementation for POSIX, one for Windows.

#include <cstddef>
#include <cstdint>
#include <string>

#include "feed/Platform.h"

// Starts the socket library and readies the standard streams: on POSIX a closed pipe becomes a write
// error rather than SIGPIPE; on Windows they are binary, so the output is byte for byte the same as on POSIX.
bool startSystem();

// Calls `onStop` when the user asks the program to stop: SIGINT and SIGTERM, or on Windows Ctrl-C,
// Ctrl-Break and closing the console. It runs in a signal handler or on a thread of the system's, so it
// may only do what is safe there (a send on a socket).
void catchStopRequests(void (*onStop)());

// Writes all of `text` to standard output, waiting for as long as its reader takes to make room. It writes
// to the descriptor, not through the stream stdout, so that exit, which flushes that stream under its lock,
// never waits on a write that waits on the reader. False, with errno set, if it fails.
bool writeStandardOutput(const std::string &text);

// True for the error of a non-blocking connect that goes on in the background.
bool isConnectInProgress(int error);
// The error a non-blocking connect ended with (0: connected).
int pendingSocketError(SOCKET socket);
// The system's text for a socket error, e.g. "Connection refused", or for a getaddrinfo result.
std::string socketErrorText(int error);
std::string addressErrorText(int status);

// The GPX track's file, read and written at offsets, cut short and flushed to disk. Each returns false, with
// errno set, on failure. A write that the disk or the file size limit takes only part of fails with their
// cause (ENOSPC, EFBIG), its first part written.
int openFile(const std::string &path);  // for reading and writing, made if missing, never truncated; -1 on failure
bool fileSize(int file, std::uint64_t &size);
bool readAt(int file, std::string &data, std::uint64_t offset, std::size_t size);
bool writeAt(int file, const std::string &data, std::uint64_t offset);
bool truncateFile(int file, std::uint64_t size);
bool flushToDisk(int file);
// Closes the file, and so gives up its lock.
void closeFile(int file);

// The lock that lets one program at a time write the file: exclusive, held until the file is closed, and
// given up by the system should the program die. kFailed, with errno set, where the system has no locks.
enum class FileLock { kTaken, kHeldElsewhere, kFailed };
FileLock lockFile(int file);
