#ifndef XPLMUtilities_h
#define XPLMUtilities_h

#include "XPLMDefs.h"

// Appends the text to X-Plane's Log.txt, which is flushed at once. Only from the host's thread.
XPLM_API void XPLMDebugString(const char *inString);

#endif
