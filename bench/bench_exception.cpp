// Report by exception ("PubDeadband", "PubHeartbeat"), session mode, QoS 1:
// a random walk of 100,000 posts on 10 variables (steps uniform in -1..1, the
// step size 1) with the deadband at a tenth of it, against the same posts
// without the keys. Every message of both drivers is seen by a subscriber;
// replaying the posts against what arrived gives the messages per post and the
// largest difference between a variable's value in the host and the last one
// published for it, at any time and once a heartbeat has passed.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "driver_host.h"
#include "kro_host.h"
#include "load.h"

namespace {

using namespace kro::bench;

constexpr int kVariables = 10;
constexpr double kStep = 1.0;

struct Post {
    int var;
    double value;
    std::string text;
};

// The arrivals of one driver's topics, in order per topic.
class Arrivals {
public:
    void add(const std::string& topic, const std::string& payload) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_byTopic[topic].push_back(payload);
        ++m_count;
    }
    std::vector<std::string> of(const std::string& topic) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_byTopic[topic];
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex;
    std::map<std::string, std::vector<std::string>> m_byTopic;
    size_t m_count = 0;
};

class Driver {
public:
    Driver(int port, const std::string& id, const std::string& extra) : m_id(id) {
        m_dm.addDevice(id);
        m_host = std::make_unique<DriverHost>(
            m_dm, commonSettings(id, port,
                                 ",\"PubMode\":\"session\",\"AdditionPubArgs\":\"-q 1\"" + extra));
        for (int i = 0; i < kVariables; ++i)
            m_vars.push_back(std::make_shared<kro::host::DvcVariable>(
                id, kro::host::VarSpec{"v" + std::to_string(i), 64, "PubVariable", topic(i), ""}));
    }
    std::string topic(int var) const { return "bench/rbe/" + m_id + "/" + std::to_string(var); }
    void post(const Post& p) {
        m_vars[static_cast<size_t>(p.var)]->setStrValue(p.text.c_str(), true);
        m_host->post(m_vars[static_cast<size_t>(p.var)]);
    }

private:
    std::string m_id;
    kro::host::DeviceManager m_dm;
    std::unique_ptr<DriverHost> m_host;
    std::vector<std::shared_ptr<kro::host::DvcVariable>> m_vars;
};

struct Replay {
    size_t published = 0; // posts that arrived as a message
    size_t repeats = 0;   // messages repeating the last one published (heartbeats)
    size_t unmatched = 0; // messages that match no post (0 unless something is wrong)
    double largest = 0;   // |host value - last published| after any post
    double afterBeat = 0; // the same once the last heartbeat arrived
};

// Walks the posts in order against each variable's arrivals: a post is
// published when it is the next arrival of its topic.
Replay replay(const std::vector<Post>& posts, Driver& driver, Arrivals& arrivals) {
    Replay r;
    std::vector<std::vector<std::string>> got;
    std::vector<size_t> next(kVariables, 0);
    std::vector<std::string> lastText(kVariables), hostText(kVariables);
    std::vector<double> last(kVariables, NAN), host(kVariables, NAN);
    for (int i = 0; i < kVariables; ++i)
        got.push_back(arrivals.of(driver.topic(i)));
    // A heartbeat between posts: the last value published again, or the
    // latest posted one that the deadband held back.
    const auto skipBeats = [&](size_t v) {
        for (; next[v] < got[v].size(); ++next[v], ++r.repeats) {
            if (got[v][next[v]] == hostText[v] && hostText[v] != lastText[v])
                lastText[v] = hostText[v], last[v] = host[v];
            else if (got[v][next[v]] != lastText[v])
                break;
        }
    };
    for (const Post& p : posts) {
        const auto v = static_cast<size_t>(p.var);
        skipBeats(v);
        if (next[v] < got[v].size() && got[v][next[v]] == p.text) {
            ++next[v], ++r.published;
            lastText[v] = p.text, last[v] = p.value;
        }
        host[v] = p.value, hostText[v] = p.text;
        r.largest = std::max(r.largest, std::fabs(host[v] - last[v]));
    }
    for (int i = 0; i < kVariables; ++i) {
        const auto v = static_cast<size_t>(i);
        // After the last post only heartbeats come.
        skipBeats(v);
        r.unmatched += got[v].size() - next[v];
        r.afterBeat = std::max(r.afterBeat, std::fabs(host[v] - last[v]));
    }
    return r;
}

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"posts", "heartbeat"});
    const size_t count = static_cast<size_t>(o.number("posts", 100000));
    const long heartbeat = std::max(o.number("heartbeat", 2), 1L);
    const double deadband = kStep / 10;
    divertStdout();
    MosquittoLib lib;
    PrivateBroker broker({"max_queued_messages 0", "max_queued_bytes 0"});
    Arrivals subjectArrivals, referenceArrivals;
    Listener listener(
        broker.port(), "bench/rbe/#",
        [&](const std::string& t, const std::string& p) {
            (t.rfind("bench/rbe/rbe/", 0) == 0 ? subjectArrivals : referenceArrivals).add(t, p);
        },
        1);
    char band[32];
    std::snprintf(band, sizeof band, "%g", deadband);
    Driver subject(broker.port(), "rbe",
                   ",\"PubDeadband\":\"" + std::string(band) + "\",\"PubHeartbeat\":\"" +
                       std::to_string(heartbeat) + "\"");
    Driver reference(broker.port(), "all", "");
    std::mt19937_64 rng(20261210);
    std::uniform_real_distribution<double> step(-kStep, kStep);
    std::vector<double> x(kVariables, 0);
    std::vector<Post> posts;
    for (size_t i = 0; i < count; ++i) {
        const int v = static_cast<int>(i % kVariables);
        x[static_cast<size_t>(v)] += step(rng);
        char text[32];
        std::snprintf(text, sizeof text, "%.6f", x[static_cast<size_t>(v)]);
        posts.push_back({v, std::strtod(text, nullptr), text});
    }
    printHeading("Report by exception: " + std::to_string(count) + " posts of a random walk on " +
                 std::to_string(kVariables) + " variables (steps -1..1), PubDeadband " + band +
                 ", PubHeartbeat " + std::to_string(heartbeat) + " s, QoS 1, session mode");
    for (const Post& p : posts) {
        subject.post(p);
        reference.post(p);
    }
    const int64_t posted = nowNs();
    // Every post of the reference arrives; the subject's latest values arrive
    // by a heartbeat at the latest.
    waitUntil([&] { return referenceArrivals.count() >= count; }, std::chrono::seconds(120), 5);
    sleepMs(static_cast<double>(heartbeat) * 1000 * 2 + 500);
    const Replay s = replay(posts, subject, subjectArrivals);
    const Replay r = replay(posts, reference, referenceArrivals);
    const double waited = static_cast<double>(nowNs() - posted) / 1e9;
    printRatio("messages per post (reference: without the keys)",
               static_cast<double>(s.published) / static_cast<double>(count),
               static_cast<double>(r.published) / static_cast<double>(count), "msg/post");
    printFigure("posts held back (not published)", static_cast<double>(count - s.published),
                "posts");
    printFigure("largest |host value - last published|, at any time", s.largest, "");
    printRatio("largest difference against the deadband", s.largest, deadband, "", "<= 1",
               s.largest <= deadband + 1e-9);
    printRatio("largest difference once a heartbeat passed", s.afterBeat, deadband, "", "0",
               s.afterBeat == 0);
    printFigure("heartbeat messages (repeating the last value)", static_cast<double>(s.repeats),
                "msg");
    printFigure("messages matching no post", static_cast<double>(s.unmatched + r.unmatched), "msg");
    printFigure("seconds from the last post to the replay", waited, "s");
    return s.unmatched + r.unmatched == 0 && r.published == count ? 0 : 1;
}
