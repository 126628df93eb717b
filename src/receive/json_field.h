#pragma once

// One field of a JSON payload for a variable: the location at the end of a
// "SubVariable" filter ("plant/line1/press#/pressure"), read once per run, and
// the payload, parsed once per message. Knows nothing of the host.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A filter of an address split at its location: "a/b#/x" is the filter "a/b"
// with the pointer "/x"; "a/#" has none; "a/##/x" is "a/#" with "/x"; "a/#/x"
// is "a/" with "/x".
struct FilterLocation {
    std::string filter;
    bool hasPointer = false;
    std::string pointer; // as written after the "#"
};
FilterLocation splitLocation(const std::string& filter);

// A JSON pointer: "/"-separated tokens, "~0" for "~", "~1" for "/", and "~2"
// for "[" (so that a key can begin with one). A token "[MEMBER=VALUE]"
// selects the first array element that is an object whose MEMBER, written as
// a variable would receive it, is VALUE.
class JsonPointer {
public:
    struct Token {
        std::string key;     // the decoded token (the member's name for a selector)
        std::string value;   // a selector's VALUE
        bool select = false; // "[MEMBER=VALUE]"
        long index = -1;     // the array index the token also names, or -1
    };

    // Null for text that is no pointer: not empty and not starting with "/",
    // or a "~" not followed by 0, 1 or 2.
    static std::optional<JsonPointer> parse(std::string_view text);

    const std::vector<Token>& tokens() const { return m_tokens; }
    // The pointer as written.
    const std::string& text() const { return m_text; }

private:
    std::vector<Token> m_tokens;
    std::string m_text;
};

// A payload checked as JSON text and indexed, without copying it: the text
// must outlive the document. One document may be parsed again and again, so
// that a message costs no allocation once it has grown. Lookups update the
// document's tables: one thread at a time.
class JsonDocument {
public:
    // Nesting deeper than this is refused, so that a hostile payload cannot
    // exhaust the stack.
    static constexpr int kMaxDepth = 256;

    // False when `text` is not one JSON value (RFC 8259, UTF-8), with only
    // white space around it.
    bool parse(std::string_view text);

    // The value at `pointer` as a variable takes it: a string's text, a
    // number as written, true/false/null as words, an object or array as
    // compact JSON. False when the document has no such value (or was not
    // parsed).
    bool extract(const JsonPointer& pointer, std::string& out) const;

private:
    enum class Kind : uint8_t { Object, Array, String, Number, Literal };
    struct Node {
        Kind kind;
        bool escaped;            // a string holding a backslash
        mutable uint8_t lookups; // an object's lookups in this message; kIndexed once hashed
        uint32_t begin;          // the value's text, quotes included
        uint32_t end;            //
        uint32_t next;           // the next element, key or value of its parent; 0: none
        uint32_t children;       // the first element, or the first key (followed by its value)
    };

    uint32_t value(int depth);
    bool string();
    bool number();
    void skipSpace();
    void render(uint32_t node, std::string& out) const;
    bool keyIs(uint32_t node, const std::string& key) const;
    uint32_t find(uint32_t node, const JsonPointer::Token& token) const;

    // A large object looked up more than a few times in one message has its
    // names hashed, so that each further lookup costs the same whatever its
    // size; one or two lookups keep the plain walk, which needs no table.
    static constexpr uint8_t kScanLookups = 4;
    static constexpr uint32_t kScanMembers = 16;
    static constexpr uint8_t kIndexed = 0xFF;
    struct Slot {
        uint32_t generation; // the message it belongs to; any other: free
        uint32_t object;
        uint32_t key;  // the key node; its value follows it
        uint32_t hash; // of the key's decoded name
    };
    void hashMembers(uint32_t object) const;
    uint32_t lookUp(uint32_t object, const std::string& key) const;
    std::string_view keyText(uint32_t key, std::string& buffer) const;
    size_t slotOf(uint32_t hash, uint32_t object) const;

    std::string_view m_text;
    size_t m_pos = 0;
    bool m_ok = false;
    std::vector<Node> m_nodes; // [0] unused, so that 0 can mean "none"
    mutable std::string m_scratch;
    // Open addressing over every hashed object of the message, at most half
    // full; reused from one message to the next without clearing.
    mutable std::vector<Slot> m_slots;
    mutable std::string m_name;
    mutable uint32_t m_used = 0;
    uint32_t m_generation = 0;
};
