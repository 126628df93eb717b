#include "publish/publish_settings.h"

#include "drivers/driver_settings.h"
#include "kro/Util.h"
#include "text/lines.h"

uint64_t readWholeSetting(const std::string& settings, const char* key, uint64_t fallback,
                          uint64_t min, const char* unit) {
    const std::string text = kro::util::Util::getValFromJsonc(settings, key);
    if (text.empty())
        return fallback;
    if (!isWholeNumber(text) || std::stoull(text) < min) {
        printLine(std::string("[kro error]") + key + " must be a whole number of " + unit +
                  " from " + std::to_string(min) + ", not \"" + printable(text) + "\"; using " +
                  std::to_string(fallback) + "\n");
        return fallback;
    }
    return std::stoull(text);
}

SessionSettings readSessionSettings(const std::string& settings, bool aws) {
    SessionSettings s;
    if (aws) {
        s.rate = kAwsRate;
        s.byteRate = kAwsByteRate;
        s.inflight = kAwsInflight;
        s.maxBytes = kAwsMaxBytes;
    }
    s.store = kro::util::Util::getValFromJsonc(settings, "PubStore");
    if (s.store.find('\0') != std::string::npos) {
        // Cut at the NUL it would be another file.
        printLine("[kro error]setting \"PubStore\" holds a NUL character: values are kept in "
                  "memory only\n");
        s.store.clear();
    }
    s.storeLimitMiB = readWholeSetting(settings, "PubStoreLimit", s.storeLimitMiB, 1, "MiB");
    s.storeMaxAgeSeconds =
        readWholeSetting(settings, "PubStoreMaxAge", s.storeMaxAgeSeconds, 0, "seconds");
    s.reconnectMaxSeconds =
        readWholeSetting(settings, "PubReconnectMax", s.reconnectMaxSeconds, 1, "seconds");
    s.rate = readWholeSetting(settings, "PubRate", s.rate, 0, "messages a second");
    s.byteRate = readWholeSetting(settings, "PubByteRate", s.byteRate, 0, "bytes a second");
    s.inflight = readWholeSetting(settings, "PubInflight", s.inflight, 0, "values");
    s.maxBytes = readWholeSetting(settings, "PubMaxBytes", s.maxBytes, 0, "bytes");
    s.ackTimeoutSeconds =
        readWholeSetting(settings, "PubAckTimeout", s.ackTimeoutSeconds, 0, "seconds");
    // The AWS driver has no device: its ${device} is empty.
    s.batch = readBatchSettings(settings,
                                aws ? "" : kro::util::Util::getValFromJsonc(settings, "DeviceId"));
    return s;
}
