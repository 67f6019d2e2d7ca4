// What the host program needs from the XPLM library beyond the XPLM calls themselves: the data-ref
// values and the flight loop. On Windows the library is XPLM_64.dll, shared with the module it loads.
#pragma once

#include "XPLMDefs.h"

#if IBM
#if XPLM
#define HOST_API extern "C" __declspec(dllexport)
#else
#define HOST_API extern "C" __declspec(dllimport)
#endif
#else
#define HOST_API extern "C"
#endif

// Prints every XPLM call the module makes.
HOST_API void hostSetTrace(int on);

// Shows what the module writes to Log.txt on standard output too, for a person watching the host.
HOST_API void hostEchoDebugStrings(int on);

// Sets a data ref's value; returns 0 if the host has no data ref of that name.
HOST_API int hostSetDataRef(const char *name, double value);

// Makes XPLMFindDataRef return null for the name from now on; returns 0 if the name is not known.
HOST_API int hostForgetDataRef(const char *name);

// Sets the simulator time in seconds; registrations and the next frame happen at this time.
HOST_API void hostSetTime(double seconds);

// Told of each flight-loop call: the time it was made, what it returned, how long it took, and whether
// the system took the thread off the processor meanwhile although it was ready to run (0 where the
// system does not tell), so that time is not the callback's own.
typedef void (*HostCallbackObserver)(double time, float returned, long long microseconds, long long cpuMicroseconds);

// Ends a frame at the current time: calls the flight-loop callbacks that are due.
HOST_API void hostEndFrame(HostCallbackObserver observer);

// Flight-loop callbacks registered, active or not.
HOST_API int hostCallbackCount(void);
