#pragma once

// kro-host's event log on standard output. Every line starts with
// "[kro-host HH:MM:SS.mmm] ", the runner's own lines and the lines the drivers
// print alike, and shows control characters escaped, so nothing a value or a
// driver prints can pass for a line of its own.

#include <string>

namespace kro::runner {

// The text with control characters as \n, \t, \r or \xHH, and bytes that are
// not UTF-8 (and the C1 controls) as \xHH; everything else unchanged.
std::string escapeControls(const std::string& text);

// The text in double quotes, escaped as above and with " and \ as \" and \\.
std::string quoted(const std::string& text);

namespace eventlog {

// Prints each line of `text` with the prefix (the text is printed as given).
void print(const std::string& text);

// From now on, what the process writes to its standard output (the drivers'
// lines) is printed line by line with the prefix, escaped.
void captureStdout();

// Prints what the drivers left unprinted and gives standard output back.
void releaseStdout();

} // namespace eventlog
} // namespace kro::runner
