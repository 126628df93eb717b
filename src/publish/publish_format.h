#pragma once

// The shape a posted value is published in ("PubFormat", "PubTemplate").
// Knows nothing of the host: a driver hands it the value, the variable's
// address and the posting time, and publishes what comes back.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class PubFormat {
public:
    // "PubFormat": "json": {"address": ..., "value": ..., "time": ...}.
    static std::unique_ptr<const PubFormat> json();
    // A template with ${value}, ${address}, ${device} and ${time}; null, with
    // the reason in `error`, for one that does not give valid JSON whatever
    // the values.
    static std::unique_ptr<const PubFormat> compile(std::string_view text, std::string_view device,
                                                    std::string& error);
    // A wrapper for a batch of values: ${values} (a JSON array, where a JSON
    // value stands), ${device} and ${time}; render() takes the array as the
    // value, inserted as it is.
    static std::unique_ptr<const PubFormat>
    compileWrapper(std::string_view text, std::string_view device, std::string& error);

    // The published text for a value (its bytes as posted), the variable's
    // address and the posting time (milliseconds since 1970, UTC).
    std::string render(std::string_view value, std::string_view address, int64_t timeMs) const;
    void renderTo(std::string& out, std::string_view value, std::string_view address,
                  int64_t timeMs) const;

private:
    enum class Slot { Value, Address, Device, Time, Values };
    static std::unique_ptr<const PubFormat> parse(std::string_view text, std::string_view device,
                                                  bool wrapper, std::string& error);
    // Literal text, then (unless it is the tail) a placeholder: inside a JSON
    // string its content, elsewhere a whole JSON value.
    struct Piece {
        std::string literal;
        Slot slot = Slot::Value;
        bool inString = false;
    };

    std::vector<Piece> m_pieces;
    std::string m_tail;
    std::string m_device;
    size_t m_literalBytes = 0;
};

// The format a driver's settings ask for; null when values go as they are
// (neither key set, or a refused one, with a line saying so). `device` fills
// ${device}.
std::unique_ptr<const PubFormat> readPubFormat(const std::string& settings,
                                               const std::string& device);

// A JSON number by the grammar (-0, 1.5e3; not 01, 1., .5, +1, NaN) that an
// IEEE double can hold: a number beyond that range (1e400) would make most
// parsers refuse the whole text.
bool isJsonNumber(std::string_view text);

// Appends `bytes` as the content of a JSON string: quote, backslash and
// control characters escaped, each byte that is not part of a valid UTF-8
// sequence replaced by U+FFFD.
void appendJsonString(std::string& out, std::string_view bytes);

// Appends a value where a JSON value stands: a JSON number, true or false as
// it is, anything else as a quoted string.
void appendJsonValue(std::string& out, std::string_view value);
