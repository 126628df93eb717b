#pragma once

// Marks what the host runtime library exports to its plug-ins.
#if defined(_WIN32)
#if defined(KRO_CORE_BUILD)
#define KRO_CORE_API __declspec(dllexport)
#else
#define KRO_CORE_API __declspec(dllimport)
#endif
#else
#define KRO_CORE_API __attribute__((visibility("default")))
#endif
