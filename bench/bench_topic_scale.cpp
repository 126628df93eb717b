// Topic mode at scale, two parts, each against the same thing with one
// variable measured in the same run, interleaved:
//   rate      the Common driver in topic mode ("SubMatch": "topic") with
//             --vars SubVariables on distinct filters (bench/s/R/0 ..), the
//             load's messages spread over all of them, counting every write
//             (bench_sub_driver --spread); reference: one SubVariable taking
//             the whole load. Messages/s from the first publish to the last write.
//   start-up  in this process, what a subscriber run costs before the first
//             message with --vars variables: reading them from the device
//             (collectSubTopics), the filters' check (subscribableTopics), the
//             argument vector and its printed line, the topic-mode matcher, and
//             the subscriber run (its option parsing, connect, SUBSCRIBE and
//             SUBACK; -E ends it there); the driver's fixed pauses before a run
//             are left out. Reference: the same with one variable.
// Options: --vars N (default 10000), --count (messages per rate round, default
// 50000), --rounds (default 3); --port is accepted and ignored (the rate part
// needs a broker with an unbounded queue and starts its own).
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "drivers/CommonMqttClient.h"
#include "bench_util.h"
#include "drivers/driver_run.h"
#include "kro_host.h"
#include "load.h"

namespace {

using namespace kro::bench;

double rateRound(PrivateBroker& broker, const std::string& dir, long vars, long count, int round) {
    const std::string id = "scale-" + std::to_string(vars) + "-" + std::to_string(round);
    const std::string base = "bench/s/" + std::to_string(round) + "-" + std::to_string(vars);
    const std::string result = dir + "/" + id + ".result";
    const pid_t pid =
        spawn({KRO_BENCH_SUB_DRIVER, "--port", std::to_string(broker.port()), "--topic", base,
               "--spread", std::to_string(vars), "--sub-match", "topic", "--count",
               std::to_string(count), "--id", id, "--result", result, "--timeout-s", "240"});
    if (!broker.waitSubscribed(id, base + "/" + std::to_string(vars - 1),
                               std::chrono::seconds(60))) {
        std::fprintf(stderr, "%s did not subscribe\n", id.c_str());
        waitChild(pid, std::chrono::milliseconds(0));
        return 0;
    }
    sleepMs(200);
    const int64_t start = nowNs();
    {
        Publisher load(broker.port());
        const std::string payload(16, 'x');
        std::vector<std::string> topics;
        for (long i = 0; i < vars; ++i)
            topics.push_back(base + "/" + std::to_string(i));
        for (long i = 0; i < count; ++i)
            load.publish(topics[static_cast<size_t>(i % vars)], payload);
        load.drain();
    }
    const Exit e = waitChild(pid, std::chrono::seconds(250));
    std::istringstream in(readFile(result));
    long received = 0;
    int64_t first = 0, last = 0;
    in >> received >> first >> last;
    if (!e.ended || !in || received != count) {
        std::fprintf(stderr, "%s received %ld of %ld\n", id.c_str(), received, count);
        return 0;
    }
    return static_cast<double>(received) / (static_cast<double>(last - start) / 1e9);
}

// Milliseconds from reading the device to the SUBACK, with phase times on stderr.
double startupRound(int port, long vars, int round) {
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("start");
    for (long i = 0; i < vars; ++i)
        dev->addVariable({"v" + std::to_string(i), 64, "SubVariable",
                          "start/" + std::to_string(round) + "/" + std::to_string(i), ""});
    CommonMqttClient driver(&dm, "{\"Protocol\":\"COMMONMQTT\",\"DeviceId\":\"start\","
                                 "\"host\":\"127.0.0.1\",\"port\":\"" +
                                     std::to_string(port) + "\",\"SubMatch\":\"topic\"}");
    std::vector<int64_t> at{nowNs()};
    driver.mtopic_sub = CommonMqttClient::collectSubTopics(dev);
    at.push_back(nowNs());
    const std::vector<std::string> topics = driver.subscribableTopics();
    at.push_back(nowNs());
    std::vector<std::string> args = driver.buildSubArgs(topics);
    std::fputs(showArguments(args).c_str(), stdout);
    at.push_back(nowNs());
    const TopicMatcher matcher(dev, nullptr);
    at.push_back(nowNs());
    args.push_back("-E");
    const SubscriberResult r = runSubscriber(args, dev);
    at.push_back(nowNs());
    auto ms = [&](size_t i) { return static_cast<double>(at[i] - at[i - 1]) / 1e6; };
    std::fprintf(stderr,
                 "  start-up %5ld vars: read %.1f ms, check %.1f ms, args %.1f ms, matcher "
                 "%.1f ms, subscribe %.1f ms (result %d, %zu topics)\n",
                 vars, ms(1), ms(2), ms(3), ms(4), ms(5), r.code, topics.size());
    if (r.code != 0 || topics.size() != static_cast<size_t>(vars))
        return -1;
    return static_cast<double>(at.back() - at.front()) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"port", "vars", "count", "rounds"});
    const long vars = o.number("vars", 10000);
    const long count = o.number("count", 50000);
    const int rounds = static_cast<int>(o.number("rounds", 3));
    divertStdout();
    MosquittoLib lib;
    PrivateBroker broker({"max_queued_messages 0", "max_queued_bytes 0", "log_type error",
                          "log_type warning", "log_type subscribe"});
    const std::string dir = makeTempDir("kro-bench-topic-scale");

    printHeading("Topic mode with " + std::to_string(vars) + " SubVariables on distinct filters: " +
                 std::to_string(count) + " messages of 16 bytes at QoS 0 per round, " +
                 std::to_string(rounds) + " interleaved rounds, medians");
    std::map<long, std::vector<double>> rates, startups;
    for (int r = 0; r < rounds; ++r) {
        for (const long n : {1L, vars}) {
            rates[n].push_back(rateRound(broker, dir, n, count, r));
            startups[n].push_back(startupRound(broker.port(), n, r));
            std::fprintf(stderr, "  round %d %5ld vars: %10.0f msg/s, start-up %.1f ms\n", r + 1, n,
                         rates[n].back(), startups[n].back());
        }
    }
    removeTree(dir);
    const double many = median(rates[vars]), one = median(rates[1]);
    printRatio("messages/s, " + std::to_string(vars) + " variables", many, one, "msg/s", ">= 0.80",
               one > 0 && many / one >= 0.8);
    const double startMany = median(startups[vars]), startOne = median(startups[1]);
    printRatio("start-up, " + std::to_string(vars) + " variables", startMany, startOne, "ms",
               "< 2000 ms", startMany >= 0 && startMany < 2000);
    return 0;
}
