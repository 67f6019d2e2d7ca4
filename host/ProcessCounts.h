#pragma once

// What the host process holds right now, so the tests can see whether a module leaks it.

// Open descriptors (POSIX) or handles (Windows) of this process.
int openHandleCount();
// Threads of this process.
int threadCount();
