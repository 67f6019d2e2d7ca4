// Minimal declarations of the X-Plane plug-in SDK: only what this project uses.
// Names and C signatures match the official SDK, so the sources also build against it.
#ifndef XPLMDefs_h
#define XPLMDefs_h

#if !(defined(IBM) && IBM) && !(defined(LIN) && LIN) && !(defined(APL) && APL)
#error "Define one of IBM, LIN or APL to 1"
#endif

#ifdef __cplusplus
#define XPLM_EXTERN_C extern "C"
#else
#define XPLM_EXTERN_C
#endif

#if defined(IBM) && IBM
// XPLM is defined only while building the host library that implements the calls.
#if defined(XPLM) && XPLM
#define XPLM_API XPLM_EXTERN_C __declspec(dllexport)
#else
#define XPLM_API XPLM_EXTERN_C __declspec(dllimport)
#endif
#define PLUGIN_API XPLM_EXTERN_C __declspec(dllexport)
#else
#define XPLM_API XPLM_EXTERN_C __attribute__((visibility("default")))
#define PLUGIN_API XPLM_EXTERN_C __attribute__((visibility("default")))
#endif

typedef int XPLMPluginID;

#endif
