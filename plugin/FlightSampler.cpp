#include "plugin/FlightSampler.h"

#include "plugin/DiagnosticLog.h"
#include "XPLMDataAccess.h"
#include "XPLMProcessing.h"

FlightData gFlightData{};
PositionServer gServer;

namespace {

constexpr double kFeetPerMetre = 3.28084;
constexpr float kFirstCallDelaySeconds = 4.0f;
constexpr float kCallIntervalSeconds = 1.0f;

// Looked up in this order at start and read in this order on every tick.
enum DataRefRow {
    kParkingBrake,
    kSeatBelts,
    kLatitude,
    kLongitude,
    kElevation,
    kIndicatedAirspeed,
    kOnGround,
    kHeading,
    kDataRefCount
};

const char *const kDataRefNames[kDataRefCount] = {
    "sim/flightmodel/controls/parkbrake",
    "sim/cockpit/switches/fasten_seat_belts",
    "sim/flightmodel/position/latitude",
    "sim/flightmodel/position/longitude",
    "sim/flightmodel/position/elevation",
    "sim/flightmodel/position/indicated_airspeed",
    "sim/flightmodel/failures/onground_any",
    "sim/flightmodel/position/psi",
};

// A null handle (a name the host does not know) is kept and read as the host reads it.
XPLMDataRef gDataRefs[kDataRefCount];

DiagnosticLog gLog;

void reportToLog(const FeedEvent &event) { gLog.report(event); }

}  // namespace

void startSampler() {
    gLog.started(PLUGIN_VERSION);
    gServer.setEventHandler(reportToLog);
    for (int row = 0; row < kDataRefCount; ++row) gDataRefs[row] = XPLMFindDataRef(kDataRefNames[row]);
    XPLMRegisterFlightLoopCallback(flightLoopCallback, kFirstCallDelaySeconds, nullptr);
}

void stopSampler() {
    XPLMUnregisterFlightLoopCallback(flightLoopCallback, nullptr);
    gServer.stop();
}

void sampleFlightState(FlightData &data) {
    data.parkingBrake = XPLMGetDataf(gDataRefs[kParkingBrake]);
    data.seatBelts = XPLMGetDatai(gDataRefs[kSeatBelts]);
    data.latitude = XPLMGetDatad(gDataRefs[kLatitude]);
    data.longitude = XPLMGetDatad(gDataRefs[kLongitude]);
    data.elevation = XPLMGetDatad(gDataRefs[kElevation]) * kFeetPerMetre;
    data.indicatedAirspeed = XPLMGetDataf(gDataRefs[kIndicatedAirspeed]);
    data.onGround = XPLMGetDatai(gDataRefs[kOnGround]);
    data.heading = XPLMGetDataf(gDataRefs[kHeading]);
    if (data.elevation > data.maxElevation) data.maxElevation = data.elevation;  // never a NaN
}

float flightLoopCallback(float elapsedSinceLastCall, float, int, void *) {
    sampleFlightState(gFlightData);
    gServer.deliverEvents();
    gLog.advance(elapsedSinceLastCall);
    // In this order, a listener that takes a client meanwhile cannot seem to have neither, which would
    // start a second listener beside the client.
    bool listening = gServer.isListening();
    if (gServer.isConnected()) {
        gServer.sendFlightData(gFlightData);
    } else if (!listening) {
        gServer.startListener();
    }
    return kCallIntervalSeconds;
}
