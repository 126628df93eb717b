#pragma once

#include <string>
#include <vector>

// Splits the additional-argument settings at spaces. A double quote toggles
// quoting (inside quotes a space is kept) and stays in the token only when
// keep_quotes is set. Only the space separates; empty tokens never appear.
std::vector<std::string> splitWithQuotes(const std::string& input, bool keep_quotes);
