// The module's face to the host: the five entry points, each a few lines.
#include <cstring>

#include "plugin/FlightSampler.h"
#include "XPLMDefs.h"

#if IBM
#include <windows.h>
#endif

PLUGIN_API int XPluginStart(char *outName, char *outSignature, char *outDescription) {
    std::strcpy(outName, "BelvantoPlugin");
    std::strcpy(outSignature, "com.belvanto.xplane.belvantoplugin");
    std::strcpy(outDescription, "Belvanto Plugin for X-Plane");
    startSampler();
    return 1;
}

// Ends what start began, so a connected client sees its stream end, the port is free for a reload, and
// no thread is left running in a module about to be unloaded.
PLUGIN_API void XPluginStop(void) { stopSampler(); }

PLUGIN_API int XPluginEnable(void) { return 1; }

PLUGIN_API void XPluginDisable(void) {}

PLUGIN_API void XPluginReceiveMessage(XPLMPluginID, int, void *) {}

#if IBM
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
