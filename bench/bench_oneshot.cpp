// One-shot publish: the whole-process wall time of the publisher program
// (the one the drivers start for every publication) against a reference
// one-shot publisher written directly on libmosquitto, and a bare process
// start for scale. Each round runs a batch of each, one process after the
// other; the median of the rounds' per-process times is reported. A listener
// counts what arrived, so a publisher that does not publish cannot look fast.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_util.h"
#include "load.h"

namespace {

using namespace kro::bench;

// Milliseconds per process over a batch of `runs`; -1 when one failed.
double batch(const std::vector<std::string>& argv, int runs) {
    const int64_t start = nowNs();
    for (int i = 0; i < runs; ++i) {
        if (!waitChild(spawn(argv), std::chrono::seconds(20)).ok()) {
            std::fprintf(stderr, "%s failed\n", argv[0].c_str());
            return -1;
        }
    }
    return static_cast<double>(nowNs() - start) / 1e6 / runs;
}

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"port", "rounds", "runs"});
    const int rounds = static_cast<int>(o.number("rounds", 7));
    const int runs = static_cast<int>(o.number("runs", 40));
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
                 " interleaved rounds of " + std::to_string(runs) + " runs each, medians");
    std::vector<double> ref, sub, nothing;
    for (int r = 0; r < rounds; ++r) {
        ref.push_back(batch(reference, runs));
        sub.push_back(batch(program, runs));
        nothing.push_back(batch(bare, runs));
        std::fprintf(stderr, "  round %d  reference %.3f ms  program %.3f ms  bare %.3f ms\n",
                     r + 1, ref.back(), sub.back(), nothing.back());
    }
    const long expected = static_cast<long>(rounds) * runs;
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
