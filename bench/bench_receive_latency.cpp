// Receive latency: messages carrying their send time (monotonic clock) are
// published at a modest, steady rate; measured is the time to the host
// variable being written by the Common driver (the plug-in in the stand-in
// host, an observer on the store), against the time to the message callback
// of a reference subscriber written directly on libmosquitto. Both listen at
// once on topics of their own; rounds alternate between them.
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench_util.h"
#include "driver_host.h"
#include "kro_host.h"
#include "load.h"

namespace {

using namespace kro::bench;

// Latencies of the messages "<seq> <send ns>" seen by one side.
class Latencies {
public:
    void seen(const std::string& payload) {
        const int64_t now = nowNs();
        if (payload.rfind("probe", 0) == 0) {
            m_probed = true;
            return;
        }
        const size_t space = payload.find(' ');
        if (space == std::string::npos)
            return;
        const int64_t sent = std::stoll(payload.substr(space + 1));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ms.push_back(static_cast<double>(now - sent) / 1e6);
    }
    size_t count() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ms.size();
    }
    std::vector<double> values() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ms;
    }
    bool probed() const { return m_probed; }

private:
    std::atomic<bool> m_probed{false};
    mutable std::mutex m_mutex;
    std::vector<double> m_ms;
};

// Publishes `count` messages at `perSecond` on `topic` and waits (bounded)
// until `side` has seen them all. Returns how many were lost.
long sendRound(Publisher& pub, const std::string& topic, int count, int perSecond,
               Latencies& side) {
    const size_t before = side.count();
    const int64_t start = nowNs();
    const int64_t step = 1000000000LL / perSecond;
    for (int i = 0; i < count; ++i) {
        const int64_t due = start + i * step;
        while (nowNs() < due)
            sleepMs(static_cast<double>(due - nowNs()) / 1e6);
        pub.publish(topic, std::to_string(i) + " " + std::to_string(nowNs()), 1);
    }
    pub.drain();
    waitUntil([&] { return side.count() >= before + static_cast<size_t>(count); },
              std::chrono::seconds(5));
    return static_cast<long>(before + count - side.count());
}

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"port", "rounds", "messages", "rate"});
    const int rounds = static_cast<int>(o.number("rounds", 5));
    const int messages = static_cast<int>(o.number("messages", 2000));
    const int rate = static_cast<int>(o.number("rate", 1000));
    const int perRound = messages / rounds;
    divertStdout();
    MosquittoLib lib;
    std::unique_ptr<PrivateBroker> own;
    int port = static_cast<int>(o.number("port", 0));
    if (port == 0) {
        own = std::make_unique<PrivateBroker>();
        port = own->port();
    }

    Latencies driverSide, referenceSide;
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("lat");
    dev->addVariable({"value", 64, "SubVariable", "bench/lat/driver", ""});
    dev->addVariable({"topic", 64, "SubTopic", "", ""});
    std::atomic<bool> connected{false};
    const int observer = kro::host::addObserver([&](const kro::host::Event& e) {
        if (e.kind == kro::host::Event::Kind::Variable && e.name == "lat.value")
            driverSide.seen(e.value);
        else if (e.kind == kro::host::Event::Kind::RuntimeInt && e.name == "lat.substate")
            connected = e.value == "0";
    });
    Listener reference(port, "bench/lat/reference",
                       [&](const std::string&, const std::string& p) { referenceSide.seen(p); });
    int status = 0;
    {
        DriverHost host(dm, commonSettings("lat", port));
        Publisher pub(port);
        // The driver subscribes some 5 s after its start; its SUBSCRIBE follows
        // the CONNACK, so probe until a message gets through.
        const bool ready = waitUntil([&] { return connected.load(); }, std::chrono::seconds(30)) &&
                           waitUntil(
                               [&] {
                                   pub.publish("bench/lat/driver", "probe", 1);
                                   pub.drain();
                                   return waitUntil([&] { return driverSide.probed(); },
                                                    std::chrono::milliseconds(200));
                               },
                               std::chrono::seconds(10));
        if (!ready) {
            std::fprintf(stderr, "the driver did not subscribe\n");
            status = 1;
        } else {
            printHeading("Receive latency: " + std::to_string(perRound * rounds) +
                         " messages per side at " + std::to_string(rate) + "/s, " +
                         std::to_string(rounds) + " interleaved rounds");
            long lostRef = 0, lostDriver = 0;
            for (int r = 0; r < rounds; ++r) {
                lostRef += sendRound(pub, "bench/lat/reference", perRound, rate, referenceSide);
                lostDriver += sendRound(pub, "bench/lat/driver", perRound, rate, driverSide);
            }
            const std::vector<double> d = driverSide.values();
            const std::vector<double> ref = referenceSide.values();
            printRatio("driver latency p50", percentile(d, 50), percentile(ref, 50), "ms");
            printRatio("driver latency p99", percentile(d, 99), percentile(ref, 99), "ms");
            printNote("lost: reference " + std::to_string(lostRef) + ", driver " +
                      std::to_string(lostDriver));
        }
    }
    kro::host::removeObserver(observer);
    return status;
}
