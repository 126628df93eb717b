#include "text/split.h"

std::vector<std::string> splitWithQuotes(const std::string& input, bool keep_quotes) {
    std::vector<std::string> tokens;
    std::string current;
    bool inQuotes = false;
    for (char c : input) {
        if (c == '"') {
            inQuotes = !inQuotes;
            if (keep_quotes)
                current += c;
        } else if (c == ' ' && !inQuotes) {
            if (!current.empty()) {
                tokens.push_back(current);
                current.clear();
            }
        } else {
            current += c;
        }
    }
    if (!current.empty())
        tokens.push_back(current);
    return tokens;
}
