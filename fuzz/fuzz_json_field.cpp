// A variable's field of a JSON payload. Input: a filter with its location, a
// NUL, the payload (up to a NUL: the driver gets payloads as C strings). The split gives the filter
// back; a payload is JSON exactly when the reference parser says so (bar nesting past the limit and
// numbers beyond a double, which are text here); a field found is the value the reference parser
// finds there.

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "receive/json_field.h"

#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string address = take_part(data, size);
    const std::string payload = take_part(data, size);

    const FilterLocation split = splitLocation(address);
    require(split.hasPointer ? split.filter + "#" + split.pointer == address
                             : split.filter == address);
    const std::optional<JsonPointer> pointer = JsonPointer::parse(split.pointer);

    JsonDocument document;
    const bool ok = document.parse(payload);
    nlohmann::json reference;
    bool accepted = true, overflow = false;
    try {
        reference = nlohmann::json::parse(payload);
    } catch (const nlohmann::json::exception& e) { // overflow: out_of_range
        accepted = false;
        overflow = std::string(e.what()).find("number overflow") != std::string::npos;
    }
    size_t brackets = 0;
    for (const char c : payload)
        brackets += c == '[' || c == '{';
    require(ok == accepted || (ok && overflow) ||
            (!ok && brackets > static_cast<size_t>(JsonDocument::kMaxDepth)));
    if (!pointer)
        return 0;
    require(pointer->text() == split.pointer);

    std::string field;
    const bool found = document.extract(*pointer, field);
    require(ok || !found);
    // The reference has no member selection and no "~2".
    bool plain = split.pointer.find("~2") == std::string::npos;
    for (const JsonPointer::Token& token : pointer->tokens())
        plain = plain && !token.select;
    if (!ok || !accepted || !plain)
        return 0;
    const nlohmann::json* value = nullptr;
    try {
        value = &reference.at(nlohmann::json::json_pointer(split.pointer));
    } catch (const nlohmann::json::exception&) {
    }
    require(found == (value != nullptr));
    if (!found)
        return 0;
    if (value->is_string())
        require(value->get_ref<const std::string&>() == field);
    else
        require(nlohmann::json::parse(field) == *value);
    return 0;
}
