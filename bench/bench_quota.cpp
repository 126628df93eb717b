// Publish session mode against a broker that keeps AWS IoT Core's quotas (100
// PUBLISH/s and 512 KiB/s per connection; over them MQTT 3.1.1 gets no PUBACK,
// MQTT 5 gets PUBACK 0x97): 10000 distinct values posted to the Common driver
// (the plug-in in the stand-in host) one a millisecond at QoS 1, through a
// session with "PubStore", for MQTT 3.1.1 and 5, paced ("PubRate": 100) and
// unpaced. For each: the values the broker accepted, lost (posted, never
// accepted), throttled (the broker's count), accepted twice; the time from the
// first post to the last first acceptance against the quota's floor (values /
// 100 s); the session's "no acknowledgement" lines and its reconnects.
// Beside each subject, on a connection of its own to the same broker (the
// quotas hold per connection), a raw libmosquitto QoS 1 publisher paces itself
// at exactly the quota's rate: what a client that knows the limit achieves.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <mosquitto.h>

#include "bench_util.h"
#include "driver_host.h"
#include "kro_host.h"
#include "load.h"
#include "support/quota_broker.h"

namespace {

using namespace kro::bench;
using Clock = std::chrono::steady_clock;
using kro::test::QuotaBroker;
using kro::test::QuotaPublish;

constexpr const char* kReferenceId = "bench-quota-reference";
constexpr const char* kNoAckLine = "[kro error]publish: no acknowledgement within ";

struct Subject {
    std::string key;
    int version; // 4: MQTT 3.1.1, 5: MQTT 5
    bool paced;
};

std::string payload(size_t seq) {
    return "v:" + std::to_string(seq);
}

// The broker's acceptances of one topic's numbered values.
class Tally {
public:
    Tally(std::string topic, size_t values, Clock::time_point start)
        : m_topic(std::move(topic)), m_first(values, Clock::time_point{}), m_start(start) {}

    void add(const QuotaPublish& m) {
        if (m.topic != m_topic || m.payload.compare(0, 2, "v:") != 0)
            return;
        char* end = nullptr;
        const unsigned long seq = std::strtoul(m.payload.c_str() + 2, &end, 10);
        if (*end != '\0' || seq >= m_first.size())
            return;
        if (m_first[seq] != Clock::time_point{}) {
            ++m_twice;
            return;
        }
        m_first[seq] = m.received;
        m_last = std::max(m_last, m.received);
        ++m_distinct;
        const auto step = static_cast<size_t>(
            std::chrono::duration_cast<std::chrono::seconds>(m.received - m_start).count() / 10);
        if (m_bySteps.size() <= step)
            m_bySteps.resize(step + 1, 0);
        ++m_bySteps[step];
    }
    bool complete() const { return m_distinct == m_first.size(); }
    size_t distinct() const { return m_distinct; }
    size_t twice() const { return m_twice; }
    // Seconds from the start to the last first acceptance; 0 for none.
    double seconds() const {
        return m_distinct ? std::chrono::duration<double>(m_last - m_start).count() : 0;
    }
    // Distinct values accepted by the end of each 10 s from the start.
    std::string steps() const {
        std::string out;
        size_t sum = 0;
        for (const size_t n : m_bySteps)
            out += (out.empty() ? "" : " ") + std::to_string(sum += n);
        return out;
    }

private:
    std::string m_topic;
    std::vector<Clock::time_point> m_first;
    Clock::time_point m_start, m_last{};
    size_t m_distinct = 0, m_twice = 0;
    std::vector<size_t> m_bySteps;
};

// The reference: libmosquitto with its own network thread, one QoS 1
// publication every 1/rate s from `start`, on a thread of its own.
class PacedReference {
public:
    PacedReference(int port, int version, std::string topic, size_t values, double rate,
                   Clock::time_point start) {
        m_mosq = mosquitto_new(kReferenceId, true, nullptr);
        if (!m_mosq ||
            mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION,
                                 version == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311) !=
                MOSQ_ERR_SUCCESS ||
            mosquitto_connect(m_mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(m_mosq) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("the reference publisher cannot connect");
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
        m_thread = std::thread([this, topic = std::move(topic), values, period, start] {
            for (size_t i = 0; i < values && !m_stop; ++i) {
                std::this_thread::sleep_until(start + period * static_cast<long>(i));
                const std::string p = payload(i);
                if (mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(p.size()),
                                      p.data(), 1, false) != MOSQ_ERR_SUCCESS)
                    ++m_refused;
            }
        });
    }
    ~PacedReference() {
        m_stop = true;
        m_thread.join();
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
    }
    PacedReference(const PacedReference&) = delete;
    PacedReference& operator=(const PacedReference&) = delete;
    long refused() const { return m_refused; }

private:
    mosquitto* m_mosq = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_refused{0};
};

// The driver's standard output goes to `path` from now on (the report keeps
// the original one).
void stdoutTo(const std::string& path) {
    std::fflush(stdout);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot open " + path);
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

size_t countLines(const std::string& text, const std::string& start) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(start, at)) != std::string::npos; at += start.size())
        if (at == 0 || text[at - 1] == '\n')
            ++n;
    return n;
}

// One subject, its figures on the report.
void run(const Subject& s, size_t values, std::chrono::seconds bound, const std::string& dir) {
    QuotaBroker broker;
    const double rate = broker.settings().rate;
    const double floor = static_cast<double>(values) / rate;
    const std::string topic = "bench/quota/" + s.key, refTopic = topic + "-reference";
    const std::string out = dir + "/" + s.key + ".out";
    stdoutTo(out);

    kro::host::DeviceManager dm;
    dm.addDevice("quota");
    std::string extra = ",\"PubMode\":\"session\",\"AdditionPubArgs\":\"-q 1";
    extra += s.version == 5 ? " -V 5\"" : "\"";
    extra += ",\"PubStore\":\"" + dir + "/" + s.key + ".db\"";
    if (s.paced)
        extra += ",\"PubRate\":\"100\"";
    auto host = std::make_unique<DriverHost>(dm, commonSettings("quota", broker.port(), extra));
    auto var = std::make_shared<kro::host::DvcVariable>(
        "quota", kro::host::VarSpec{"out", 64, "PubVariable", topic, ""});

    const Clock::time_point start = Clock::now(), deadline = start + bound;
    Tally subject(topic, values, start), reference(refTopic, values, start);
    PacedReference raw(broker.port(), s.version, refTopic, values, rate, start);
    for (size_t i = 0; i < values; ++i) {
        var->setStrValue(payload(i).c_str(), true);
        host->post(var);
        std::this_thread::sleep_until(start + std::chrono::milliseconds(i + 1));
    }
    size_t seen = 0;
    const auto collect = [&] {
        for (const auto& m : broker.accepted(seen)) {
            subject.add(m);
            reference.add(m);
            ++seen;
        }
    };
    while (!(subject.complete() && reference.complete()) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        collect();
    }
    // What a reconnect sends again may still come in twice.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    host.reset();
    collect();
    std::fflush(stdout);
    const std::string printed = readFile(out);

    size_t throttled = 0, connects = 0, peak = 0, refThrottled = 0;
    for (const auto& c : broker.connections()) {
        if (c.clientId == kReferenceId) {
            refThrottled += c.throttled;
            continue;
        }
        ++connects;
        throttled += c.throttled;
        peak = std::max(peak, c.peakPerSecond);
    }
    const size_t noAck = countLines(printed, kNoAckLine);
    const std::string name = std::string(s.version == 5 ? "MQTT 5" : "MQTT 3.1.1") +
                             (s.paced ? ", PubRate 100" : ", no pace");
    printHeading(name + ": " + std::to_string(values) +
                 " values at QoS 1 with a store, one a millisecond, quota 100 PUBLISH/s");
    std::fprintf(report(),
                 "  driver     accepted %zu of %zu, lost %zu, throttled %zu, twice %zu; "
                 "\"no acknowledgement\" lines %zu, reconnects %zu, peak %zu/s%s\n",
                 subject.distinct(), values, values - subject.distinct(), throttled,
                 subject.twice(), noAck, connects ? connects - 1 : 0, peak,
                 subject.complete() ? "" : " (incomplete at the bound)");
    std::fprintf(report(),
                 "  reference  accepted %zu of %zu, lost %zu, throttled %zu, twice %zu, refused "
                 "by the library %ld%s\n",
                 reference.distinct(), values, values - reference.distinct(), refThrottled,
                 reference.twice(), raw.refused(),
                 reference.complete() ? "" : " (incomplete at the bound)");
    printNote("driver's distinct values accepted after each 10 s: " + subject.steps());
    // QoS 1 may deliver twice after a reconnect: counted, not a target.
    const bool met = subject.complete() && (!s.paced || throttled == 0);
    printRatio("to the last acceptance, s (quota floor)", subject.seconds(), floor, "s",
               s.paced ? "all, 0 thr." : "all", met);
    printRatio("to the last acceptance, s (raw, 100/s)", subject.seconds(), reference.seconds(),
               "s");
    if (const size_t at = printed.find(kNoAckLine); at != std::string::npos)
        std::fprintf(stderr, "%s: the first \"no acknowledgement\" line: %s\n", s.key.c_str(),
                     printed.substr(at, printed.find('\n', at) - at).c_str());
    std::fprintf(stderr, "%s: reference accepted after each 10 s: %s\n", s.key.c_str(),
                 reference.steps().c_str());
}

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"values", "seconds", "subjects"});
    const size_t values = static_cast<size_t>(o.number("values", 10000));
    const std::chrono::seconds bound(o.number("seconds", 300));
    const std::string keys =
        "," + o.text("subjects", "v3-paced,v5-paced,v3-unpaced,v5-unpaced") + ",";
    divertStdout();
    MosquittoLib lib;
    const std::string dir = makeTempDir("kro-bench-quota");
    const Subject subjects[] = {{"v3-paced", 4, true},
                                {"v5-paced", 5, true},
                                {"v3-unpaced", 4, false},
                                {"v5-unpaced", 5, false}};
    // A missed target is reported, not an error: the run itself completed.
    for (const auto& s : subjects)
        if (keys.find("," + s.key + ",") != std::string::npos)
            run(s, values, bound, dir);
    removeTree(dir);
    return 0;
}
