#pragma once

// Helpers both drivers share.

#include <string>
#include <vector>

// Splits the additional-argument settings at spaces. A double quote toggles
// quoting (inside quotes a space is kept) and stays in the token only when
// keep_quotes is set. Only the space separates; empty tokens never appear.
std::vector<std::string> splitWithQuotes(const std::string& input, bool keep_quotes);

// Warns on standard output when a file the driver is about to pass on does not
// exist; the caller uses the path anyway.
void CHECKFILE(std::string filepath);
