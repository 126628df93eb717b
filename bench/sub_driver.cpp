// The Common driver as a receive-throughput subject: the plug-in loaded in
// the stand-in host, its device holding one "SubVariable" (the load's topic)
// and one "SubTopic", every write of the SubVariable counted by an observer
// on the store. With --sub-match topic the driver matches topics per
// variable, and the device holds --filters SubVariables in all: "value" on the
// --topic filter, the others on distinct filters beside it that the load's
// topic does not match. With --spread N the device holds N SubVariables
// "value0".."valueN-1" on the distinct filters --topic/0 .. --topic/N-1
// instead, and a write of any of them is counted. With --fields N (2 to 5) the
// device holds N SubVariables on the --topic filter, each with a location of
// the JSON payload the load sends, "value" (counted) the last; --size is the
// size of "value". With --members N the device holds N SubVariables on the
// --topic filter, "value" (counted) the last, each with the location of a
// distinct member "/k0" .. "/kN-1" of the payload's object, or none with
// --plain 1 (each takes the whole payload). Ends when --count writes were seen, the flow has
// been idle for --idle-ms after the first, or --timeout-s has passed, and writes
// "<count> <first ns> <last ns>" (monotonic clock) to --result.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "bench_util.h"
#include "driver_host.h"
#include "kro_host.h"

namespace {

using kro::bench::nowNs;

} // namespace

int main(int argc, char** argv) {
    const kro::bench::Options o(argc, argv,
                                {"port", "topic", "count", "id", "idle-ms", "timeout-s", "result",
                                 "sub-args", "sub-match", "filters", "spread", "fields", "size",
                                 "members", "plain"});
    const bool plain = o.number("plain", 0) != 0;
    const int port = static_cast<int>(o.number("port", 1883));
    const long want = o.number("count", 1);
    const int64_t idleNs = o.number("idle-ms", 3000) * 1000000;
    const int64_t deadline = nowNs() + o.number("timeout-s", 60) * 1000000000;

    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("bench");
    const std::string filter = o.text("topic", "bench/load");
    const long spread = o.number("spread", 0);
    for (long i = 0; i < spread; ++i)
        dev->addVariable(
            {"value" + std::to_string(i), 64, "SubVariable", filter + "/" + std::to_string(i), ""});
    const char* locations[] = {"#/temperature", "#/flow/value", "#/state", "#/seq", "#/pressure"};
    const long fields = std::min<long>(o.number("fields", 0), 5);
    for (long i = 5 - fields; i < 4; ++i)
        dev->addVariable(
            {"field" + std::to_string(i), 64, "SubVariable", filter + locations[i], ""});
    const long members = o.number("members", 0);
    auto member = [&](long i) { return plain ? filter : filter + "#/k" + std::to_string(i); };
    for (long i = 0; i + 1 < members; ++i)
        dev->addVariable({"m" + std::to_string(i), 64, "SubVariable", member(i), ""});
    if (members > 0)
        dev->addVariable({"value", 64, "SubVariable", member(members - 1), ""});
    else if (spread == 0)
        dev->addVariable({"value", static_cast<int>(o.number("size", 64)), "SubVariable",
                          fields > 0 ? filter + locations[4] : filter, ""});
    for (long i = 1; spread == 0 && i < o.number("filters", 1); ++i) {
        const std::string n = std::to_string(i);
        dev->addVariable({"value" + n, 64, "SubVariable",
                          i % 2 ? filter + "/" + n : filter + "/x" + n + "/#", ""});
    }
    dev->addVariable({"topic", 64, "SubTopic", "", ""});

    std::atomic<long> count{0};
    std::atomic<int64_t> first{0}, last{0};
    std::mutex mutex;
    std::condition_variable complete;
    const std::string counted = "bench.value";
    kro::host::addObserver([&](const kro::host::Event& e) {
        if (e.kind != kro::host::Event::Kind::Variable ||
            (spread ? e.name.compare(0, counted.size(), counted) != 0 : e.name != counted))
            return;
        const int64_t t = nowNs();
        const long n = count.fetch_add(1) + 1;
        if (n == 1)
            first = t;
        last = t;
        if (n == want) {
            std::lock_guard<std::mutex> lock(mutex);
            complete.notify_all();
        }
    });

    std::string extra = ",\"clientid\":\"" + o.text("id", "bench-driver") + "\"";
    if (o.has("sub-match"))
        extra += ",\"SubMatch\":\"" + o.text("sub-match", "") + "\"";
    if (o.has("sub-args"))
        extra += ",\"AdditionSubArgs\":\"" + o.text("sub-args", "") + "\"";
    {
        kro::bench::DriverHost host(dm, kro::bench::commonSettings("bench", port, extra));
        // Woken by the last message; the timed wake-ups (a few per second)
        // only watch for a flow that stopped short.
        std::unique_lock<std::mutex> lock(mutex);
        while (count < want) {
            complete.wait_for(lock, std::chrono::milliseconds(200));
            const int64_t now = nowNs();
            if (now > deadline || (count > 0 && now - last > idleNs))
                break;
        }
        lock.unlock();
        kro::bench::writeFile(o.text("result", "/dev/null"),
                              std::to_string(count.load()) + " " + std::to_string(first.load()) +
                                  " " + std::to_string(last.load()) + "\n");
    }
    return 0;
}
