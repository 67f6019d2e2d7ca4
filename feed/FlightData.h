#pragma once

#include <cstdint>

// The aircraft's state as sampled once a second.
struct FlightData {
    int32_t onGround;
    float parkingBrake;
    int32_t seatBelts;
    double latitude;           // degrees
    double longitude;          // degrees
    double elevation;          // feet
    float indicatedAirspeed;   // knots
    double maxElevation;       // feet, highest elevation seen since load
    float heading;             // degrees true
};
