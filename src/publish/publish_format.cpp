#include "publish/publish_format.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include <nlohmann/json.hpp>

#include "drivers/driver_settings.h"
#include "kro/Util.h"
#include "text/lines.h"
#include "text/utf8.h"

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Whether a number that matches the grammar stays within a double's range.
bool fitsDouble(std::string_view text, size_t intBegin, size_t intEnd, size_t fracBegin,
                size_t fracEnd, size_t expBegin) {
    // The decimal exponent of the first significant digit.
    int64_t exponent = 0;
    bool negativeExp = false;
    size_t i = expBegin;
    if (i < text.size()) {
        ++i; // the e
        if (text[i] == '+' || text[i] == '-')
            negativeExp = text[i++] == '-';
        for (; i < text.size(); ++i)
            exponent = std::min<int64_t>(exponent * 10 + (text[i] - '0'), 1'000'000'000);
        if (negativeExp)
            exponent = -exponent;
    }
    int64_t magnitude;
    size_t first = intBegin;
    while (first < intEnd && text[first] == '0')
        ++first;
    if (first < intEnd) {
        magnitude = exponent + static_cast<int64_t>(intEnd - first) - 1;
    } else {
        size_t f = fracBegin;
        while (f < fracEnd && text[f] == '0')
            ++f;
        if (f == fracEnd)
            return true; // zero
        magnitude = exponent - static_cast<int64_t>(f - fracBegin) - 1;
    }
    if (magnitude < 308)
        return true; // below 1e308; an underflow reads as 0
    if (magnitude > 308)
        return false;
    double parsed = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
    return result.ec == std::errc();
}

constexpr size_t npos = std::string_view::npos;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

} // namespace

bool isJsonNumber(std::string_view text) {
    size_t i = 0;
    const size_t n = text.size();
    if (i < n && text[i] == '-')
        ++i;
    const size_t intBegin = i;
    if (i < n && text[i] == '0') {
        ++i;
    } else {
        while (i < n && isDigit(text[i]))
            ++i;
    }
    const size_t intEnd = i;
    if (intEnd == intBegin)
        return false;
    size_t fracBegin = i, fracEnd = i;
    if (i < n && text[i] == '.') {
        fracBegin = ++i;
        while (i < n && isDigit(text[i]))
            ++i;
        fracEnd = i;
        if (fracEnd == fracBegin)
            return false;
    }
    const size_t expBegin = i;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-'))
            ++i;
        const size_t digits = i;
        while (i < n && isDigit(text[i]))
            ++i;
        if (i == digits)
            return false;
    }
    return i == n && fitsDouble(text, intBegin, intEnd, fracBegin, fracEnd, expBegin);
}

void appendJsonString(std::string& out, std::string_view s) {
    static const char kHex[] = "0123456789abcdef";
    size_t run = 0;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        out.append(s.data() + run, i - run);
        if (c >= 0x80) {
            if (const size_t length = kro::text::utf8Length(s, i)) {
                out.append(s.data() + i, length);
                i += length;
            } else {
                out += kReplacement;
                ++i;
            }
        } else {
            out += '\\';
            switch (c) {
            case '"':
            case '\\':
                out += static_cast<char>(c);
                break;
            case '\b':
                out += 'b';
                break;
            case '\f':
                out += 'f';
                break;
            case '\n':
                out += 'n';
                break;
            case '\r':
                out += 'r';
                break;
            case '\t':
                out += 't';
                break;
            default:
                out += "u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
            }
            ++i;
        }
        run = i;
    }
    out.append(s.data() + run, s.size() - run);
}

void appendJsonValue(std::string& out, std::string_view value) {
    if (value == "true" || value == "false" || isJsonNumber(value)) {
        out += value;
        return;
    }
    out += '"';
    appendJsonString(out, value);
    out += '"';
}

std::unique_ptr<const PubFormat> PubFormat::json() {
    std::string error;
    return compile(R"({"address": "${address}", "value": ${value}, "time": ${time}})", "", error);
}

std::unique_ptr<const PubFormat> PubFormat::compile(std::string_view text, std::string_view device,
                                                    std::string& error) {
    return parse(text, device, false, error);
}

std::unique_ptr<const PubFormat>
PubFormat::compileWrapper(std::string_view text, std::string_view device, std::string& error) {
    return parse(text, device, true, error);
}

std::unique_ptr<const PubFormat> PubFormat::parse(std::string_view text, std::string_view device,
                                                  bool wrapper, std::string& error) {
    auto format = std::unique_ptr<PubFormat>(new PubFormat);
    format->m_device = device;
    std::string literal;
    bool inString = false;
    // The last character outside the placeholders that is not white space,
    // or '$' when a placeholder came last.
    char before = 0;
    auto nextSignificant = [&](size_t i) {
        while (i < text.size() && std::string_view(" \t\r\n").find(text[i]) != std::string::npos)
            ++i;
        return i < text.size() ? text[i] : '\0';
    };
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '$' && i + 1 < text.size() && text[i + 1] == '{') {
            const size_t close = text.find('}', i + 2);
            const std::string_view name =
                text.substr(i + 2, close == std::string_view::npos ? 0 : close - i - 2);
            Piece piece;
            if (name == (wrapper ? "values" : "value"))
                piece.slot = wrapper ? Slot::Values : Slot::Value;
            else if (name == "address" && !wrapper)
                piece.slot = Slot::Address;
            else if (name == "device")
                piece.slot = Slot::Device;
            else if (name == "time")
                piece.slot = Slot::Time;
            else {
                error = close == std::string_view::npos
                            ? "\"${\" without its \"}\""
                            : "unknown placeholder ${" + std::string(name) + "}";
                return nullptr;
            }
            // Outside a string a placeholder is a whole JSON value (or a key):
            // it stands between the signs that begin and end one, so that no
            // value can run into the text beside it.
            const char after = nextSignificant(close + 1);
            const bool opens = before == 0 || std::string_view("[,:").find(before) != npos;
            const bool closes = after == 0 || std::string_view(",]}:").find(after) != npos;
            // The array is no string's content.
            if ((!inString || piece.slot == Slot::Values) && !(opens && closes)) {
                error = "${" + std::string(name) + "} at offset " + std::to_string(i) +
                        " stands neither inside a string nor where a JSON value does";
                return nullptr;
            }
            piece.inString = inString;
            piece.literal = std::move(literal);
            literal.clear();
            format->m_literalBytes += piece.literal.size();
            format->m_pieces.push_back(std::move(piece));
            before = '$';
            i = close + 1;
            continue;
        }
        literal += c;
        if (inString && c == '\\' && i + 1 < text.size()) {
            literal += text[++i];
        } else if (c == '"') {
            inString = !inString;
        }
        if (std::string_view(" \t\r\n").find(c) == std::string::npos)
            before = c;
        ++i;
    }
    format->m_tail = std::move(literal);
    format->m_literalBytes += format->m_tail.size();
    // Every kind a value can take must give valid JSON, a string as well as a
    // number (a key takes only strings).
    static const char* const kValues[] = {"text", "1"};
    static const char* const kArrays[] = {"[]", "[1,\"t\"]"};
    for (const char* sample : wrapper ? kArrays : kValues) {
        if (!nlohmann::json::accept(format->render(sample, "a/b", 1700000000000))) {
            error = "not valid JSON once its placeholders are filled";
            return nullptr;
        }
    }
    return format;
}

void PubFormat::renderTo(std::string& out, std::string_view value, std::string_view address,
                         int64_t timeMs) const {
    out.reserve(out.size() + m_literalBytes + value.size() + address.size() + 32);
    for (const Piece& piece : m_pieces) {
        out += piece.literal;
        switch (piece.slot) {
        case Slot::Value:
            if (piece.inString)
                appendJsonString(out, value);
            else
                appendJsonValue(out, value);
            break;
        case Slot::Address:
        case Slot::Device: {
            const std::string_view text = piece.slot == Slot::Address ? address : m_device;
            if (!piece.inString)
                out += '"';
            appendJsonString(out, text);
            if (!piece.inString)
                out += '"';
            break;
        }
        case Slot::Time:
            out += std::to_string(timeMs);
            break;
        case Slot::Values:
            out += value;
            break;
        }
    }
    out += m_tail;
}

std::string PubFormat::render(std::string_view value, std::string_view address,
                              int64_t timeMs) const {
    std::string out;
    renderTo(out, value, address, timeMs);
    return out;
}

std::unique_ptr<const PubFormat> readPubFormat(const std::string& settings,
                                               const std::string& device) {
    using kro::util::Util;
    const std::string format = Util::getValFromJsonc(settings, "PubFormat");
    const std::string text = Util::getValFromJsonc(settings, "PubTemplate");
    // A batch is a JSON array: its values go in as JSON, whatever is refused.
    const std::string batch = Util::getValFromJsonc(settings, "PubBatch");
    const bool batched = Util::getValFromJsonc(settings, "PubMode") == "session" &&
                         isWholeNumber(batch) && std::stoul(batch) >= 2;
    const std::string otherwise = batched
                                      ? "): values are published as with \"PubFormat\": \"json\"\n"
                                      : "): values are published as they are\n";
    if (!text.empty()) {
        if (!format.empty())
            printLine("[kro info]PubTemplate is set: PubFormat is not used\n");
        std::string error;
        std::unique_ptr<const PubFormat> compiled = PubFormat::compile(text, device, error);
        if (compiled)
            return compiled;
        printLine("[kro error]PubTemplate is not valid JSON (" + printable(error) + otherwise);
        return batched ? PubFormat::json() : nullptr;
    }
    if (format.empty())
        return batched ? PubFormat::json() : nullptr;
    if (format != "json") {
        printLine("[kro error]PubFormat must be \"json\", not \"" + printable(format) + "\"" +
                  otherwise.substr(1));
        return batched ? PubFormat::json() : nullptr;
    }
    return PubFormat::json();
}
