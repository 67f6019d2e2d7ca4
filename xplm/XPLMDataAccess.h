#ifndef XPLMDataAccess_h
#define XPLMDataAccess_h

#include "XPLMDefs.h"

// Opaque handle to one of the host's named values; null when the host does not know the name.
typedef void *XPLMDataRef;

XPLM_API XPLMDataRef XPLMFindDataRef(const char *inDataRefName);
XPLM_API int XPLMGetDatai(XPLMDataRef inDataRef);
XPLM_API float XPLMGetDataf(XPLMDataRef inDataRef);
XPLM_API double XPLMGetDatad(XPLMDataRef inDataRef);

#endif
