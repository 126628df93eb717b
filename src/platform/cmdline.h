#pragma once

// Command lines read by the Windows argument rules, the way the C runtime of a
// started program splits them. Pure text functions, the same on every system:
// the POSIX process launcher uses the splitter so that a command line means
// exactly what it means on Windows.
//
// The rules: arguments are separated by spaces or tabs outside double quotes;
// a double quote toggles quoting and is dropped; inside quotes two double
// quotes in a row give one literal quote; 2n backslashes before a double quote
// give n backslashes and the quote acts as above; 2n+1 backslashes before a
// double quote give n backslashes and a literal quote; other backslashes are
// literal. The first argument (the program path) knows no backslash escapes:
// quotes toggle and are dropped, and it ends at the first space or tab outside
// quotes.

#include <string>
#include <vector>

// The text that, written between double quotes, splits back into exactly `arg`.
std::string escapeArgument(const std::string& arg);

// `arg` in double quotes, escaped: always exactly one argument holding its bytes.
std::string quoteArgument(const std::string& arg);

// `arg` unchanged when it already reads back as one argument with its own bytes
// (not empty, no space, tab or double quote); quoteArgument(arg) otherwise.
// Keeps ordinary host names, ports, paths and topics readable.
std::string quoteArgumentIfNeeded(const std::string& arg);

// Splits a command line into its arguments, program path first (no arguments
// at all for an empty line).
std::vector<std::string> splitCommandLine(const std::string& line);
