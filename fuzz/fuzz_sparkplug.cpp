// The Sparkplug B payload codec. Input: any bytes, as a broker hands a command over. They decode
// or are refused without a crash; a payload that decodes encodes to bytes that decode to the
// same payload, and encoding that again gives the same bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "publish/sparkplug_codec.h"

#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    sparkplug::Payload payload;
    std::string error;
    if (!sparkplug::decode(bytes, &payload, &error)) {
        require(!error.empty());
        return 0;
    }
    for (const sparkplug::Metric& m : payload.metrics)
        (void)sparkplug::valueText(m);
    const std::string encoded = sparkplug::encode(payload);
    require(encoded.size() <= size);
    sparkplug::Payload again;
    require(sparkplug::decode(encoded, &again, &error));
    require(again == payload);
    require(sparkplug::encode(again) == encoded);
    return 0;
}
