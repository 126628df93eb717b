// A template compiled from arbitrary text, then rendered with arbitrary
// values, addresses and device ids: whatever they hold, a template that was
// accepted gives text that parses as JSON, and a value that is a JSON number,
// true or false comes back as it was. The built-in "json" shape too.
//
// Input: template NUL value NUL address NUL device NUL time (decimal); missing
// parts are empty.

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "publish/publish_format.h"

#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = take_part(data, size);
    const std::string value = take_part(data, size);
    const std::string address = take_part(data, size);
    const std::string device = take_part(data, size);
    const std::string time = take_part(data, size);
    // Any time a clock gives: from 1970 to the year 2286.
    int64_t ms = 0;
    for (const char c : time.substr(0, 13))
        ms = ms * 10 + static_cast<unsigned char>(c) % 10;

    auto check = [&](const PubFormat& format) {
        const std::string out = format.render(value, address, ms);
        const auto doc = nlohmann::json::parse(out, nullptr, /*allow_exceptions=*/false);
        require(!doc.is_discarded());
    };
    std::string error;
    if (const auto format = PubFormat::compile(text, device, error))
        check(*format);
    else
        require(!error.empty());

    const auto json = PubFormat::json();
    const std::string out = json->render(value, address, ms);
    const auto doc = nlohmann::json::parse(out, nullptr, false);
    require(!doc.is_discarded() && doc.is_object() && doc.size() == 3);
    require(doc["time"] == ms);
    if (value == "true" || value == "false")
        require(doc["value"].is_boolean() && doc["value"].dump() == value);
    else if (isJsonNumber(value))
        require(doc["value"].is_number() && doc["value"] == nlohmann::json::parse(value));
    else
        require(doc["value"].is_string());
    return 0;
}
