// Driver publish path: "PubVariable" values posted to the Common driver (the
// plug-in in the stand-in host), each timed from postData to its arrival at a
// libmosquitto subscriber. Every round has three parts, interleaved:
//   reference  a batch of the reference one-shot publisher processes, one
//              after the other: the one-shot rate the driver is held to
//   burst      values posted all at once: the driver's publications/s
//   program    the same number of runs of the publisher program the driver
//              starts, started here directly: what the process alone costs
//   paced      values posted one at a time, 35 to 45 ms apart (longer than a
//              poll plus a publication, so each finds the queue empty), at
//              times unrelated to the driver's poll, so that posts fall on
//              every phase of it: the latency of a single value
// Each posted value is a variable of its own, so a value cannot be replaced
// by a later one before its turn comes.
#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "driver_host.h"
#include "kro_host.h"
#include "load.h"

namespace {

using namespace kro::bench;

class Flow {
public:
    explicit Flow(size_t capacity) : m_posted(capacity), m_arrived(capacity) {
        for (auto& a : m_arrived)
            a = 0;
    }
    size_t next() const { return m_next; }
    // Posts value number next() to the driver.
    void post(DriverHost& host) {
        const size_t seq = m_next++;
        auto var = std::make_shared<kro::host::DvcVariable>(
            "pub", kro::host::VarSpec{"out", 64, "PubVariable", "bench/pub", ""});
        var->setStrValue(("seq:" + std::to_string(seq)).c_str(), true);
        m_posted[seq] = nowNs();
        host.post(var);
    }
    void arrived(const std::string& payload) {
        if (payload.rfind("seq:", 0) != 0)
            return;
        const size_t seq = std::stoul(payload.substr(4));
        if (seq < m_arrived.size() && m_arrived[seq] == 0)
            m_arrived[seq] = nowNs();
    }
    bool waitArrived(size_t from, size_t to, std::chrono::milliseconds timeout) const {
        return waitUntil(
            [&] {
                for (size_t i = from; i < to; ++i)
                    if (m_arrived[i] == 0)
                        return false;
                return true;
            },
            timeout, 0.2);
    }
    int64_t postedAt(size_t i) const { return m_posted[i]; }
    int64_t arrivedAt(size_t i) const { return m_arrived[i]; }

private:
    std::vector<int64_t> m_posted;
    std::vector<std::atomic<int64_t>> m_arrived;
    size_t m_next = 0;
};

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"port", "rounds", "values", "reference-runs"});
    const int rounds = static_cast<int>(o.number("rounds", 5));
    // Per round, for the burst and for the paced part each.
    const int values = static_cast<int>(o.number("values", 100));
    const int referenceRuns = static_cast<int>(o.number("reference-runs", 30));
    divertStdout();
    MosquittoLib lib;
    std::unique_ptr<PrivateBroker> own;
    int port = static_cast<int>(o.number("port", 0));
    if (port == 0) {
        own = std::make_unique<PrivateBroker>();
        port = own->port();
    }
    PublisherDir publisherDir;

    constexpr int kWarmUp = 3;
    Flow flow(static_cast<size_t>(kWarmUp + 2 * rounds * values));
    Listener listener(port, "bench/pub", [&](const std::string&, const std::string& payload) {
        flow.arrived(payload);
    });
    kro::host::DeviceManager dm;
    dm.addDevice("pub");
    DriverHost host(dm, commonSettings("pub", port));
    for (int i = 0; i < kWarmUp; ++i) {
        const size_t seq = flow.next();
        flow.post(host);
        if (!flow.waitArrived(seq, seq + 1, std::chrono::seconds(10))) {
            std::fprintf(stderr, "the driver does not publish\n");
            return 1;
        }
    }

    printHeading("Driver publish path: " + std::to_string(2 * rounds * values) +
                 " posted values (" + std::to_string(values) + " burst + " +
                 std::to_string(values) + " paced per round), " + std::to_string(rounds) +
                 " interleaved rounds");
    const std::vector<std::string> reference = {KRO_BENCH_PUB_REFERENCE, std::to_string(port),
                                                "bench/pub-reference", "reference"};
    std::minstd_rand pause(12345);
    const std::vector<std::string> program = {
        KRO_PUBLISHER_PROGRAM, "-h", "127.0.0.1", "-p", std::to_string(port), "-t",
        "bench/pub-reference", "-m", "program"};
    std::vector<double> refRates, programRates, burstRates, burstGaps, latencies;
    long missing = 0;
    for (int r = 0; r < rounds; ++r) {
        // One reference process, then one of the program, and so on: a noisy
        // moment of the machine hits both alike.
        double refNs = 0, programNs = 0;
        for (int i = 0; i < referenceRuns; ++i) {
            for (auto [argv, total] : {std::pair{&reference, &refNs}, {&program, &programNs}}) {
                const int64_t start = nowNs();
                if (!waitChild(spawn(*argv), std::chrono::seconds(20)).ok())
                    std::fprintf(stderr, "%s failed\n", (*argv)[0].c_str());
                *total += static_cast<double>(nowNs() - start);
            }
        }
        refRates.push_back(referenceRuns / (refNs / 1e9));
        programRates.push_back(referenceRuns / (programNs / 1e9));

        const size_t first = flow.next();
        for (int i = 0; i < values; ++i)
            flow.post(host);
        const size_t end = flow.next();
        if (flow.waitArrived(first, end, std::chrono::seconds(60))) {
            int64_t firstArrival = flow.arrivedAt(first), last = 0;
            for (size_t i = first; i < end; ++i) {
                firstArrival = std::min(firstArrival, flow.arrivedAt(i));
                last = std::max(last, flow.arrivedAt(i));
            }
            // From the first arrival to the last, publications follow one
            // another: what one costs, without the wait for the first poll.
            burstGaps.push_back(static_cast<double>(last - firstArrival) / 1e6 / (values - 1));
            burstRates.push_back(values / (static_cast<double>(last - flow.postedAt(first)) / 1e9));
        } else {
            std::fprintf(stderr, "round %d: burst values missing\n", r + 1);
        }

        const size_t pacedFirst = flow.next();
        for (int i = 0; i < values; ++i) {
            flow.post(host);
            sleepMs(35.0 + static_cast<double>(pause() % 1001) / 100.0);
        }
        flow.waitArrived(pacedFirst, flow.next(), std::chrono::seconds(10));
        for (size_t seq = pacedFirst; seq < flow.next(); ++seq) {
            if (flow.arrivedAt(seq) != 0)
                latencies.push_back(static_cast<double>(flow.arrivedAt(seq) - flow.postedAt(seq)) /
                                    1e6);
            else
                ++missing;
        }
        std::fprintf(stderr, "  round %d  reference %.1f/s  burst %.1f/s\n", r + 1, refRates.back(),
                     burstRates.empty() ? 0.0 : burstRates.back());
    }

    const double refRate = median(refRates), burstRate = median(burstRates);
    const double refMs = 1000.0 / refRate;
    printRatio("publisher program started directly", median(programRates), refRate, "/s");
    const double p50 = percentile(latencies, 50), p99 = percentile(latencies, 99);
    printRatio("driver publications/s (burst)", burstRate, refRate, "/s", ">= 0.80",
               burstRate >= 0.8 * refRate);
    printRatio("one publication (burst, mean gap)", median(burstGaps), refMs, "ms");
    printRatio("latency p50 (paced)", p50, refMs, "ms", "<= 20 ms", p50 <= 20);
    printRatio("latency p99 (paced)", p99, refMs, "ms");
    printNote("reference: one one-shot process = " + std::to_string(refMs).substr(0, 5) +
              " ms; paced values lost: " + std::to_string(missing));
    return 0;
}
