#pragma once

// Marks the plug-in's entry points, the only symbols it shows the host.
#if defined(_WIN32)
#define KRO_EXPORT extern "C" __declspec(dllexport)
#else
#define KRO_EXPORT extern "C" __attribute__((visibility("default")))
#endif
