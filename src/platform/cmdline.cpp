#include "platform/cmdline.h"

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

std::string escapeArgument(const std::string& arg) {
    std::string out;
    out.reserve(arg.size() + 2);
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes only escape when a quote follows: double them there and
        // add one more for the quote itself.
        if (c == '"')
            out.append(backslashes * 2 + 1, '\\');
        else
            out.append(backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    // The closing quote follows: the trailing run must not escape it.
    out.append(backslashes * 2, '\\');
    return out;
}

std::string quoteArgument(const std::string& arg) {
    return '"' + escapeArgument(arg) + '"';
}

std::string quoteArgumentIfNeeded(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    return quoteArgument(arg);
}

std::vector<std::string> splitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    const size_t n = line.size();
    if (n == 0)
        return args;
    size_t i = 0;

    // The program path: quotes group, backslashes are plain path characters.
    std::string program;
    bool inQuotes = false;
    for (; i < n && (inQuotes || !isBlank(line[i])); ++i) {
        if (line[i] == '"')
            inQuotes = !inQuotes;
        else
            program += line[i];
    }
    args.push_back(program);

    for (;;) {
        while (i < n && isBlank(line[i]))
            ++i;
        if (i >= n)
            break;
        std::string arg;
        inQuotes = false;
        for (;;) {
            size_t backslashes = 0;
            while (i < n && line[i] == '\\') {
                ++backslashes;
                ++i;
            }
            bool literal = true;
            if (i < n && line[i] == '"') {
                if (backslashes % 2 == 0) {
                    if (inQuotes && i + 1 < n && line[i + 1] == '"') {
                        ++i; // "" inside quotes: one literal quote, still quoted
                    } else {
                        literal = false;
                        inQuotes = !inQuotes;
                    }
                }
                backslashes /= 2;
            }
            arg.append(backslashes, '\\');
            if (i >= n || (!inQuotes && isBlank(line[i])))
                break;
            if (literal)
                arg += line[i];
            ++i;
        }
        args.push_back(arg);
    }
    return args;
}
