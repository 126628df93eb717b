// Runs on Windows (or under wine): starts itself through execoo with quoted
// arguments and checks that the C runtime of the child splits the command line
// into exactly the values quoted, and exactly as splitCommandLine() does. This
// holds the quoting and the POSIX splitter to the real Windows rules.

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/cmdline.h"
#include "platform/process.h"

namespace {

// The child writes each of its arguments after argv[2] as "<length>:<bytes>\n".
int child(int argc, char** argv) {
    std::ofstream out(argv[2], std::ios::binary);
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        out << a.size() << ':' << a << '\n';
    }
    return out ? 7 : 1;
}

std::vector<std::string> readArgs(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> args;
    std::size_t n;
    char colon;
    while (in >> n >> std::noskipws >> colon) {
        std::string a(n, '\0');
        in.read(&a[0], static_cast<std::streamsize>(n));
        in.get(); // line end
        in >> std::skipws;
        args.push_back(a);
    }
    return args;
}

std::string randomValue(std::mt19937& rng) {
    // The characters the splitting rules care about, weighted up, and plain text.
    static const std::string special = " \t\"\\\\\\ab";
    std::uniform_int_distribution<int> len(0, 12), pick(0, 3), any(32, 126);
    std::string s;
    for (int i = len(rng); i > 0; --i)
        s += pick(rng) ? special[static_cast<std::size_t>(rng() % special.size())]
                       : static_cast<char>(any(rng));
    return s;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--child")
        return child(argc, argv);

    const std::string self = argv[0];
    const std::string out = "cmdline_roundtrip.out";
    std::mt19937 rng(20261208);
    int failures = 0;
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    for (int round = 0; round < rounds; ++round) {
        const std::vector<std::string> values = {randomValue(rng), randomValue(rng),
                                                 randomValue(rng)};
        std::string line = quoteArgument(self) + " --child " + out;
        line += " " + quoteArgument(values[0]);
        line += " " + quoteArgumentIfNeeded(values[1]);
        line += " -m \"" + escapeArgument(values[2]) + "\"";
        std::remove(out.c_str());
        int code = -1;
        const std::string started = execoo(line.c_str(), &code);
        const std::vector<std::string> expected = {values[0], values[1], "-m", values[2]};
        const std::vector<std::string> got = readArgs(out);
        std::vector<std::string> split = splitCommandLine(line);
        split.erase(split.begin(), split.begin() + 3); // program, --child, file
        if (started != "success" || code != 7 || got != expected || split != got) {
            ++failures;
            std::printf("mismatch in round %d: %s (exit %d, %zu arguments)\n", round, line.c_str(),
                        code, got.size());
        }
    }
    std::remove(out.c_str());
    std::printf("%d rounds, %d failed\n", rounds, failures);
    return failures == 0 ? 0 : 1;
}
