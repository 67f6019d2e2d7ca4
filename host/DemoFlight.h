#pragma once

// Where the aircraft is and what it is doing.
struct FlightState {
    double latitude;   // degrees
    double longitude;  // degrees
    double elevation;  // metres above sea level
    double airspeed;   // knots indicated
    double heading;    // degrees true, 0 to 360
    bool onGround;
    bool parkingBrake;
};

// A scripted flight out of Zurich and back to a landing: taxi, take-off, climb, turns, descent. It starts
// over at the gate when it ends.
class DemoFlight {
public:
    DemoFlight();
    // Moves the aircraft on to `seconds` since the host started.
    void advanceTo(double seconds);
    const FlightState &state() const { return current; }

private:
    void restart();

    double time = 0;  // into the current run of the flight
    FlightState current;
};
