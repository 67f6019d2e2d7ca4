#include "host/DemoFlight.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

// Airspeed and height change evenly over a phase, from where the last one left them.
struct Phase {
    double seconds;
    double airspeed;  // knots at the end
    double height;    // metres above the field at the end
    double turnRate;  // degrees per second, positive to the right
    bool onGround;
    bool parkingBrake;
};

const Phase kPhases[] = {
    {5, 0, 0, 0, true, true},           // at the gate
    {30, 15, 0, 0, true, false},        // taxi out
    {30, 15, 0, 3, true, false},        // turn onto the taxiway
    {120, 15, 0, 0, true, false},       // taxi
    {30, 8, 0, -3, true, false},        // line up
    {20, 0, 0, 0, true, false},         // hold on the runway
    {35, 150, 0, 0, true, false},       // take-off roll
    {60, 180, 450, 0, false, false},    // initial climb
    {60, 220, 1000, 1.5, false, false}, // climbing turn
    {180, 280, 3000, 0, false, false},  // climb
    {120, 280, 3000, 1.5, false, false},// turn back
    {60, 280, 3000, 0, false, false},   // cruise
    {240, 220, 1000, 0, false, false},  // descent
    {60, 170, 600, 1.5, false, false},  // turn onto final
    {150, 140, 0, 0, false, false},     // final approach
    {30, 20, 0, 0, true, false},        // roll-out
    {60, 15, 0, 1.5, true, false},      // taxi in
    {20, 0, 0, 0, true, false},         // stop at the gate
    {10, 0, 0, 0, true, true},          // parked
};

constexpr double kFieldElevation = 432;  // metres
constexpr double kGateLatitude = 47.4515;
constexpr double kGateLongitude = 8.5617;
constexpr double kGateHeading = 160;
constexpr double kEarthRadius = 6371000;  // metres
constexpr double kMetresPerSecondPerKnot = 0.514444;
constexpr double kDegrees = 180 / 3.14159265358979323846;
constexpr double kStep = 0.1;  // seconds per step of moving the aircraft

double flightSeconds() {
    double total = 0;
    for (const Phase &phase : kPhases) total += phase.seconds;
    return total;
}

// All but the position, which only moving the aircraft step by step gives.
FlightState sampleAt(double time) {
    double airspeed = 0, height = 0, heading = kGateHeading;
    const Phase *phase = kPhases;
    for (; time > phase->seconds && phase + 1 != std::end(kPhases); ++phase) {
        time -= phase->seconds;
        airspeed = phase->airspeed;
        height = phase->height;
        heading += phase->turnRate * phase->seconds;
    }
    double into = std::min(time / phase->seconds, 1.0);
    return {0,
            0,
            kFieldElevation + height + (phase->height - height) * into,
            airspeed + (phase->airspeed - airspeed) * into,
            std::fmod(heading + phase->turnRate * phase->seconds * into, 360),
            phase->onGround,
            phase->parkingBrake};
}

}  // namespace

DemoFlight::DemoFlight() { restart(); }

void DemoFlight::restart() {
    time = 0;
    current = sampleAt(0);
    current.latitude = kGateLatitude;
    current.longitude = kGateLongitude;
}

void DemoFlight::advanceTo(double seconds) {
    double target = std::fmod(seconds, flightSeconds());
    if (target < time) restart();
    double latitude = current.latitude, longitude = current.longitude;
    while (time < target) {
        double step = std::min(kStep, target - time);
        FlightState middle = sampleAt(time + step / 2);
        // True airspeed grows about 2% per 1000 ft above indicated; taken as the ground speed, no wind.
        double speed = middle.airspeed * kMetresPerSecondPerKnot * (1 + 0.02 * (middle.elevation * 3.28084 / 1000));
        double track = middle.heading / kDegrees;
        latitude += speed * step * std::cos(track) / kEarthRadius * kDegrees;
        longitude += speed * step * std::sin(track) / (kEarthRadius * std::cos(latitude / kDegrees)) * kDegrees;
        time += step;
    }
    current = sampleAt(time);
    current.latitude = latitude;
    current.longitude = longitude;
}
