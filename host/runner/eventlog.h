#pragma once

// kro-host's event log on standard output. Every line starts with
// "[kro-host HH:MM:SS.mmm] ", the runner's own lines and the lines the drivers
// print alike, and shows control characters escaped, so nothing a value or a
// driver prints can pass for a line of its own.

#include <string>

#include "text/printable.h"

namespace kro::runner {

using kro::text::escapeControls;
using kro::text::quoted;

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
