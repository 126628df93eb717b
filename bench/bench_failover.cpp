// Failover: a steady stream of values at QoS 1 (one a millisecond) to node A
// of a three-node aedes cluster sharing its state through Redis (the test
// suite's cluster), node A killed (SIGKILL) in the middle of it. Subject: the
// Common driver through the plug-in in the stand-in host, "PubMode":
// "session", its "host" the list of the three nodes. Reference, interleaved
// with it: a libmosquitto QoS 1 publisher on one connection that connects to
// the next node when its node dies. Each run has a cluster of its own.
// Per run, from the node logs (each node logs a PUBLISH before it
// acknowledges it, with the wall-clock millisecond):
//   moved    time from the kill to the first value a surviving node accepted
//   driver   values posted and in no node's log (lost by the publisher)
//   cluster  values in node A's log never delivered to a subscriber on node C
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "driver_host.h"
#include "kro_host.h"
#include "load.h"
#include "support/cluster.h"

namespace {

using namespace kro::bench;
using kro::test::Cluster;

long long wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One way of sending numbered values to the cluster: the driver or the reference.
class Sender {
public:
    virtual ~Sender() = default;
    virtual void send(const std::string& topic, const std::string& payload) = 0;
    // True once every value sent is acknowledged (or the sender can tell no more).
    virtual bool idle() = 0;
};

// The subject: the Common driver in session mode on the list of the nodes.
class DriverSender : public Sender {
public:
    DriverSender(const std::string& deviceId, const std::string& hosts, const std::string& topic)
        : m_deviceId(deviceId) {
        m_dm.addDevice(deviceId);
        m_var = std::make_shared<kro::host::DvcVariable>(
            deviceId, kro::host::VarSpec{"out", 64, "PubVariable", topic, ""});
        m_host = std::make_unique<DriverHost>(
            m_dm, "{\"Protocol\":\"COMMONMQTT\",\"DeviceId\":\"" + deviceId + "\",\"host\":\"" +
                      hosts +
                      "\",\"port\":\"1883\",\"clientid\":\"bench-drv\",\"PubMode\":\"session\","
                      "\"AdditionPubArgs\":\"-q 1\"}");
    }
    void send(const std::string&, const std::string& payload) override {
        m_var->setStrValue(payload.c_str(), true);
        m_host->post(m_var);
    }
    bool idle() override {
        int waiting = -1;
        return kro::host::runtime().vars().getIntVar(m_deviceId + ".pubwaiting", waiting) &&
               waiting == 0;
    }

private:
    const std::string m_deviceId;
    kro::host::DeviceManager m_dm;
    std::shared_ptr<kro::host::DvcVariable> m_var;
    std::unique_ptr<DriverHost> m_host;
};

// The reference: one libmosquitto client with a network thread of its own that, when the
// connection is lost, connects to the next node of the list. A value the library refuses
// while it is not connected is kept here and sent, in order, once it is.
class ReferenceSender : public Sender {
public:
    explicit ReferenceSender(std::vector<int> ports) : m_ports(std::move(ports)) {
        m_mosq = mosquitto_new("bench-ref", true, this);
        if (!m_mosq)
            throw std::runtime_error("mosquitto_new failed");
        mosquitto_threaded_set(m_mosq, true);
        mosquitto_publish_callback_set(m_mosq, onPublish);
        if (mosquitto_connect(m_mosq, "127.0.0.1", m_ports[0], 60) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("the reference publisher cannot connect");
        m_thread = std::thread([this] { run(); });
    }
    ~ReferenceSender() override {
        m_stop = true;
        m_thread.join();
        mosquitto_disconnect(m_mosq);
        mosquitto_destroy(m_mosq);
    }
    void send(const std::string& topic, const std::string& payload) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.emplace_back(topic, payload);
        flush();
    }
    bool idle() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        flush();
        return m_pending.empty() && m_acked.load() >= m_published;
    }

private:
    // Under m_mutex.
    void flush() {
        while (!m_pending.empty()) {
            const auto& [topic, payload] = m_pending.front();
            if (mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                  payload.data(), 1, false) != MOSQ_ERR_SUCCESS)
                return;
            ++m_published;
            m_pending.pop_front();
        }
    }
    void run() {
        size_t node = 0;
        while (!m_stop) {
            if (mosquitto_loop(m_mosq, 5, 1) == MOSQ_ERR_SUCCESS)
                continue;
            node = (node + 1) % m_ports.size();
            if (!m_stop &&
                mosquitto_connect(m_mosq, "127.0.0.1", m_ports[node], 60) != MOSQ_ERR_SUCCESS)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    static void onPublish(mosquitto*, void* obj, int) {
        ++static_cast<ReferenceSender*>(obj)->m_acked;
    }

    const std::vector<int> m_ports;
    mosquitto* m_mosq = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::deque<std::pair<std::string, std::string>> m_pending;
    long m_published = 0;
    std::atomic<long> m_acked{0};
};

// What a subscriber on node C received.
class Delivered {
public:
    void add(const std::string& payload) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_twice += !m_seen.insert(payload).second;
    }
    bool has(const std::string& payload) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen.count(payload) != 0;
    }
    long twice() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_twice;
    }

private:
    std::mutex m_mutex;
    std::set<std::string> m_seen;
    long m_twice = 0;
};

struct Figures {
    bool ok = false;
    double movedMs = 0;
    long publisherLost = 0, clusterLost = 0, twice = 0;
};

// Payloads of `topic` that node i accepted, with the earliest time one was.
std::set<std::string> acceptedBy(const Cluster& cluster, int i, const std::string& topic,
                                 long long* firstMs = nullptr) {
    std::set<std::string> out;
    for (const kro::test::Accepted& a : cluster.received(i))
        if (a.topic == topic) {
            out.insert(a.payload);
            if (firstMs && (*firstMs == 0 || a.atMs < *firstMs))
                *firstMs = a.atMs;
        }
    return out;
}

Figures runOnce(bool driver, int round, long values, long killAt) {
    Figures f;
    Cluster cluster;
    const std::string topic = std::string("fo/") + (driver ? "d" : "r") + std::to_string(round);
    Delivered delivered;
    Listener listener(
        cluster.port(2), "fo/#",
        [&](const std::string& t, const std::string& p) {
            if (t == topic)
                delivered.add(p);
        },
        1);
    std::string hosts;
    std::vector<int> ports;
    for (int i = 0; i < cluster.size(); ++i) {
        ports.push_back(cluster.port(i));
        hosts += (i ? ",127.0.0.1:" : "127.0.0.1:") + std::to_string(cluster.port(i));
    }
    std::unique_ptr<Sender> sender;
    if (driver)
        sender = std::make_unique<DriverSender>("fo" + std::to_string(round), hosts, topic);
    else
        sender = std::make_unique<ReferenceSender>(ports);

    // Warm-up: the sender's connection to node A is up and the cluster passes values on.
    sender->send(topic, "warm");
    if (!waitUntil([&] { return delivered.has("warm"); }, std::chrono::seconds(20), 10)) {
        std::fprintf(stderr, "the warm-up value did not arrive\n%s", cluster.output().c_str());
        return f;
    }

    long long killedMs = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < values; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(i));
        if (i == killAt) {
            killedMs = wallMs();
            cluster.kill(0);
        }
        sender->send(topic, std::to_string(i));
    }
    // The driver's "pubwaiting" is written at most once a second: a 0 from before the last
    // posts is not yet the end. Bounded: a sender that never settles leaves its unsent values
    // counted as lost.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    waitUntil([&] { return sender->idle(); }, std::chrono::seconds(30), 10);

    std::set<std::string> accepted = acceptedBy(cluster, 0, topic);
    const std::set<std::string> onA = accepted;
    long long firstMs = 0;
    std::set<std::string> survivors;
    for (int i = 1; i < cluster.size(); ++i)
        for (const std::string& p : acceptedBy(cluster, i, topic, &firstMs))
            survivors.insert(p);
    accepted.insert(survivors.begin(), survivors.end());
    // What the surviving nodes took in reaches node C; what node A acknowledged and did not
    // pass on never will.
    waitUntil(
        [&] {
            return std::all_of(survivors.begin(), survivors.end(),
                               [&](const std::string& p) { return delivered.has(p); });
        },
        std::chrono::seconds(15), 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    for (long i = 0; i < values; ++i) {
        const std::string v = std::to_string(i);
        f.publisherLost += !accepted.count(v);
        f.clusterLost += onA.count(v) && !delivered.has(v);
    }
    f.twice = delivered.twice();
    f.ok = firstMs != 0;
    f.movedMs = static_cast<double>(firstMs - killedMs);
    std::fprintf(stderr,
                 "  round %d %s: next node %.0f ms after the kill; lost by the publisher %ld, "
                 "by the cluster %ld; delivered twice %ld; node A took %zu, the others %zu\n",
                 round + 1, driver ? "driver" : "reference", f.movedMs, f.publisherLost,
                 f.clusterLost, f.twice, onA.size(), survivors.size());
    if (!f.ok)
        std::fprintf(stderr, "no surviving node took a value\n%s", cluster.output().c_str());
    return f;
}

std::string list(const std::vector<long>& v) {
    std::string s;
    for (long x : v)
        s += (s.empty() ? "" : " ") + std::to_string(x);
    return s;
}

double medianOf(const std::vector<long>& v) {
    return median(std::vector<double>(v.begin(), v.end()));
}

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"rounds", "values", "kill-at"});
    const int rounds = static_cast<int>(o.number("rounds", 3));
    const long values = o.number("values", 3000);
    const long killAt = o.number("kill-at", values / 2);
    divertStdout();
    MosquittoLib lib;
    if (Cluster::disabled()) {
        std::fprintf(stderr, "KRO_NO_CLUSTER is set: no cluster to fail over in\n");
        return 1;
    }

    printHeading("Failover: " + std::to_string(values) +
                 " values at QoS 1, one a millisecond, node A of 3 killed at value " +
                 std::to_string(killAt) + ", " + std::to_string(rounds) +
                 " interleaved rounds, medians");
    std::vector<double> moved[2];
    std::vector<long> publisherLost[2], clusterLost[2];
    try {
        for (int r = 0; r < rounds; ++r)
            for (const bool driver : {false, true}) {
                const Figures f = runOnce(driver, r, values, killAt);
                if (!f.ok)
                    return 1;
                moved[driver].push_back(f.movedMs);
                publisherLost[driver].push_back(f.publisherLost);
                clusterLost[driver].push_back(f.clusterLost);
            }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_failover: %s\n", e.what());
        return 1;
    }
    printRatio("kill to a value on the next node", median(moved[1]), median(moved[0]), "ms");
    const bool none = std::all_of(publisherLost[1].begin(), publisherLost[1].end(),
                                  [](long n) { return n == 0; });
    char line[256];
    std::snprintf(line, sizeof line,
                  "values lost by the publisher: driver %.0f, reference %.0f (medians; rounds: "
                  "driver %s, reference %s)   target 0 in every round %s",
                  medianOf(publisherLost[1]), medianOf(publisherLost[0]),
                  list(publisherLost[1]).c_str(), list(publisherLost[0]).c_str(),
                  none ? "met" : "MISSED");
    printNote(line);
    std::snprintf(line, sizeof line,
                  "values lost by the cluster: driver's runs %.0f, reference's %.0f (medians; "
                  "rounds: driver %s, reference %s)",
                  medianOf(clusterLost[1]), medianOf(clusterLost[0]), list(clusterLost[1]).c_str(),
                  list(clusterLost[0]).c_str());
    printNote(line);
    return 0;
}
