#pragma once

// The settings of the publish session ("PubMode": "session") and its store,
// read from a driver's settings JSON.

#include <cstddef>
#include <cstdint>
#include <string>

struct SessionSettings {
    // "PubBuffer": values kept in memory while they cannot be sent.
    size_t buffer = 100000;
    // "PubStore": the file that keeps every value until the broker has it;
    // empty for none.
    std::string store;
    // "PubStoreLimit" (MiB) and "PubStoreMaxAge" (seconds, 0: no limit).
    uint64_t storeLimitMiB = 1024;
    uint64_t storeMaxAgeSeconds = 0;
    // "PubReconnectMax": the longest pause between connect attempts, seconds.
    uint64_t reconnectMaxSeconds = 60;
};

// Each setting that is not a whole number in its range is reported on
// standard output and its default used.
SessionSettings readSessionSettings(const std::string& settings);

// A whole-number setting `key` from `min`; `unit` names what it counts in
// the report ("seconds", "values"). The default when absent or refused.
uint64_t readWholeSetting(const std::string& settings, const char* key, uint64_t fallback,
                          uint64_t min, const char* unit);
