#pragma once

// The settings of the publish session ("PubMode": "session") and its store,
// read from a driver's settings JSON.

#include <cstddef>
#include <cstdint>
#include <string>

#include "publish/publish_batch.h"

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
    // The connection's pace: "PubRate" (PUBLISH packets a second),
    // "PubByteRate" (topic and payload bytes a second), "PubInflight" (QoS 1
    // and 2 values unacknowledged) and "PubMaxBytes" (the longest payload the
    // broker takes); 0 for none. "PubAckTimeout": seconds a value may wait for
    // its acknowledgement on a live connection, 0 for no limit.
    uint64_t rate = 0;
    uint64_t byteRate = 0;
    uint64_t inflight = 0;
    uint64_t maxBytes = 0;
    uint64_t ackTimeoutSeconds = 10;
    // "PubBatch" and its keys.
    BatchSettings batch;
    // Whether "<prefix>pubrate" is written: a pace is set.
    bool paced() const { return rate || byteRate || inflight; }
};

// AWS IoT Core's published limits per connection, the AWS driver's defaults.
constexpr uint64_t kAwsRate = 100;
constexpr uint64_t kAwsByteRate = 512 * 1024;
constexpr uint64_t kAwsInflight = 100;
constexpr uint64_t kAwsMaxBytes = 128 * 1024;

// Each setting that is not a whole number in its range is reported on
// standard output and its default used; `aws` gives the pace AWS IoT Core's
// limits by default.
SessionSettings readSessionSettings(const std::string& settings, bool aws = false);

// A whole-number setting `key` from `min`; `unit` names what it counts in
// the report ("seconds", "values"). The default when absent or refused.
uint64_t readWholeSetting(const std::string& settings, const char* key, uint64_t fallback,
                          uint64_t min, const char* unit);
