// Publish session mode: "PubVariable" values posted to the Common driver with
// "PubMode": "session" (the plug-in in the stand-in host), timed from postData
// to their arrival at a libmosquitto subscriber. Each part has a reference
// measured in the same run, interleaved with the subject:
//   burst    100000 values posted at once, at QoS 0 and at QoS 1, against a
//            raw libmosquitto publisher loop (one connection, its own network
//            thread) sending the same messages
//   latency  values posted one at a time at random times (0.2 to 2 ms apart),
//            against the same raw publisher publishing at such times
//   outage   the broker stopped for 10 s while 10000 values are posted at
//            QoS 1 (one a millisecond), then started again: how many arrive,
//            in posting order, how many twice; the raw publisher beside it
//   json     "PubFormat": "json" against the plain session, a burst at QoS 0
//            and at QoS 1; and the renderer alone against nlohmann/json
//            building and dumping the same object
//   store    with "PubStore": a QoS 1 burst against the session without a
//            store, and 1000000 values posted while the broker is down, then
//            the broker back, against the raw publisher sending as many on
//            one connection; resident size and store size during the outage;
//            10000 values posted by kro-host while the broker is down, kro-host
//            killed (SIGKILL) and started again with the broker back
// The broker keeps its state across the restart and the subscriber's session
// is persistent, so what the publisher sends after the restart is kept for
// the subscriber whichever of the two reconnects first.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_util.h"
#include "driver_host.h"
#include "kro_host.h"
#include "load.h"
#include "publish/publish_format.h"

namespace {

using namespace kro::bench;

// Arrivals of one run of numbered values ("seq:N") on one topic.
class Tally {
public:
    void reset(const std::string& topic, size_t count) {
        m_topic = topic;
        m_arrived = std::vector<std::atomic<int64_t>>(count);
        for (auto& a : m_arrived)
            a = 0;
        m_unique = 0;
        m_twice = 0;
        m_outOfOrder = 0;
        m_highest = -1;
    }
    // On the listener's thread. A value published as JSON counts by its "value".
    void arrived(const std::string& topic, const std::string& payload) {
        static const std::string inJson = "\"value\": \"";
        size_t from = 0;
        if (!payload.empty() && payload[0] == '{') {
            from = payload.find(inJson);
            if (from == std::string::npos)
                return;
            from += inJson.size();
        }
        if (topic != m_topic || payload.compare(from, 4, "seq:") != 0)
            return;
        const long seq = std::stol(payload.substr(from + 4));
        if (seq < 0 || static_cast<size_t>(seq) >= m_arrived.size())
            return;
        if (m_arrived[static_cast<size_t>(seq)] != 0) {
            ++m_twice;
            return;
        }
        if (seq < m_highest)
            ++m_outOfOrder;
        m_highest = std::max(m_highest, seq);
        m_arrived[static_cast<size_t>(seq)] = nowNs();
        ++m_unique;
    }
    bool waitAll(std::chrono::milliseconds timeout) const {
        return waitUntil([this] { return m_unique.load() == m_arrived.size(); }, timeout, 1);
    }
    size_t unique() const { return m_unique; }
    long twice() const { return m_twice; }
    long outOfOrder() const { return m_outOfOrder; }
    int64_t at(size_t seq) const { return m_arrived[seq]; }
    int64_t last() const {
        int64_t t = 0;
        for (const auto& a : m_arrived)
            t = std::max(t, a.load());
        return t;
    }

private:
    std::string m_topic;
    std::vector<std::atomic<int64_t>> m_arrived;
    std::atomic<size_t> m_unique{0};
    std::atomic<long> m_twice{0};
    std::atomic<long> m_outOfOrder{0};
    long m_highest = -1;
};

std::string payload(size_t seq) {
    return "seq:" + std::to_string(seq);
}

// One way of sending numbered values: the driver or the raw publisher.
class Sender {
public:
    virtual ~Sender() = default;
    virtual void send(const std::string& topic, size_t seq) = 0;
};

// The reference: libmosquitto on one connection with its own network thread,
// which also reconnects it.
class RawPublisher : public Sender {
public:
    RawPublisher(int port, int qos) : m_qos(qos) {
        m_mosq = mosquitto_new(nullptr, true, nullptr);
        if (!m_mosq || mosquitto_connect(m_mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(m_mosq) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("the reference publisher cannot connect");
    }
    ~RawPublisher() override {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    void send(const std::string& topic, size_t seq) override {
        const std::string p = payload(seq);
        mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(p.size()), p.data(),
                          m_qos, false);
    }

private:
    mosquitto* m_mosq = nullptr;
    int m_qos;
};

// The subject: a Common driver in session mode; one "PubVariable" per topic,
// its value set and posted for every value, as a host does.
class SessionDriver : public Sender {
public:
    SessionDriver(int port, int qos, const std::string& extra = "") {
        m_dm.addDevice("pub");
        m_host = std::make_unique<DriverHost>(
            m_dm, commonSettings("pub", port,
                                 ",\"PubMode\":\"session\",\"AdditionPubArgs\":\"-q " +
                                     std::to_string(qos) + "\"" + extra));
    }
    void send(const std::string& topic, size_t seq) override {
        if (!m_var || m_var->getAddr() != topic)
            m_var = std::make_shared<kro::host::DvcVariable>(
                "pub", kro::host::VarSpec{"out", 64, "PubVariable", topic, ""});
        m_var->setStrValue(payload(seq).c_str(), true);
        m_host->post(m_var);
    }

private:
    kro::host::DeviceManager m_dm;
    std::unique_ptr<DriverHost> m_host;
    std::shared_ptr<kro::host::DvcVariable> m_var;
};

struct Subject {
    const char* name;
    Sender* sender;
};

// Messages/s from the first send to the last arrival; 0 when some never came.
double burst(Sender& sender, Tally& tally, const std::string& topic, size_t count) {
    tally.reset(topic, count);
    const int64_t start = nowNs();
    for (size_t i = 0; i < count; ++i)
        sender.send(topic, i);
    if (!tally.waitAll(std::chrono::seconds(120)))
        return 0;
    return static_cast<double>(count) / (static_cast<double>(tally.last() - start) / 1e9);
}

// Post-to-arrival times in ms of values sent at random times.
void paced(Sender& sender, Tally& tally, const std::string& topic, size_t count,
           std::minstd_rand& random, std::vector<double>& latencies) {
    tally.reset(topic, count);
    std::vector<int64_t> sent(count);
    for (size_t i = 0; i < count; ++i) {
        sent[i] = nowNs();
        sender.send(topic, i);
        sleepMs(0.2 + static_cast<double>(random() % 1801) / 1000.0);
    }
    tally.waitAll(std::chrono::seconds(10));
    for (size_t i = 0; i < count; ++i)
        if (tally.at(i) != 0)
            latencies.push_back(static_cast<double>(tally.at(i) - sent[i]) / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    const Options o(
        argc, argv,
        {"rounds", "values", "paced", "outage-values", "outage-seconds", "store-values"});
    const int rounds = static_cast<int>(o.number("rounds", 3));
    const size_t values = static_cast<size_t>(o.number("values", 100000));
    const size_t pacedValues = static_cast<size_t>(o.number("paced", 1000));
    const size_t outageValues = static_cast<size_t>(o.number("outage-values", 10000));
    const long outageSeconds = o.number("outage-seconds", 10);
    const size_t storeValues = static_cast<size_t>(o.number("store-values", 1000000));
    divertStdout();
    MosquittoLib lib;
    const std::string state = makeTempDir("kro-bench-state");
    // Unbounded queues: a slow subscriber shows as a low rate, not as loss.
    PrivateBroker broker({"max_queued_messages 0", "max_queued_bytes 0", "persistence true",
                          "persistence_location " + state + "/", "autosave_interval 0"});
    const int port = broker.port();

    Tally tally;
    Listener qos0(port, "bench/s0/#",
                  [&](const std::string& t, const std::string& p) { tally.arrived(t, p); });
    Listener qos1(
        port, "bench/s1/#",
        [&](const std::string& t, const std::string& p) { tally.arrived(t, p); }, 1,
        "bench-session-listener");

    // Before the outage: the QoS 0 listener does not subscribe again after a broker restart.
    printHeading("Values as JSON (\"PubFormat\": \"json\"): " + std::to_string(values) +
                 " values per burst against the plain session");
    for (const int qos : {0, 1}) {
        SessionDriver plain(port, qos);
        SessionDriver json(port, qos, ",\"PubFormat\":\"json\"");
        const std::string base = "bench/s" + std::to_string(qos) + "/json-";
        if (burst(plain, tally, base + "warm-p", 100) == 0 ||
            burst(json, tally, base + "warm-j", 100) == 0) {
            std::fprintf(stderr, "nothing arrives as JSON at QoS %d\n", qos);
            return 1;
        }
        std::vector<double> refRates, rates;
        for (int r = 0; r < rounds; ++r) {
            refRates.push_back(burst(plain, tally, base + "p" + std::to_string(r), values));
            rates.push_back(burst(json, tally, base + "j" + std::to_string(r), values));
            std::fprintf(stderr, "  json QoS %d round %d: plain %.0f, json %.0f msg/s\n", qos,
                         r + 1, refRates.back(), rates.back());
        }
        const double ref = median(refRates), rate = median(rates);
        printRatio("burst QoS " + std::to_string(qos) + " as JSON, messages/s", rate, ref, "msg/s",
                   ">= 0.90", rate >= 0.9 * ref);
    }
    {
        // The renderer on its own, against building the object with nlohmann/json.
        const std::unique_ptr<const PubFormat> format = PubFormat::json();
        const std::string address = "plant/line-3/temperature";
        std::vector<double> refRates, rates;
        size_t bytes = 0;
        for (int r = 0; r < rounds; ++r) {
            for (const bool ours : {false, true}) {
                const int64_t start = nowNs();
                for (size_t i = 0; i < values; ++i) {
                    const std::string value = i % 2 ? payload(i) : std::to_string(i) + ".5";
                    const std::string out =
                        ours ? format->render(value, address, 1700000000000 + int64_t(i))
                             : nlohmann::json{{"address", address},
                                              {"value", i % 2 ? nlohmann::json(value)
                                                              : nlohmann::json(i + 0.5)},
                                              {"time", 1700000000000 + int64_t(i)}}
                                   .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
                    bytes += out.size();
                }
                const double rate =
                    static_cast<double>(values) / (static_cast<double>(nowNs() - start) / 1e9);
                (ours ? rates : refRates).push_back(rate);
            }
        }
        printRatio("renderer values/s (reference: nlohmann/json)", median(rates), median(refRates),
                   "values/s");
        printNote("rendered " + std::to_string(bytes) + " bytes in all");
    }

    printHeading("Publish session mode: " + std::to_string(values) + " values per burst, " +
                 std::to_string(rounds) + " interleaved rounds");
    for (const int qos : {0, 1}) {
        RawPublisher raw(port, qos);
        SessionDriver driver(port, qos);
        const std::string base = "bench/s" + std::to_string(qos) + "/";
        // Warm-up: the driver's connection is up and every part has run once.
        if (burst(driver, tally, base + "warm-d", 100) == 0 ||
            burst(raw, tally, base + "warm-r", 100) == 0) {
            std::fprintf(stderr, "nothing arrives at QoS %d\n", qos);
            return 1;
        }
        std::vector<double> refRates, rates;
        long lost = 0;
        for (int r = 0; r < rounds; ++r) {
            for (auto [sender, out] :
                 {std::pair<Sender*, std::vector<double>*>{&raw, &refRates}, {&driver, &rates}}) {
                const std::string topic = base + (sender == &raw ? "r" : "d") + std::to_string(r);
                const double rate = burst(*sender, tally, topic, values);
                if (rate == 0)
                    lost += static_cast<long>(values - tally.unique());
                else
                    out->push_back(rate);
                std::fprintf(stderr, "  QoS %d round %d %s %.0f msg/s, twice %ld\n", qos, r + 1,
                             sender == &raw ? "reference" : "driver", rate, tally.twice());
            }
        }
        const double ref = median(refRates), rate = median(rates);
        printRatio("burst QoS " + std::to_string(qos) + " driver messages/s", rate, ref, "msg/s",
                   ">= 0.80", rate >= 0.8 * ref);
        if (lost)
            printNote("QoS " + std::to_string(qos) + ": " + std::to_string(lost) +
                      " values did not arrive");

        if (qos == 0) {
            std::minstd_rand random(2024);
            std::vector<double> refLat, lat;
            for (int r = 0; r < rounds; ++r) {
                paced(raw, tally, base + "pr" + std::to_string(r), pacedValues, random, refLat);
                paced(driver, tally, base + "pd" + std::to_string(r), pacedValues, random, lat);
            }
            const double p50 = percentile(lat, 50);
            printRatio("latency p50 (values at random times)", p50, percentile(refLat, 50), "ms",
                       "<= 1 ms", p50 <= 1.0);
            printRatio("latency p99 (values at random times)", percentile(lat, 99),
                       percentile(refLat, 99), "ms");
            printNote("paced values that did not arrive: driver " +
                      std::to_string(rounds * pacedValues - lat.size()) + ", reference " +
                      std::to_string(rounds * pacedValues - refLat.size()));
        } else {
            printHeading("Outage at QoS 1: broker stopped for " + std::to_string(outageSeconds) +
                         " s while " + std::to_string(outageValues) +
                         " values are posted, then started again");
            for (auto [name, sender] :
                 {std::pair<const char*, Sender*>{"reference", &raw}, {"driver", &driver}}) {
                const std::string topic = base + "outage-" + name;
                tally.reset(topic, outageValues);
                broker.stop();
                const double gap =
                    static_cast<double>(outageSeconds) * 1000.0 / static_cast<double>(outageValues);
                for (size_t i = 0; i < outageValues; ++i) {
                    sender->send(topic, i);
                    sleepMs(gap);
                }
                broker.start();
                const int64_t restarted = nowNs();
                const bool all = tally.waitAll(std::chrono::seconds(60));
                const double took = static_cast<double>(tally.last() - restarted) / 1e9;
                std::fprintf(report(),
                             "  %-26s arrived %zu of %zu, out of order %ld, twice %ld, all in "
                             "%.2f s after the restart%s\n",
                             name, tally.unique(), outageValues, tally.outOfOrder(), tally.twice(),
                             took, all ? "" : " (incomplete after 60 s)");
                if (sender == &driver)
                    std::fprintf(report(), "  %-26s %s\n", "target: all, in order",
                                 all && tally.outOfOrder() == 0 ? "met" : "NOT MET");
            }
        }
    }

    printHeading("Durable publishing at QoS 1: " + std::to_string(values) +
                 " values per burst with a store against the session without one");
    {
        const std::string dir = makeTempDir("kro-bench-store");
        const std::string file = dir + "/values.db";
        SessionDriver plain(port, 1);
        SessionDriver stored(port, 1, ",\"PubStore\":\"" + file + "\"");
        if (burst(plain, tally, "bench/s1/warm-p", 100) == 0 ||
            burst(stored, tally, "bench/s1/warm-s", 100) == 0) {
            std::fprintf(stderr, "nothing arrives with a store\n");
            return 1;
        }
        std::vector<double> refRates, rates;
        for (int r = 0; r < rounds; ++r) {
            refRates.push_back(burst(plain, tally, "bench/s1/p" + std::to_string(r), values));
            rates.push_back(burst(stored, tally, "bench/s1/s" + std::to_string(r), values));
            std::fprintf(stderr, "  store round %d: without %.0f, with %.0f msg/s\n", r + 1,
                         refRates.back(), rates.back());
        }
        const double ref = median(refRates), rate = median(rates);
        printRatio("burst QoS 1 with a store, messages/s", rate, ref, "msg/s", ">= 0.80",
                   rate >= 0.8 * ref);

        printHeading("Durable publishing: " + std::to_string(storeValues) +
                     " values posted while the broker is down, then the broker back");
        RawPublisher raw(port, 1);
        const double refRate = burst(raw, tally, "bench/s1/store-ref", storeValues);
        tally.reset("bench/s1/store-out", storeValues);
        broker.stop();
        const long rssBefore = residentKb(getpid());
        // About 200000 values a second, a busy host's pace: faster than its
        // disk takes them, a host fills PubBuffer and drops the oldest.
        for (size_t i = 0; i < storeValues; ++i) {
            stored.send("bench/s1/store-out", i);
            if (i % 200 == 199)
                sleepMs(1);
        }
        // Every value committed: the store file holds them all.
        sleepMs(2000);
        const long rssDuring = residentKb(getpid());
        std::error_code ec;
        const auto fileSize =
            std::filesystem::file_size(file, ec) + std::filesystem::file_size(file + "-wal", ec);
        broker.start();
        const int64_t restarted = nowNs();
        const bool all = tally.waitAll(std::chrono::seconds(300));
        const double rateBack = static_cast<double>(tally.unique()) /
                                (static_cast<double>(tally.last() - restarted) / 1e9);
        printRatio("after the outage, messages/s", rateBack, refRate, "msg/s", ">= 0.80",
                   all && rateBack >= 0.8 * refRate);
        std::fprintf(report(),
                     "  arrived %zu of %zu, out of order %ld, twice %ld; resident size %+ld MiB "
                     "during the outage (target within 64); store file %.0f MiB\n",
                     tally.unique(), storeValues, tally.outOfOrder(), tally.twice(),
                     (rssDuring - rssBefore) / 1024, static_cast<double>(fileSize) / 1048576.0);
        removeTree(dir);
    }

    printHeading("Durable publishing: kro-host killed while " + std::to_string(outageValues) +
                 " values wait, then started again with the broker back");
    {
        const std::string dir = makeTempDir("kro-bench-restart");
        writeFile(dir + "/host.json",
                  "{\"devices\":[{\"id\":\"dev1\",\"variables\":[{\"name\":\"P\","
                  "\"addrType\":\"PubVariable\",\"addr\":\"bench/s1/restart\",\"size\":32}]}],"
                  "\"drivers\":[{\"settings\":{\"Protocol\":\"COMMONMQTT\",\"DeviceId\":\"dev1\","
                  "\"host\":\"127.0.0.1\",\"port\":\"" +
                      std::to_string(port) + "\",\"PubMode\":\"session\",\"PubStore\":\"" + dir +
                      "/values.db\",\"AdditionPubArgs\":\"-q 1\"}}]}");
        std::string script;
        for (size_t i = 0; i < outageValues; ++i)
            script += "post dev1.P " + payload(i) + "\n";
        writeFile(dir + "/first.script", script + "waitfor dev1.pubwaiting " +
                                             std::to_string(outageValues) +
                                             " 60\nwait 1\necho posted\nwait 120\n");
        writeFile(dir + "/second.script", "post dev1.P " + payload(outageValues) +
                                              "\nwait 2\nwaitfor dev1.pubwaiting 0 120\nquit\n");
        // kro-host links the publisher into its working directory.
        auto host = [&](const std::string& name) {
            return spawn({"/bin/sh", "-c", "cd \"$1\" && exec \"$2\" --script \"$3\" \"$4\"", "sh",
                          dir, KRO_HOST_PROGRAM, dir + "/" + name, dir + "/host.json"},
                         dir + "/" + name + ".out");
        };
        tally.reset("bench/s1/restart", outageValues + 1);
        broker.stop();
        const pid_t first = host("first.script");
        const bool posted = waitUntil(
            [&] {
                return readFile(dir + "/first.script.out").find("] posted\n") != std::string::npos;
            },
            std::chrono::seconds(90), 50);
        kill(first, SIGKILL);
        waitChild(first, std::chrono::seconds(10));
        broker.start();
        const pid_t second = host("second.script");
        const bool all = posted && tally.waitAll(std::chrono::seconds(120));
        waitChild(second, std::chrono::seconds(60));
        std::fprintf(report(),
                     "  arrived %zu of %zu (the last posted after the restart), out of order %ld, "
                     "twice %ld\n  %-26s %s\n",
                     tally.unique(), outageValues + 1, tally.outOfOrder(), tally.twice(),
                     "target: all, in order, once",
                     all && tally.outOfOrder() == 0 && tally.twice() == 0 ? "met" : "NOT MET");
        removeTree(dir);
    }
    removeTree(state);
    return 0;
}
