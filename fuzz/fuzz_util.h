#pragma once

// Helpers every fuzz target uses.

#include <cstdint>
#include <cstring>
#include <string>

// A broken property is a finding: stop right there, so libFuzzer keeps the input.
inline void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

// The text of the part of the input up to the next NUL byte (or the end); the
// input moves past it and its NUL.
inline std::string take_part(const uint8_t*& data, size_t& size) {
    const void* nul = std::memchr(data, 0, size);
    size_t len = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
    std::string part(reinterpret_cast<const char*>(data), len);
    size_t used = nul ? len + 1 : len;
    data += used;
    size -= used;
    return part;
}
