#include "receive/json_field.h"

#include "text/utf8.h"

#include <algorithm>
#include <functional>
#include <limits>

FilterLocation splitLocation(const std::string& filter) {
    FilterLocation split;
    size_t hash = filter.find('#');
    // A "#" that ends a filter is its wildcard, as is one followed by a
    // second "#", which begins the location; any other "#" begins it (such a
    // filter was invalid before locations).
    if (hash != std::string::npos && hash + 1 < filter.size() && filter[hash + 1] == '#')
        ++hash;
    if (hash == std::string::npos || hash + 1 == filter.size()) {
        split.filter = filter;
        return split;
    }
    split.filter = filter.substr(0, hash);
    split.hasPointer = true;
    split.pointer = filter.substr(hash + 1);
    return split;
}

namespace {

bool decodeToken(std::string_view raw, std::string& out) {
    out.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '~') {
            out += raw[i];
            continue;
        }
        if (++i == raw.size())
            return false;
        switch (raw[i]) {
        case '0':
            out += '~';
            break;
        case '1':
            out += '/';
            break;
        case '2':
            out += '[';
            break;
        default:
            return false;
        }
    }
    return true;
}

long arrayIndex(const std::string& key) {
    // "0" or digits without a leading zero, short enough for any array.
    if (key.empty() || key.size() > 9 || (key[0] == '0' && key.size() > 1))
        return -1;
    long index = 0;
    for (const char c : key) {
        if (c < '0' || c > '9')
            return -1;
        index = index * 10 + (c - '0');
    }
    return index;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The four hex digits at `p`, or -1.
long hex4(std::string_view text, size_t p) {
    if (p + 4 > text.size())
        return -1;
    long code = 0;
    for (size_t i = p; i < p + 4; ++i) {
        const int d = hexDigit(text[i]);
        if (d < 0)
            return -1;
        code = code * 16 + d;
    }
    return code;
}

void appendUtf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// A checked string's text between its quotes, unescaped.
void unescape(std::string_view s, std::string& out) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        const char e = s[++i];
        switch (e) {
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            unsigned long code = static_cast<unsigned long>(hex4(s, i + 1));
            i += 4;
            if (code >= 0xD800 && code <= 0xDBFF) {
                code = 0x10000 + ((code - 0xD800) << 10) +
                       (static_cast<unsigned long>(hex4(s, i + 3)) - 0xDC00);
                i += 6;
            }
            appendUtf8(out, code);
            break;
        }
        default:
            out += e; // '"', '\\', '/'
        }
    }
}

} // namespace

std::optional<JsonPointer> JsonPointer::parse(std::string_view text) {
    JsonPointer pointer;
    pointer.m_text = text;
    if (text.empty())
        return pointer;
    if (text[0] != '/')
        return std::nullopt;
    size_t start = 1;
    for (;;) {
        const size_t slash = std::min(text.find('/', start), text.size());
        const std::string_view raw = text.substr(start, slash - start);
        Token token;
        const size_t eq = raw.find('=');
        if (raw.size() >= 2 && raw.front() == '[' && raw.back() == ']' && eq != std::string::npos) {
            token.select = true;
            if (!decodeToken(raw.substr(1, eq - 1), token.key) ||
                !decodeToken(raw.substr(eq + 1, raw.size() - eq - 2), token.value))
                return std::nullopt;
        } else {
            if (!decodeToken(raw, token.key))
                return std::nullopt;
            token.index = arrayIndex(token.key);
        }
        pointer.m_tokens.push_back(std::move(token));
        if (slash == text.size())
            return pointer;
        start = slash + 1;
    }
}

void JsonDocument::skipSpace() {
    while (m_pos < m_text.size() && isSpace(m_text[m_pos]))
        ++m_pos;
}

bool JsonDocument::parse(std::string_view text) {
    m_text = text;
    m_pos = 0;
    m_nodes.clear();
    m_nodes.push_back(Node{});
    m_ok = false;
    // The slots of earlier messages are free; only a wrap needs them cleared.
    if (++m_generation == 0) {
        std::fill(m_slots.begin(), m_slots.end(), Slot{});
        m_generation = 1;
    }
    m_used = 0;
    if (text.size() >= std::numeric_limits<uint32_t>::max())
        return false;
    skipSpace();
    if (value(0) == 0)
        return false;
    skipSpace();
    m_ok = m_pos == m_text.size();
    return m_ok;
}

bool JsonDocument::string() {
    const std::string_view t = m_text;
    ++m_pos; // the opening quote
    bool escaped = false;
    while (m_pos < t.size()) {
        const auto c = static_cast<unsigned char>(t[m_pos]);
        if (c == '"') {
            ++m_pos;
            m_nodes.back().escaped = escaped;
            return true;
        }
        if (c < 0x20)
            return false;
        if (c >= 0x80) {
            const size_t n = kro::text::utf8Length(t, m_pos);
            if (n == 0)
                return false;
            m_pos += n;
            continue;
        }
        if (c != '\\') {
            ++m_pos;
            continue;
        }
        escaped = true;
        if (++m_pos == t.size())
            return false;
        const char e = t[m_pos++];
        if (e == 'u') {
            const long code = hex4(t, m_pos);
            if (code < 0 || (code >= 0xDC00 && code <= 0xDFFF))
                return false;
            m_pos += 4;
            // A high surrogate only as the first half of a pair.
            if (code >= 0xD800 && code <= 0xDBFF) {
                if (m_pos + 1 >= t.size() || t[m_pos] != '\\' || t[m_pos + 1] != 'u')
                    return false;
                const long low = hex4(t, m_pos + 2);
                if (low < 0xDC00 || low > 0xDFFF)
                    return false;
                m_pos += 6;
            }
        } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos)
            return false;
    }
    return false;
}

bool JsonDocument::number() {
    const std::string_view t = m_text;
    auto digits = [&] {
        const size_t from = m_pos;
        while (m_pos < t.size() && t[m_pos] >= '0' && t[m_pos] <= '9')
            ++m_pos;
        return m_pos > from;
    };
    if (t[m_pos] == '-')
        ++m_pos;
    if (m_pos < t.size() && t[m_pos] == '0')
        ++m_pos;
    else if (!digits())
        return false;
    if (m_pos < t.size() && t[m_pos] == '.') {
        ++m_pos;
        if (!digits())
            return false;
    }
    if (m_pos < t.size() && (t[m_pos] == 'e' || t[m_pos] == 'E')) {
        ++m_pos;
        if (m_pos < t.size() && (t[m_pos] == '+' || t[m_pos] == '-'))
            ++m_pos;
        if (!digits())
            return false;
    }
    return true;
}

uint32_t JsonDocument::value(int depth) {
    if (m_pos >= m_text.size() || depth > kMaxDepth)
        return 0;
    const auto index = static_cast<uint32_t>(m_nodes.size());
    m_nodes.push_back(Node{Kind::Literal, false, 0, static_cast<uint32_t>(m_pos), 0, 0, 0});
    const char c = m_text[m_pos];
    bool ok = true;
    if (c == '{' || c == '[') {
        const bool object = c == '{';
        m_nodes[index].kind = object ? Kind::Object : Kind::Array;
        ++m_pos;
        skipSpace();
        uint32_t last = 0;
        auto link = [&](uint32_t child) {
            (last ? m_nodes[last].next : m_nodes[index].children) = child;
            last = child;
        };
        if (m_pos < m_text.size() && m_text[m_pos] == (object ? '}' : ']')) {
            ++m_pos;
        } else {
            for (;;) {
                if (object) {
                    if (m_pos >= m_text.size() || m_text[m_pos] != '"')
                        return 0;
                    const auto key = static_cast<uint32_t>(m_nodes.size());
                    m_nodes.push_back(
                        Node{Kind::String, false, 0, static_cast<uint32_t>(m_pos), 0, 0, 0});
                    if (!string())
                        return 0;
                    m_nodes[key].end = static_cast<uint32_t>(m_pos);
                    link(key);
                    skipSpace();
                    if (m_pos >= m_text.size() || m_text[m_pos] != ':')
                        return 0;
                    ++m_pos;
                    skipSpace();
                }
                const uint32_t child = value(depth + 1);
                if (child == 0)
                    return 0;
                link(child);
                skipSpace();
                if (m_pos >= m_text.size())
                    return 0;
                const char sep = m_text[m_pos++];
                if (sep == (object ? '}' : ']'))
                    break;
                if (sep != ',')
                    return 0;
                skipSpace();
            }
        }
    } else if (c == '"') {
        m_nodes[index].kind = Kind::String;
        ok = string();
        // string() marks the last node; a string value is the last one pushed.
    } else if (c == '-' || (c >= '0' && c <= '9')) {
        m_nodes[index].kind = Kind::Number;
        ok = number();
    } else {
        ok = false;
        for (const std::string_view word : {"true", "false", "null"})
            if (m_text.compare(m_pos, word.size(), word) == 0) {
                m_pos += word.size();
                ok = true;
                break;
            }
    }
    if (!ok)
        return 0;
    m_nodes[index].end = static_cast<uint32_t>(m_pos);
    return index;
}

void JsonDocument::render(uint32_t index, std::string& out) const {
    const Node& node = m_nodes[index];
    const std::string_view text = m_text.substr(node.begin, node.end - node.begin);
    switch (node.kind) {
    case Kind::String:
        if (node.escaped)
            unescape(text.substr(1, text.size() - 2), out);
        else
            out.append(text.substr(1, text.size() - 2));
        return;
    case Kind::Number:
    case Kind::Literal:
        out.append(text);
        return;
    case Kind::Object:
    case Kind::Array:
        break;
    }
    // Compact: the text without the white space outside its strings.
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            out += c;
            if (c == '\\')
                out += text[++i];
            else if (c == '"')
                inString = false;
        } else if (!isSpace(c)) {
            out += c;
            inString = c == '"';
        }
    }
}

std::string_view JsonDocument::keyText(uint32_t index, std::string& buffer) const {
    const Node& node = m_nodes[index];
    const std::string_view raw = m_text.substr(node.begin + 1, node.end - node.begin - 2);
    if (!node.escaped)
        return raw;
    buffer.clear();
    unescape(raw, buffer);
    return buffer;
}

bool JsonDocument::keyIs(uint32_t index, const std::string& key) const {
    const Node& node = m_nodes[index];
    const std::string_view raw = m_text.substr(node.begin + 1, node.end - node.begin - 2);
    if (!node.escaped)
        return raw == key;
    m_scratch.clear();
    unescape(raw, m_scratch);
    return m_scratch == key;
}

size_t JsonDocument::slotOf(uint32_t hash, uint32_t object) const {
    const uint64_t mixed = ((static_cast<uint64_t>(object) << 32) | hash) * 0x9E3779B97F4A7C15ULL;
    return static_cast<size_t>(mixed >> 32) & (m_slots.size() - 1);
}

void JsonDocument::hashMembers(uint32_t object) const {
    uint32_t members = 0;
    for (uint32_t key = m_nodes[object].children; key; key = m_nodes[m_nodes[key].next].next)
        ++members;
    if (members < kScanMembers)
        return;
    if ((static_cast<size_t>(m_used) + members) * 2 > m_slots.size()) {
        size_t size = 64;
        while (size < (static_cast<size_t>(m_used) + members) * 2)
            size *= 2;
        std::vector<Slot> old(size, Slot{});
        old.swap(m_slots);
        for (const Slot& slot : old) {
            if (slot.generation != m_generation)
                continue;
            size_t i = slotOf(slot.hash, slot.object);
            while (m_slots[i].generation == m_generation)
                i = (i + 1) & (m_slots.size() - 1);
            m_slots[i] = slot;
        }
    }
    const size_t mask = m_slots.size() - 1;
    for (uint32_t key = m_nodes[object].children; key; key = m_nodes[m_nodes[key].next].next) {
        const std::string_view name = keyText(key, m_name);
        const auto hash = static_cast<uint32_t>(std::hash<std::string_view>{}(name));
        for (size_t i = slotOf(hash, object);; i = (i + 1) & mask) {
            Slot& slot = m_slots[i];
            if (slot.generation != m_generation) {
                slot = Slot{m_generation, object, key, hash};
                ++m_used;
                break;
            }
            // A name given twice: the last one counts, as when walking.
            if (slot.object == object && slot.hash == hash &&
                keyText(slot.key, m_scratch) == name) {
                slot.key = key;
                break;
            }
        }
    }
    m_nodes[object].lookups = kIndexed;
}

uint32_t JsonDocument::lookUp(uint32_t object, const std::string& key) const {
    const auto hash = static_cast<uint32_t>(std::hash<std::string_view>{}(key));
    const size_t mask = m_slots.size() - 1;
    for (size_t i = slotOf(hash, object); m_slots[i].generation == m_generation;
         i = (i + 1) & mask) {
        const Slot& slot = m_slots[i];
        if (slot.object == object && slot.hash == hash && keyIs(slot.key, key))
            return m_nodes[slot.key].next;
    }
    return 0;
}

uint32_t JsonDocument::find(uint32_t index, const JsonPointer::Token& token) const {
    const Node& node = m_nodes[index];
    if (node.kind == Kind::Object && !token.select) {
        if (node.lookups == kIndexed)
            return lookUp(index, token.key);
        // A name given twice: the last one counts, as JavaScript reads it.
        uint32_t found = 0;
        for (uint32_t key = node.children; key; key = m_nodes[m_nodes[key].next].next)
            if (keyIs(key, token.key))
                found = m_nodes[key].next;
        if (node.lookups < kScanLookups && ++node.lookups == kScanLookups)
            hashMembers(index);
        return found;
    }
    if (node.kind != Kind::Array)
        return 0;
    long position = 0;
    for (uint32_t element = node.children; element; element = m_nodes[element].next, ++position) {
        if (!token.select) {
            if (position == token.index)
                return element;
            continue;
        }
        if (m_nodes[element].kind != Kind::Object)
            continue;
        const uint32_t member = find(element, JsonPointer::Token{token.key, {}, false, -1});
        if (member == 0)
            continue;
        std::string text;
        render(member, text);
        if (text == token.value)
            return element;
    }
    return 0;
}

bool JsonDocument::extract(const JsonPointer& pointer, std::string& out) const {
    if (!m_ok)
        return false;
    uint32_t node = 1;
    for (const JsonPointer::Token& token : pointer.tokens())
        if ((node = find(node, token)) == 0)
            return false;
    out.clear();
    render(node, out);
    return true;
}
