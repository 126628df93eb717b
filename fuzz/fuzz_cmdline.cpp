// Command lines by the Windows argument rules. For any bytes without a NUL,
// the quoted argument splits back to exactly those bytes; any line splits
// without harm, and its arguments, quoted again, split back to themselves.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cmdline.h"

#include "fuzz_util.h"

namespace {

// A command line for `args`: the program path between quotes (a split path
// never holds a quote, and backslashes in it are literal), every further
// argument quoted.
std::string join(const std::vector<std::string>& args) {
    if (args.empty())
        return {};
    std::string line = '"' + args[0] + '"';
    for (size_t i = 1; i < args.size(); ++i)
        line += ' ' + quoteArgument(args[i]);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    if (bytes.find('\0') == std::string::npos) {
        for (const std::string& quoted : {quoteArgument(bytes), quoteArgumentIfNeeded(bytes)}) {
            const std::vector<std::string> back = splitCommandLine("prog " + quoted);
            require(back.size() == 2 && back[0] == "prog" && back[1] == bytes);
        }
        // Two values side by side stay two values.
        const size_t half = bytes.size() / 2;
        const std::string a = bytes.substr(0, half), b = bytes.substr(half);
        const std::vector<std::string> pair =
            splitCommandLine("prog " + quoteArgument(a) + " \t" + quoteArgumentIfNeeded(b));
        require(pair.size() == 3 && pair[1] == a && pair[2] == b);
    }

    const std::vector<std::string> args = splitCommandLine(bytes);
    require(bytes.empty() == args.empty());
    for (size_t i = 1; i < args.size(); ++i)
        require(args[i].size() <= bytes.size());
    if (!args.empty())
        require(args[0].find('"') == std::string::npos);
    require(splitCommandLine(join(args)) == args);
    return 0;
}
