#include "driver_common.h"

#include <cstdio>

#include "kro/Util.h"

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

void CHECKFILE(std::string filepath) {
    if (!kro::util::FileUtil::fileExists(filepath)) {
        std::printf("[kro error]can't find file: %s\n", filepath.c_str());
        std::fflush(stdout);
    }
}
