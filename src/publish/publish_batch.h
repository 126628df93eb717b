#pragma once

// Values batched into one message ("PubBatch"): which values of the buffer a
// message carries, and its payload. The session still hands over messages and
// the store still holds values: a batch's values are its rows.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "publish/publish_format.h"

struct BatchSettings {
    // "PubBatch": the most values in one message; below 2: one value per
    // message.
    size_t most = 0;
    // "PubBatchMs": the longest the oldest value waits for its batch to fill.
    std::chrono::milliseconds wait{100};
    // "PubBatchBytes": the most bytes of one message's payload; 0: what the
    // broker takes (its Maximum Packet Size or "PubMaxBytes"), else 256 KiB.
    size_t bytes = 0;
    // "PubBatchTopic": one topic for the batches of every variable; empty:
    // a batch per topic.
    std::string topic;
    // "PubBatchTemplate": the JSON text the array goes into; null: the array.
    std::shared_ptr<const PubFormat> wrapper;
    // The wrapper's own bytes, with a time of 13 digits.
    size_t wrapperBytes = 0;

    bool on() const { return most >= 2; }
    // The payload bound given what the broker takes (0: not known).
    size_t limit(uint64_t brokerMaxPacket, uint64_t maxBytes) const;
};

// The batch settings of a driver's settings; `device` fills ${device}. Each
// key that is refused says so and is not used; outside session mode
// "PubBatch" says that values go one by one.
BatchSettings readBatchSettings(const std::string& settings, const std::string& device);

// The payload of a batch of elements (each a rendered value, in posting
// order) made at `timeMs`.
std::string batchPayload(const BatchSettings& batch, const std::vector<std::string_view>& elements,
                         int64_t timeMs);

// The payload's length for `count` elements of `elementBytes` bytes in all:
// what the limit is checked against.
size_t batchPayloadBytes(const BatchSettings& batch, size_t elementBytes, size_t count);
