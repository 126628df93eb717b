#pragma once

// The drivers' printed lines: one write per line group, and values that can
// never start a line of their own.

#include <string>

// Writes `text` to standard output in one piece and flushes, so that lines of
// several drivers never interleave. Control characters other than the line
// feeds are shown escaped.
void printLine(const std::string& text);

// A value to be printed inside a line: every control character escaped, the
// line feed too, so that no setting, topic or value can start a line of its
// own.
std::string printable(const std::string& value);
