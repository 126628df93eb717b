// Values in batches ("PubBatch"), QoS 1, session mode:
//   burst    values/s of a burst on Debian's broker with PubBatch 100 against
//            one value a message (both rendered as JSON), interleaved rounds
//   quota    20 s of values posted faster than a broker that keeps AWS IoT
//            Core's quotas (100 messages/s, 512 KiB/s) takes them, the session
//            paced within them: values/s taken against what the byte rate
//            allows for the messages sent, lost and throttled
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_util.h"
#include "driver_host.h"
#include "kro_host.h"
#include "load.h"
#include "support/quota_broker.h"

namespace {

using namespace kro::bench;

// Arrivals of numbered values ("seq:N"), one at a time or in JSON arrays.
class Tally {
public:
    void reset(size_t count) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.assign(count, false);
        m_unique = 0;
        m_twice = 0;
        m_last = 0;
    }
    // Returns the values the payload carried.
    size_t arrived(const std::string& payload) {
        const nlohmann::json doc = nlohmann::json::parse(payload, nullptr, false);
        const nlohmann::json values = doc.is_array() ? doc : nlohmann::json::array({doc});
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& v : values) {
            if (!v.is_object() || !v.contains("value") || !v["value"].is_string())
                continue;
            const std::string text = v["value"];
            if (text.rfind("seq:", 0) != 0)
                continue;
            const size_t seq = std::stoul(text.substr(4));
            if (seq >= m_seen.size())
                continue;
            if (m_seen[seq]) {
                ++m_twice;
                continue;
            }
            m_seen[seq] = true;
            ++m_unique;
            m_last = nowNs();
        }
        return values.size();
    }
    size_t unique() const { return m_unique; }
    size_t twice() const { return m_twice; }
    int64_t last() const { return m_last; }

private:
    std::mutex m_mutex;
    std::vector<bool> m_seen;
    std::atomic<size_t> m_unique{0}, m_twice{0};
    std::atomic<int64_t> m_last{0};
};

class Driver {
public:
    Driver(int port, const std::string& extra) {
        m_dm.addDevice("pub");
        m_host = std::make_unique<DriverHost>(
            m_dm, commonSettings("pub", port,
                                 ",\"PubMode\":\"session\",\"AdditionPubArgs\":\"-q 1\"" + extra));
        m_var = std::make_shared<kro::host::DvcVariable>(
            "pub", kro::host::VarSpec{"out", 64, "PubVariable", "bench/b", ""});
    }
    void send(size_t seq) {
        m_var->setStrValue(("seq:" + std::to_string(seq)).c_str(), true);
        m_host->post(m_var);
    }

private:
    kro::host::DeviceManager m_dm;
    std::unique_ptr<DriverHost> m_host;
    std::shared_ptr<kro::host::DvcVariable> m_var;
};

// Values/s from the first post to the last arrival; 0 when some never came.
double burst(Driver& driver, Tally& tally, size_t count) {
    tally.reset(count);
    const int64_t start = nowNs();
    for (size_t i = 0; i < count; ++i)
        driver.send(i);
    if (!waitUntil([&] { return tally.unique() == count; }, std::chrono::seconds(120), 1))
        return 0;
    return static_cast<double>(count) / (static_cast<double>(tally.last() - start) / 1e9);
}

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"rounds", "values", "seconds", "post-rate"});
    const int rounds = static_cast<int>(o.number("rounds", 3));
    const size_t values = static_cast<size_t>(o.number("values", 100000));
    const long seconds = std::max(o.number("seconds", 20), 4L);
    const long postRate = o.number("post-rate", 12000);
    divertStdout();
    MosquittoLib lib;
    {
        PrivateBroker broker({"max_queued_messages 0", "max_queued_bytes 0"});
        Tally tally;
        Listener listener(
            broker.port(), "bench/b",
            [&](const std::string&, const std::string& p) { tally.arrived(p); }, 1);
        Driver single(broker.port(), ",\"PubFormat\":\"json\"");
        Driver batched(broker.port(), ",\"PubBatch\":\"100\"");
        printHeading("Batches on Debian's broker, QoS 1: " + std::to_string(values) +
                     " values per burst, " + std::to_string(rounds) + " interleaved rounds");
        if (burst(single, tally, 100) == 0 || burst(batched, tally, 100) == 0) {
            std::fprintf(stderr, "nothing arrives\n");
            return 1;
        }
        std::vector<double> refRates, rates;
        for (int r = 0; r < rounds; ++r) {
            refRates.push_back(burst(single, tally, values));
            rates.push_back(burst(batched, tally, values));
            std::fprintf(stderr, "  round %d: one a message %.0f, PubBatch 100 %.0f values/s\n",
                         r + 1, refRates.back(), rates.back());
        }
        const double ref = median(refRates), rate = median(rates);
        printRatio("PubBatch 100 values/s (reference: one value a message)", rate, ref, "values/s",
                   ">= 5", rate >= 5 * ref);
    }
    {
        kro::test::QuotaBroker broker; // AWS IoT Core's quotas
        const auto& quota = broker.settings();
        Driver driver(broker.port(), ",\"PubBatch\":\"200\",\"PubRate\":\"100\","
                                     "\"PubByteRate\":\"524288\",\"PubInflight\":\"100\"");
        const size_t total = static_cast<size_t>(seconds * postRate);
        printHeading("Batches through a broker keeping AWS IoT Core's quotas (100 messages/s, "
                     "512 KiB/s): " +
                     std::to_string(postRate) + " values/s posted for " + std::to_string(seconds) +
                     " s, PubBatch 200, paced at the quotas");
        const int64_t start = nowNs();
        for (size_t i = 0; i < total; ++i) {
            // Posted at an even rate, a millisecond's worth at a time.
            const int64_t due = start + static_cast<int64_t>(i * 1e9 / postRate);
            while (nowNs() < due)
                sleepMs(0.5);
            driver.send(i);
        }
        const int64_t end = nowNs();
        waitUntil(
            [&] {
                size_t n = 0;
                for (const auto& m : broker.accepted())
                    n += nlohmann::json::parse(m.payload).size();
                return n >= total;
            },
            std::chrono::seconds(60), 200);
        Tally tally;
        tally.reset(total);
        // Sustained: the first 2 s, when both buckets start full, are left out.
        size_t bytes = 0, inWindow = 0, messages = 0;
        const auto accepted = broker.accepted();
        const auto from = accepted.empty() ? std::chrono::steady_clock::now()
                                           : accepted.front().received + std::chrono::seconds(2);
        const auto to = from + std::chrono::seconds(seconds - 2);
        for (const auto& m : accepted) {
            const size_t n = tally.arrived(m.payload);
            ++messages;
            bytes += m.topic.size() + m.payload.size();
            if (m.received >= from && m.received < to)
                inWindow += n;
        }
        const double perValue = static_cast<double>(bytes) / std::max<size_t>(tally.unique(), 1);
        const double allowed = quota.byteRate / perValue;
        const double rate = static_cast<double>(inWindow) / static_cast<double>(seconds - 2);
        printRatio("values/s taken from 2 s to " + std::to_string(seconds) +
                       " s (reference: what 512 KiB/s allows at " +
                       std::to_string(static_cast<int>(perValue + 0.5)) + " bytes a value)",
                   rate, allowed, "values/s", ">= 0.90", rate >= 0.9 * allowed);
        printFigure("values posted", static_cast<double>(total), "values");
        printFigure("posting took", static_cast<double>(end - start) / 1e9, "s");
        printFigure("messages taken", static_cast<double>(messages), "messages");
        printFigure("values lost (posted, never taken)",
                    static_cast<double>(total - tally.unique()), "values");
        printFigure("values taken twice", static_cast<double>(tally.twice()), "values");
        printFigure("throttled by the broker", static_cast<double>(broker.counts().throttled),
                    "messages");
    }
    return 0;
}
