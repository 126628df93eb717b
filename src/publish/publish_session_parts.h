#pragma once

// What the publish session's two files share: its store and diagnostics
// (publish_session_store.cpp) and the rest (publish_session.cpp).

#include <chrono>
#include <cstdint>
#include <string>

namespace publish_parts {

// With a store, deleted rows wait at most this long for their commit.
constexpr std::chrono::milliseconds kCommitEvery{20};
// The diagnostics variables are written at most this often.
constexpr std::chrono::seconds kDiagEvery{1};

// Wall clock, milliseconds since 1970: a value's posting time.
inline int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "1 value", "2 values".
inline std::string count(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace publish_parts
