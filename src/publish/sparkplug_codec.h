#pragma once

// The Sparkplug B payload (a protobuf message) encoded and decoded for this schema alone, with
// no protobuf library: none builds for both of our targets. The decoder takes what any
// encoder of the schema sends; what the node never uses (metadata, property sets, data sets,
// templates, extensions, unknown fields) is skipped whole. It never reads past the input.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sparkplug {

enum class DataType : uint32_t {
    Unknown = 0,
    Int8 = 1,
    Int16 = 2,
    Int32 = 3,
    Int64 = 4,
    UInt8 = 5,
    UInt16 = 6,
    UInt32 = 7,
    UInt64 = 8,
    Float = 9,
    Double = 10,
    Boolean = 11,
    String = 12,
    DateTime = 13,
    Text = 14,
    UUID = 15,
    DataSet = 16,
    Bytes = 17,
    File = 18,
    Template = 19,
    PropertySet = 20,
    PropertySetList = 21,
};

// Which member of the metric's value the payload carries. Signed integers travel as two's
// complement in the unsigned fields: Int8 to Int32 in Int (32 bits), Int64 in Long.
enum class Field { None, Int, Long, Float, Double, Boolean, String, Bytes };

struct Metric {
    std::optional<std::string> name;
    std::optional<uint64_t> alias;
    std::optional<uint64_t> timestamp; // ms since 1970
    std::optional<uint32_t> datatype;  // a DataType, kept raw: a peer may send a newer one
    bool isHistorical = false, isTransient = false, isNull = false;

    Field field = Field::None;
    uint64_t integer = 0; // Int (32 bits) and Long
    float single = 0;
    double real = 0;
    bool boolean = false;
    std::string text; // String and Bytes

    // The value with the datatype that goes with it.
    void setInt64(int64_t v);
    void setUInt64(uint64_t v);
    void setDouble(double v);
    void setBoolean(bool v);
    void setString(std::string v);
};

struct Payload {
    std::optional<uint64_t> timestamp; // ms since 1970
    std::vector<Metric> metrics;
    std::optional<uint64_t> seq;
    std::optional<std::string> uuid;
    std::optional<std::string> body;
};

// Floating values compare by their bits, so that NaN equals itself and -0 differs from 0.
bool operator==(const Metric& a, const Metric& b);
bool operator==(const Payload& a, const Payload& b);
inline bool operator!=(const Metric& a, const Metric& b) {
    return !(a == b);
}
inline bool operator!=(const Payload& a, const Payload& b) {
    return !(a == b);
}

std::string encode(const Payload& payload);

// False with a reason in *error (when given) for bytes that are no payload: a field cut short,
// an over-long varint, a length past the end, field number 0, a group. *out is then unspecified.
bool decode(std::string_view bytes, Payload* out, std::string* error = nullptr);

// The metric's value as text, read as its datatype says: integers in decimal with their sign,
// floating values in the shortest form that reads back the same, Boolean as "true"/"false",
// strings as they are. Without a datatype the field decides. Nothing for a null metric, for a
// value its datatype cannot hold (an Int8 of 300) and for kinds that are not scalars.
std::optional<std::string> valueText(const Metric& metric);

} // namespace sparkplug
