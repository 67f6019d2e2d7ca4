#pragma once

#include "feed/FlightData.h"
#include "feed/PositionServer.h"

extern FlightData gFlightData;
extern PositionServer gServer;

// Looks up the simulator values and has the host call flightLoopCallback, first in 4 seconds.
void startSampler();
// Stops the callback and ends the position feed.
void stopSampler();

// Reads the simulator values into `data`, converting elevation to feet and raising its maximum.
void sampleFlightState(FlightData &data);

// Once a second on the host's thread: samples, then sends the line or starts listening for a client.
float flightLoopCallback(float elapsedSinceLastCall, float elapsedSinceLastFlightLoop, int counter, void *refcon);
