// One-shot publish: the whole-process wall time of the publisher program
// (the one the drivers start for every publication) against a reference
// one-shot publisher written directly on libmosquitto, and a bare process
// start for scale. Each round runs one process of each, one after the other,
// so that a noisy moment of the machine hits all three alike; the median of
// the rounds is reported. A listener counts what arrived, so a publisher that
// does not publish cannot look fast.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "load.h"

namespace {

using namespace kro::bench;

// Milliseconds from the start of the process to its end; -1 when it failed.
double once(const std::vector<std::string>& argv) {
    const int64_t start = nowNs();
    if (!waitChild(spawn(argv), std::chrono::seconds(20)).ok()) {
        std::fprintf(stderr, "%s failed\n", argv[0].c_str());
        return -1;
    }
    return static_cast<double>(nowNs() - start) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"port", "rounds"});
    const int rounds = static_cast<int>(o.number("rounds", 300));
    MosquittoLib lib;
    std::unique_ptr<PrivateBroker> own;
    int port = static_cast<int>(o.number("port", 0));
    if (port == 0) {
        own = std::make_unique<PrivateBroker>();
        port = own->port();
    }
    const std::string topic = "bench/oneshot";
    std::atomic<long> fromReference{0}, fromProgram{0};
    Listener listener(port, topic, [&](const std::string&, const std::string& payload) {
        (payload == "reference" ? fromReference : fromProgram).fetch_add(1);
    });

    const std::string p = std::to_string(port);
    const std::vector<std::string> reference = {KRO_BENCH_PUB_REFERENCE, p, topic, "reference"};
    const std::vector<std::string> program = {
        KRO_PUBLISHER_PROGRAM, "-h", "127.0.0.1", "-p", p, "-t", topic, "-m", "program"};
    const std::vector<std::string> bare = {"/bin/true"};

    printHeading("One-shot publish: whole-process wall time, " + std::to_string(rounds) +
                 " interleaved rounds, medians");
    std::vector<double> ref, sub, nothing;
    for (int r = 0; r < rounds; ++r) {
        ref.push_back(once(reference));
        sub.push_back(once(program));
        nothing.push_back(once(bare));
        std::fprintf(stderr, "  round %d  reference %.3f ms  program %.3f ms  bare %.3f ms\n",
                     r + 1, ref.back(), sub.back(), nothing.back());
    }
    const long expected = rounds;
    waitUntil([&] { return fromReference >= expected && fromProgram >= expected; },
              std::chrono::seconds(5));

    const double refMs = median(ref), subMs = median(sub);
    printFigure("bare process start (/bin/true)", median(nothing), "ms");
    printFigure("reference one-shot publisher", refMs, "ms");
    printRatio("publisher program", subMs, refMs, "ms", "<= 1.15", subMs <= 1.15 * refMs);
    printNote("delivered: reference " + std::to_string(fromReference.load()) + "/" +
              std::to_string(expected) + ", program " + std::to_string(fromProgram.load()) + "/" +
              std::to_string(expected));
    return fromReference == expected && fromProgram == expected ? 0 : 1;
}
