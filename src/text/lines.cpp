#include "text/lines.h"

#include <cstdio>

#include "text/printable.h"

void printLine(const std::string& text) {
    if (text.empty())
        return;
    std::string out;
    out.reserve(text.size());
    for (size_t begin = 0; begin < text.size();) {
        size_t end = text.find('\n', begin);
        const bool feed = end != std::string::npos;
        if (!feed)
            end = text.size();
        out += printable(text.substr(begin, end - begin));
        if (feed)
            out += '\n';
        begin = end + 1;
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

std::string printable(const std::string& value) {
    return kro::text::escapeControls(value);
}
