#pragma once

// Text as it may be printed on one line: whatever a value, a setting or a
// topic holds, it can never pass for a line of its own.

#include <string>

namespace kro::text {

// The text with control characters as \n, \t, \r or \xHH, and bytes that are
// not UTF-8 (and the C1 controls) as \xHH; everything else unchanged.
std::string escapeControls(const std::string& text);

// The text in double quotes, escaped as above and with " and \ as \" and \\.
std::string quoted(const std::string& text);

} // namespace kro::text
