// Sparkplug B DDATA, session mode at QoS 0 (Sparkplug's data QoS), on Debian's
// broker: the same burst of distinct whole numbers posted over 10 PubVariables
//   (a) plain session mode, one value a message (the reference)
//   (b) a Sparkplug edge node, one value a DDATA
//   (c) the node with "PubBatch": "100", several metrics a DDATA
// in interleaved rounds. Values/s from the first post to the last value seen
// by a libmosquitto subscriber, which decodes each DDATA and marks every value
// seen, so that a lost or repeated one shows.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "bench_util.h"
#include "driver_host.h"
#include "kro_host.h"
#include "load.h"
#include "publish/sparkplug_codec.h"

namespace {

using namespace kro::bench;

constexpr int kVariables = 10;

// Arrivals of one burst of the numbers 0 .. count-1, plain or in DDATA.
class Tally {
public:
    void reset(size_t count) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.assign(count, false);
        m_unique = m_twice = m_messages = m_metrics = m_foreign = m_historical = m_bytes = 0;
        m_last = m_workNs = 0;
    }
    // On the listener's thread; the time each takes is the subscriber's share.
    void plain(const std::string& payload) {
        const int64_t from = nowNs();
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_messages;
        m_bytes += payload.size();
        ++m_metrics;
        mark(payload);
        m_workNs += nowNs() - from;
    }
    void ddata(const std::string& payload) {
        const int64_t from = nowNs();
        sparkplug::Payload decoded;
        const bool ok = sparkplug::decode(payload, &decoded);
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_messages;
        m_bytes += payload.size();
        if (!ok) {
            ++m_foreign;
            m_workNs += nowNs() - from;
            return;
        }
        for (const sparkplug::Metric& metric : decoded.metrics) {
            ++m_metrics;
            m_historical += metric.isHistorical;
            const std::optional<std::string> text = sparkplug::valueText(metric);
            if (text)
                mark(*text);
            else
                ++m_foreign;
        }
        m_workNs += nowNs() - from;
    }
    size_t unique() const { return m_unique; }
    int64_t last() const { return m_last; }
    size_t twice() const { return m_twice; }
    size_t messages() const { return m_messages; }
    size_t metrics() const { return m_metrics; }
    size_t foreign() const { return m_foreign; }
    size_t historical() const { return m_historical; }
    size_t bytes() const { return m_bytes; }
    int64_t workNs() const { return m_workNs; }

private:
    void mark(std::string_view text) {
        size_t n = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (ec != std::errc() || end != text.data() + text.size() || n >= m_seen.size()) {
            ++m_foreign;
            return;
        }
        if (m_seen[n]) {
            ++m_twice;
            return;
        }
        m_seen[n] = true;
        ++m_unique;
        m_last = nowNs();
    }

    std::mutex m_mutex;
    std::vector<bool> m_seen;
    std::atomic<size_t> m_unique{0}, m_twice{0}, m_messages{0}, m_metrics{0}, m_foreign{0},
        m_historical{0}, m_bytes{0};
    std::atomic<int64_t> m_last{0}, m_workNs{0};
};

// A Common driver in session mode with 10 PubVariables holding 0, so that a
// node's first DBIRTH already declares them Int64.
class Driver {
public:
    Driver(int port, const std::string& id, const std::string& prefix, const std::string& extra) {
        kro::host::Device* device = m_dm.addDevice(id);
        for (int i = 0; i < kVariables; ++i)
            m_vars.push_back(device->addVariable(
                {"v" + std::to_string(i), 64, "PubVariable", prefix + std::to_string(i), "0"}));
        m_host = std::make_unique<DriverHost>(
            m_dm, commonSettings(id, port, ",\"PubMode\":\"session\"" + extra));
    }
    void send(size_t n) {
        const auto& var = m_vars[n % kVariables];
        var->setStrValue(std::to_string(n).c_str(), true);
        m_host->post(var);
    }

private:
    kro::host::DeviceManager m_dm;
    std::vector<std::shared_ptr<kro::host::DvcVariable>> m_vars;
    std::unique_ptr<DriverHost> m_host;
};

struct Round {
    double rate = 0;     // values/s; 0 when some never came
    double postRate = 0; // posts/s of the posting loop alone
    size_t lost = 0, twice = 0, messages = 0, metrics = 0, foreign = 0, historical = 0, bytes = 0;
    size_t workNs = 0;
};

// Posts 0 .. count-1 at once and waits for them: at most 60 s, and no more
// than 5 s after the last new arrival.
Round burst(Driver& driver, Tally& tally, size_t count) {
    tally.reset(count);
    const int64_t start = nowNs();
    for (size_t i = 0; i < count; ++i)
        driver.send(i);
    const int64_t posted = nowNs();
    const int64_t deadline = nowNs() + 60'000'000'000;
    while (tally.unique() < count && nowNs() < deadline) {
        const size_t before = tally.unique();
        waitUntil([&] { return tally.unique() == count; }, std::chrono::seconds(5), 1);
        if (tally.unique() == before)
            break;
    }
    sleepMs(50); // a repeat right behind the last value still counts
    Round r;
    r.postRate = static_cast<double>(count) / (static_cast<double>(posted - start) / 1e9);
    r.lost = count - tally.unique();
    r.twice = tally.twice();
    r.messages = tally.messages();
    r.metrics = tally.metrics();
    r.foreign = tally.foreign();
    r.historical = tally.historical();
    r.bytes = tally.bytes();
    r.workNs = static_cast<size_t>(tally.workNs());
    if (r.lost == 0)
        r.rate = static_cast<double>(count) / (static_cast<double>(tally.last() - start) / 1e9);
    return r;
}

struct Subject {
    const char* name;
    Driver* driver;
    std::vector<Round> rounds;
    double medianOf(double Round::*field) const {
        std::vector<double> out;
        for (const Round& r : rounds)
            out.push_back(r.*field);
        return median(out);
    }
    size_t total(size_t Round::*field) const {
        size_t n = 0;
        for (const Round& r : rounds)
            n += r.*field;
        return n;
    }
};

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"rounds", "values"});
    const int rounds = static_cast<int>(std::max(o.number("rounds", 5), 1L));
    const size_t values = static_cast<size_t>(std::max(o.number("values", 100000), 100L));
    divertStdout();
    MosquittoLib lib;
    PrivateBroker broker({"max_queued_messages 0", "max_queued_bytes 0"});
    Tally tally;
    std::atomic<int> births{0};
    Listener plainListener(broker.port(), "bench/sp/#",
                           [&](const std::string&, const std::string& p) { tally.plain(p); });
    Listener nodeListener(broker.port(), "spBv1.0/#",
                          [&](const std::string& topic, const std::string& p) {
                              if (topic.find("/DDATA/") != std::string::npos)
                                  tally.ddata(p);
                              else if (topic.find("/DBIRTH/") != std::string::npos)
                                  ++births;
                          });
    const std::string node = ",\"SparkplugGroup\":\"G\",\"SparkplugNode\":";
    Driver plain(broker.port(), "plain", "bench/sp/", "");
    Driver single(broker.port(), "D1", "m/", node + "\"N1\"");
    Driver batched(broker.port(), "D100", "m/", node + "\"N100\",\"PubBatch\":\"100\"");
    // Values posted before the births would go as historical ones.
    if (!waitUntil([&] { return births >= 2; }, std::chrono::seconds(20), 5)) {
        std::fprintf(stderr, "the nodes' DBIRTH did not arrive\n");
        return 1;
    }
    Subject subjects[] = {{"plain session", &plain, {}},
                          {"Sparkplug, one value a DDATA", &single, {}},
                          {"Sparkplug, PubBatch 100", &batched, {}}};
    for (Subject& s : subjects) {
        if (burst(*s.driver, tally, 100).rate == 0) {
            std::fprintf(stderr, "%s: nothing arrives\n", s.name);
            return 1;
        }
    }
    const int birthsBefore = births;
    printHeading(
        "Sparkplug B DDATA on Debian's broker, session mode, QoS 0: " + std::to_string(values) +
        " values over " + std::to_string(kVariables) + " variables per burst, " +
        std::to_string(rounds) + " interleaved rounds, medians");
    for (int r = 0; r < rounds; ++r) {
        for (Subject& s : subjects)
            s.rounds.push_back(burst(*s.driver, tally, values));
        std::fprintf(stderr,
                     "  round %d: plain %.0f, DDATA %.0f, DDATA PubBatch 100 %.0f values/s\n",
                     r + 1, subjects[0].rounds.back().rate, subjects[1].rounds.back().rate,
                     subjects[2].rounds.back().rate);
    }
    const double ref = subjects[0].medianOf(&Round::rate);
    const double one = subjects[1].medianOf(&Round::rate);
    const double hundred = subjects[2].medianOf(&Round::rate);
    printFigure("plain session values/s", ref, "values/s");
    printRatio("DDATA, one value a message", one, ref, "values/s", ">= 0.80", one >= 0.8 * ref);
    printRatio("DDATA, PubBatch 100", hundred, ref, "values/s");
    printFigure("metrics per DDATA, PubBatch 100",
                static_cast<double>(subjects[2].total(&Round::metrics)) /
                    static_cast<double>(std::max<size_t>(subjects[2].total(&Round::messages), 1)),
                "metrics");
    bool clean = true;
    for (const Subject& s : subjects) {
        const size_t lost = s.total(&Round::lost), twice = s.total(&Round::twice);
        clean &= lost == 0 && twice == 0;
        char line[256];
        std::snprintf(line, sizeof line,
                      "%s (all rounds): lost %zu, twice %zu, not ours %zu, historical %zu; "
                      "payload %.1f bytes a message; subscriber's work %.2f us a value; "
                      "posting %.0f posts/s",
                      s.name, lost, twice, s.total(&Round::foreign), s.total(&Round::historical),
                      static_cast<double>(s.total(&Round::bytes)) /
                          static_cast<double>(std::max<size_t>(s.total(&Round::messages), 1)),
                      static_cast<double>(s.total(&Round::workNs)) / 1e3 /
                          static_cast<double>(std::max<size_t>(s.total(&Round::metrics), 1)),
                      s.medianOf(&Round::postRate));
        printNote(line);
    }
    printNote("DBIRTH during the rounds: " + std::to_string(births - birthsBefore));
    printNote(std::string("target: every value once, nothing lost   ") +
              (clean ? "met" : "MISSED"));
    return 0;
}
