#pragma once

// Requests to stop, from the user (Ctrl-C and the like) or from standard output's thread when it has
// failed or written its last line. Each makes a UDP socket connected to itself readable, so that a wait
// on it ends at once, with no time-out to poll a flag.

#include "feed/Platform.h"

// Makes the socket and catches the user's requests; false, with WSAGetLastError() set, if it cannot.
bool startStopRequests();
// Safe in a signal handler and on any thread.
void requestStop();
// Readable while a request waits to be taken.
SOCKET stopSocket();
// Takes the requests made so far, so that only a further one makes the socket readable.
void takeStopRequests();
// Waits up to `milliseconds` (-1: for as long as it takes) for a request.
void waitForStopRequest(int milliseconds);
