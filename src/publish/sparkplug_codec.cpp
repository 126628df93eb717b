#include "publish/sparkplug_codec.h"

#include <charconv>
#include <cstring>
#include <limits>

namespace sparkplug {

namespace {

// Protobuf wire types.
enum Wire : uint32_t { kVarint = 0, kFixed64 = 1, kBytes = 2, kFixed32 = 5 };

// Field numbers of the two messages.
enum PayloadField : uint32_t { kPTimestamp = 1, kPMetric, kPSeq, kPUuid, kPBody };
enum MetricField : uint32_t {
    kName = 1,
    kAlias,
    kTimestamp,
    kDatatype,
    kHistorical,
    kTransient,
    kNull,
    kMetadata,
    kProperties,
    kIntValue,
    kLongValue,
    kFloatValue,
    kDoubleValue,
    kBooleanValue,
    kStringValue,
    kBytesValue,
    kDatasetValue,
    kTemplateValue,
    kExtensionValue,
};

void putVarint(std::string& out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

void putKey(std::string& out, uint32_t field, Wire wire) {
    putVarint(out, (static_cast<uint64_t>(field) << 3) | wire);
}

void putVarintField(std::string& out, uint32_t field, uint64_t v) {
    putKey(out, field, kVarint);
    putVarint(out, v);
}

void putBytesField(std::string& out, uint32_t field, std::string_view bytes) {
    putKey(out, field, kBytes);
    putVarint(out, bytes.size());
    out.append(bytes.data(), bytes.size());
}

// Fixed-width fields are little-endian whatever the machine's order.
void putFixed(std::string& out, uint32_t field, uint64_t bits, int bytes) {
    putKey(out, field, bytes == 8 ? kFixed64 : kFixed32);
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
}

template <typename To, typename From> To bitsOf(From v) {
    static_assert(sizeof(To) == sizeof(From), "same width");
    To out;
    std::memcpy(&out, &v, sizeof out);
    return out;
}

std::string encodeMetric(const Metric& m) {
    std::string out;
    if (m.name)
        putBytesField(out, kName, *m.name);
    if (m.alias)
        putVarintField(out, kAlias, *m.alias);
    if (m.timestamp)
        putVarintField(out, kTimestamp, *m.timestamp);
    if (m.datatype)
        putVarintField(out, kDatatype, *m.datatype);
    if (m.isHistorical)
        putVarintField(out, kHistorical, 1);
    if (m.isTransient)
        putVarintField(out, kTransient, 1);
    if (m.isNull)
        putVarintField(out, kNull, 1);
    switch (m.field) {
    case Field::None:
        break;
    case Field::Int:
        putVarintField(out, kIntValue, static_cast<uint32_t>(m.integer));
        break;
    case Field::Long:
        putVarintField(out, kLongValue, m.integer);
        break;
    case Field::Float:
        putFixed(out, kFloatValue, bitsOf<uint32_t>(m.single), 4);
        break;
    case Field::Double:
        putFixed(out, kDoubleValue, bitsOf<uint64_t>(m.real), 8);
        break;
    case Field::Boolean:
        putVarintField(out, kBooleanValue, m.boolean ? 1 : 0);
        break;
    case Field::String:
        putBytesField(out, kStringValue, m.text);
        break;
    case Field::Bytes:
        putBytesField(out, kBytesValue, m.text);
        break;
    }
    return out;
}

// One field as read off the wire, before its meaning is known.
struct RawField {
    uint32_t number = 0;
    uint32_t wire = 0;
    uint64_t value = 0;     // varint and fixed widths
    std::string_view bytes; // length-delimited
};

class Reader {
public:
    Reader(std::string_view all, std::string_view part, std::string* error)
        : m_all(all), m_pos(part.data()), m_end(part.data() + part.size()), m_error(error) {}

    bool done() const { return m_pos == m_end; }

    bool next(RawField* f) {
        const char* start = m_pos;
        uint64_t key = 0;
        if (!varint(&key))
            return false;
        if (key >> 3 == 0 || key >> 3 > 0x1fffffff)
            return fail("invalid field number", start);
        f->number = static_cast<uint32_t>(key >> 3);
        f->wire = static_cast<uint32_t>(key & 7);
        switch (f->wire) {
        case kVarint:
            return varint(&f->value);
        case kFixed64:
            return fixed(&f->value, 8);
        case kFixed32:
            return fixed(&f->value, 4);
        case kBytes: {
            const char* at = m_pos;
            uint64_t len = 0;
            if (!varint(&len))
                return false;
            if (len > static_cast<uint64_t>(m_end - m_pos))
                return fail("length past the end", at);
            f->bytes = std::string_view(m_pos, static_cast<size_t>(len));
            m_pos += len;
            return true;
        }
        default: // groups (3, 4) are not in this schema; 6 and 7 do not exist
            return fail("unsupported wire type " + std::to_string(f->wire), start);
        }
    }

    bool fail(const std::string& what, const char* at) {
        if (m_error)
            *m_error = what + " at byte " + std::to_string(at - m_all.data());
        return false;
    }

private:
    bool varint(uint64_t* v) {
        const char* start = m_pos;
        uint64_t out = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (m_pos == m_end)
                return fail("truncated varint", start);
            const auto byte = static_cast<uint8_t>(*m_pos++);
            // The tenth byte holds the top bit only.
            if (shift == 63 && byte > 1)
                return fail("varint too long", start);
            out |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80)) {
                *v = out;
                return true;
            }
        }
        return fail("varint too long", start);
    }

    bool fixed(uint64_t* v, int bytes) {
        if (m_end - m_pos < bytes)
            return fail("truncated fixed-width value", m_pos);
        uint64_t out = 0;
        for (int i = 0; i < bytes; ++i)
            out |= static_cast<uint64_t>(static_cast<uint8_t>(m_pos[i])) << (8 * i);
        m_pos += bytes;
        *v = out;
        return true;
    }

    std::string_view m_all;
    const char* m_pos;
    const char* m_end;
    std::string* m_error;
};

// A known field with another wire type than its own is skipped, as protobuf parsers do.
bool decodeMetric(std::string_view all, std::string_view part, Metric* m, std::string* error) {
    Reader in(all, part, error);
    RawField f;
    while (!in.done()) {
        if (!in.next(&f))
            return false;
        const bool isVarint = f.wire == kVarint, isBytes = f.wire == kBytes;
        switch (f.number) {
        case kName:
            if (isBytes)
                m->name = std::string(f.bytes);
            break;
        case kAlias:
            if (isVarint)
                m->alias = f.value;
            break;
        case kTimestamp:
            if (isVarint)
                m->timestamp = f.value;
            break;
        case kDatatype: // a uint32: wider varints are cut to 32 bits, as protobuf does
            if (isVarint)
                m->datatype = static_cast<uint32_t>(f.value);
            break;
        case kHistorical:
            if (isVarint)
                m->isHistorical = f.value != 0;
            break;
        case kTransient:
            if (isVarint)
                m->isTransient = f.value != 0;
            break;
        case kNull:
            if (isVarint)
                m->isNull = f.value != 0;
            break;
        case kIntValue:
            if (isVarint) {
                m->field = Field::Int;
                m->integer = static_cast<uint32_t>(f.value);
            }
            break;
        case kLongValue:
            if (isVarint) {
                m->field = Field::Long;
                m->integer = f.value;
            }
            break;
        case kFloatValue:
            if (f.wire == kFixed32) {
                m->field = Field::Float;
                m->single = bitsOf<float>(static_cast<uint32_t>(f.value));
            }
            break;
        case kDoubleValue:
            if (f.wire == kFixed64) {
                m->field = Field::Double;
                m->real = bitsOf<double>(f.value);
            }
            break;
        case kBooleanValue:
            if (isVarint) {
                m->field = Field::Boolean;
                m->boolean = f.value != 0;
            }
            break;
        case kStringValue:
        case kBytesValue:
            if (isBytes) {
                m->field = f.number == kStringValue ? Field::String : Field::Bytes;
                m->text = std::string(f.bytes);
            }
            break;
        case kDatasetValue:
        case kTemplateValue:
        case kExtensionValue:
            // A value of a kind the node does not read replaces any earlier one (a oneof).
            if (isBytes)
                m->field = Field::None;
            break;
        default: // metadata, properties, unknown fields
            break;
        }
    }
    return true;
}

template <typename T> std::string shortest(T v) {
    char buf[64];
    const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// The metric's integer, signed or not as its datatype is, within [lo, hi].
std::optional<std::string> integerText(const Metric& m, bool isSigned, int64_t lo, uint64_t hi) {
    if (m.field != Field::Int && m.field != Field::Long)
        return std::nullopt;
    if (isSigned) {
        const int64_t v = m.field == Field::Int
                              ? static_cast<int32_t>(static_cast<uint32_t>(m.integer))
                              : static_cast<int64_t>(m.integer);
        if (v < lo || v > static_cast<int64_t>(hi))
            return std::nullopt;
        return std::to_string(v);
    }
    if (m.integer > hi)
        return std::nullopt;
    return std::to_string(m.integer);
}

} // namespace

void Metric::setInt64(int64_t v) {
    datatype = static_cast<uint32_t>(DataType::Int64);
    field = Field::Long;
    integer = static_cast<uint64_t>(v);
}

void Metric::setUInt64(uint64_t v) {
    datatype = static_cast<uint32_t>(DataType::UInt64);
    field = Field::Long;
    integer = v;
}

void Metric::setDouble(double v) {
    datatype = static_cast<uint32_t>(DataType::Double);
    field = Field::Double;
    real = v;
}

void Metric::setBoolean(bool v) {
    datatype = static_cast<uint32_t>(DataType::Boolean);
    field = Field::Boolean;
    boolean = v;
}

void Metric::setString(std::string v) {
    datatype = static_cast<uint32_t>(DataType::String);
    field = Field::String;
    text = std::move(v);
}

bool operator==(const Metric& a, const Metric& b) {
    if (a.name != b.name || a.alias != b.alias || a.timestamp != b.timestamp ||
        a.datatype != b.datatype || a.isHistorical != b.isHistorical ||
        a.isTransient != b.isTransient || a.isNull != b.isNull || a.field != b.field)
        return false;
    // Only the member that the field names is the value.
    switch (a.field) {
    case Field::None:
        return true;
    case Field::Int:
    case Field::Long:
        return a.integer == b.integer;
    case Field::Float:
        return bitsOf<uint32_t>(a.single) == bitsOf<uint32_t>(b.single);
    case Field::Double:
        return bitsOf<uint64_t>(a.real) == bitsOf<uint64_t>(b.real);
    case Field::Boolean:
        return a.boolean == b.boolean;
    case Field::String:
    case Field::Bytes:
        return a.text == b.text;
    }
    return false;
}

bool operator==(const Payload& a, const Payload& b) {
    return a.timestamp == b.timestamp && a.seq == b.seq && a.uuid == b.uuid && a.body == b.body &&
           a.metrics == b.metrics;
}

std::string encode(const Payload& payload) {
    std::string out;
    if (payload.timestamp)
        putVarintField(out, kPTimestamp, *payload.timestamp);
    for (const Metric& m : payload.metrics)
        putBytesField(out, kPMetric, encodeMetric(m));
    if (payload.seq)
        putVarintField(out, kPSeq, *payload.seq);
    if (payload.uuid)
        putBytesField(out, kPUuid, *payload.uuid);
    if (payload.body)
        putBytesField(out, kPBody, *payload.body);
    return out;
}

bool decode(std::string_view bytes, Payload* out, std::string* error) {
    *out = Payload();
    Reader in(bytes, bytes, error);
    RawField f;
    while (!in.done()) {
        if (!in.next(&f))
            return false;
        const bool isVarint = f.wire == kVarint, isBytes = f.wire == kBytes;
        switch (f.number) {
        case kPTimestamp:
            if (isVarint)
                out->timestamp = f.value;
            break;
        case kPMetric:
            if (isBytes) {
                out->metrics.emplace_back();
                if (!decodeMetric(bytes, f.bytes, &out->metrics.back(), error))
                    return false;
            }
            break;
        case kPSeq:
            if (isVarint)
                out->seq = f.value;
            break;
        case kPUuid:
            if (isBytes)
                out->uuid = std::string(f.bytes);
            break;
        case kPBody:
            if (isBytes)
                out->body = std::string(f.bytes);
            break;
        default:
            break;
        }
    }
    return true;
}

std::optional<std::string> valueText(const Metric& m) {
    if (m.isNull)
        return std::nullopt;
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    const auto type = static_cast<DataType>(m.datatype.value_or(0));
    switch (type) {
    case DataType::Int8:
        return integerText(m, true, -128, 127);
    case DataType::Int16:
        return integerText(m, true, -32768, 32767);
    case DataType::Int32:
        return integerText(m, true, std::numeric_limits<int32_t>::min(),
                           std::numeric_limits<int32_t>::max());
    case DataType::Int64:
        return integerText(m, true, kMin, std::numeric_limits<int64_t>::max());
    case DataType::UInt8:
        return integerText(m, false, 0, 0xff);
    case DataType::UInt16:
        return integerText(m, false, 0, 0xffff);
    case DataType::UInt32:
        return integerText(m, false, 0, 0xffffffffu);
    case DataType::UInt64:
    case DataType::DateTime:
        return integerText(m, false, 0, kMax);
    case DataType::Float:
    case DataType::Double:
        if (m.field == Field::Float)
            return shortest(m.single);
        if (m.field == Field::Double)
            return shortest(m.real);
        return std::nullopt;
    case DataType::Boolean:
        if (m.field != Field::Boolean)
            return std::nullopt;
        return std::string(m.boolean ? "true" : "false");
    case DataType::String:
    case DataType::Text:
    case DataType::UUID:
        if (m.field != Field::String)
            return std::nullopt;
        return m.text;
    case DataType::Unknown:
        break;
    default:
        return std::nullopt;
    }
    // No datatype: the field alone tells.
    switch (m.field) {
    case Field::Int:
    case Field::Long:
        return std::to_string(m.integer);
    case Field::Float:
        return shortest(m.single);
    case Field::Double:
        return shortest(m.real);
    case Field::Boolean:
        return std::string(m.boolean ? "true" : "false");
    case Field::String:
        return m.text;
    default:
        return std::nullopt;
    }
}

} // namespace sparkplug
