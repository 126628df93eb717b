#include "printable.h"

#include <cstddef>

namespace kro::text {

namespace {

// Length of the well-formed UTF-8 sequence at `at`, 0 when there is none.
std::size_t utf8Length(const std::string& s, std::size_t at) {
    auto byte = [&](std::size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
    const unsigned lead = byte(at);
    std::size_t n;
    unsigned lo = 0x80, hi = 0xBF; // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0)
            lo = 0xA0;
        if (lead == 0xED)
            hi = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0)
            lo = 0x90;
        if (lead == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (byte(at + 1) < lo || byte(at + 1) > hi)
        return 0;
    for (std::size_t i = 2; i < n; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return n;
}

void appendHex(std::string& out, unsigned char c) {
    static const char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
}

std::string escape(const std::string& s, bool quoting) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const std::size_t n = utf8Length(s, i);
            // U+0080 to U+009F are controls to a terminal as well.
            const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
            if (n == 0 || c1) {
                appendHex(out, c);
                ++i;
            } else {
                out.append(s, i, n);
                i += n;
            }
            continue;
        }
        ++i;
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F)
            appendHex(out, c);
        else if (quoting && (c == '"' || c == '\\'))
            (out += '\\') += static_cast<char>(c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

} // namespace

std::string escapeControls(const std::string& text) {
    return escape(text, false);
}

std::string quoted(const std::string& text) {
    return "\"" + escape(text, true) + "\"";
}

} // namespace kro::text
