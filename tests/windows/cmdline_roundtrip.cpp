// Runs on Windows (or under wine): starts itself through execoo with quoted
// arguments and checks that the C runtime of the child splits the command line
// into exactly the values quoted, and exactly as splitCommandLine() does. This
// holds the quoting and the POSIX splitter to the real Windows rules. Then it
// hands a child 1 MiB of every byte value on its standard input, and ends a
// child that would run for long at a time limit.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/cmdline.h"
#include "platform/console.h"
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

// The child copies its standard input, read as binary, into argv[2].
int stdinChild(char** argv) {
    stdin_binary_mode();
    std::ofstream out(argv[2], std::ios::binary);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, stdin)) > 0;)
        out.write(buf, static_cast<std::streamsize>(n));
    return out ? 7 : 1;
}

// runProcess, with a start that wine failed tried again (see main).
ProcessEnd run(const std::string& line, const ProcessOptions& options, int* code) {
    ProcessEnd end = ProcessEnd::NotStarted;
    for (int attempt = 0; attempt < 3 && end == ProcessEnd::NotStarted; ++attempt)
        end = runProcess(line.c_str(), options, code);
    return end;
}

// Standard input and the time limit of runProcess; true when both hold.
bool inputAndLimitHold(const std::string& self, const std::string& out) {
    std::string input(1 << 20, '\0');
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<char>(1 + i % 255); // CR, LF and Ctrl-Z among them
    ProcessOptions options;
    options.input = &input;
    int code = -1;
    std::remove(out.c_str());
    const ProcessEnd fed = run(quoteArgument(self) + " --stdin " + out, options, &code);
    std::ifstream in(out, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const bool whole = fed == ProcessEnd::Exited && code == 7 && got == input;
    std::printf("standard input: %zu of %zu bytes back, %s\n", got.size(), input.size(),
                whole ? "whole" : "NOT whole");

    ProcessOptions limited;
    limited.limit = std::chrono::milliseconds(500);
    const auto start = std::chrono::steady_clock::now();
    const ProcessEnd end = run(quoteArgument(self) + " --sleep", limited, &code);
    const auto took = std::chrono::steady_clock::now() - start;
    const bool ended = end == ProcessEnd::TimedOut && took < std::chrono::seconds(5);
    std::printf("time limit: %s\n", ended ? "ended" : "NOT ended");
    return whole && ended;
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
    if (argc >= 3 && std::string(argv[1]) == "--stdin")
        return stdinChild(argv);
    if (argc >= 2 && std::string(argv[1]) == "--sleep") {
        std::this_thread::sleep_for(std::chrono::seconds(30));
        return 0;
    }

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
        // wine now and then fails a process start with an internal error
        // (1359); that says nothing about the quoting, so a start is tried
        // up to three times before it counts.
        std::string started;
        for (int attempt = 0; attempt < 3 && started.empty(); ++attempt)
            started = execoo(line.c_str(), &code);
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
    std::printf("%d rounds, %d failed\n", rounds, failures);
    const bool fed = inputAndLimitHold(self, out);
    std::remove(out.c_str());
    return failures == 0 && fed ? 0 : 1;
}
