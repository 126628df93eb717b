// Receive throughput: one load generator on a persistent connection publishes
// a fixed number of 16-byte messages at QoS 0 as fast as it can; four
// subscribers take them in turn, each in a process of its own:
//   reference  a subscriber written directly on libmosquitto that only counts
//   driver     the Common driver loaded through the plug-in in the stand-in
//              host, counting writes of its "SubVariable" with an observer
//   topic      the same driver matching topics per variable ("SubMatch":
//              "topic"), with 20 SubVariables on distinct filters, one of
//              which matches the load's topic
//   program    the subscriber program with -F "%t %p", output to /dev/null
//   json-whole the driver with 200-byte JSON payloads written whole into one
//              variable
//   json-fields the same stream with 5 fields of each payload taken into 5
//              variables (a location on each address)
//   wide-plain  5,000 SubVariables on the topic, each written a short payload
//               whole (--wide-count messages)
//   wide-fields 5,000 SubVariables on the topic, each taking a distinct member
//               of one object of 5,000 members (about 60 KB a payload)
// Rounds are interleaved (reference, driver, topic, program, reference, ...) and the
// median of the rounds is reported. The broker is a private one whose queue
// has no limit, so that a slow subscriber shows as a low rate, not as loss.
#include <cinttypes>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "load.h"

namespace {

using namespace kro::bench;

// 200 bytes, 5 of its fields taken by the json-fields subject.
std::string jsonPayload() {
    std::string p = R"({"device":"press-01","ts":"2026-12-09T16:19:00.125Z","seq":1234567,)"
                    R"("pressure":3.250,"temperature":21.75,"flow":{"value":118.4,"unit":"l/min"},)"
                    R"("state":"running","alarms":[],"note":")";
    p.append(200 - p.size() - 2, 'n');
    return p + "\"}";
}

constexpr int kWideMembers = 5000;

// One object of kWideMembers members "k0" .. "k4999", the wide-fields payload.
std::string wideObject() {
    std::string p = "{";
    for (int i = 0; i < kWideMembers; ++i)
        p += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(1000 + i) + ".25";
    return p + "}";
}

struct Sample {
    long received = -1; // -1: unknown (the subject did not end by itself)
    double rate = 0;    // messages per second
    double cpuPerMsgUs = 0;
};

struct Subject {
    std::string key;
    std::string label;
};

class Harness {
public:
    Harness(PrivateBroker& broker, long count, long wideCount, const std::string& dir)
        : m_broker(broker), m_count(count), m_wideCount(wideCount), m_dir(dir) {}

    Sample run(const std::string& key, int round) {
        const std::string id = "bench-" + key + "-" + std::to_string(round);
        const std::string topic = "bench/load/" + std::to_string(round);
        // The topic mode subject subscribes to a filter that matches the topic.
        const std::string filter = key == "topic" ? "bench/+/" + std::to_string(round) : topic;
        const std::string result = m_dir + "/" + id + ".result";
        const std::string port = std::to_string(m_broker.port());
        const bool wide = key.compare(0, 4, "wide") == 0;
        const long messages = wide ? m_wideCount : m_count;
        const std::string count = std::to_string(messages);
        std::vector<std::string> argv;
        if (key == "reference")
            argv = {KRO_BENCH_SUB_REFERENCE,
                    "--port",
                    port,
                    "--topic",
                    topic,
                    "--count",
                    count,
                    "--id",
                    id,
                    "--result",
                    result};
        else if (key == "driver" || key == "topic" || key.compare(0, 4, "json") == 0 || wide) {
            argv = {KRO_BENCH_SUB_DRIVER,
                    "--port",
                    port,
                    "--topic",
                    filter,
                    "--count",
                    count,
                    "--id",
                    id,
                    "--result",
                    result};
            if (key == "topic")
                argv.insert(argv.end(), {"--sub-match", "topic", "--filters", "20"});
            if (key == "json-whole")
                argv.insert(argv.end(), {"--size", "256"});
            if (key == "json-fields")
                argv.insert(argv.end(), {"--fields", "5"});
            if (wide)
                argv.insert(argv.end(), {"--members", std::to_string(kWideMembers), "--plain",
                                         key == "wide-plain" ? "1" : "0"});
        } else
            argv = {KRO_SUBSCRIBER_PROGRAM,
                    "-h",
                    "127.0.0.1",
                    "-p",
                    port,
                    "-t",
                    topic,
                    "-i",
                    id,
                    "-C",
                    count,
                    "-W",
                    "120",
                    "-F",
                    "%t %p"};

        Sample s;
        const pid_t pid = spawn(argv);
        if (!m_broker.waitSubscribed(id, filter, std::chrono::seconds(30))) {
            std::fprintf(stderr, "%s did not subscribe; broker log:\n%s\n", key.c_str(),
                         m_broker.log().c_str());
            waitChild(pid, std::chrono::milliseconds(0));
            return s;
        }
        // The SUBACK is on its way; let the subject settle before the clock starts.
        sleepMs(200);
        const double cpuBefore = processCpuUs(pid);
        const int64_t start = nowNs();
        {
            Publisher load(m_broker.port());
            const std::string payload = key.compare(0, 4, "json") == 0 ? jsonPayload()
                                        : key == "wide-fields"         ? wideObject()
                                        : key == "wide-plain"          ? std::string("1000.25")
                                                                       : std::string(16, 'x');
            for (long i = 0; i < messages; ++i)
                load.publish(topic, payload);
            load.drain();
        }
        const Exit e = waitChild(pid, std::chrono::seconds(150));
        if (!e.ended) {
            std::fprintf(stderr, "%s did not end (status %d)\n", key.c_str(), e.status);
            return s;
        }
        int64_t end = e.endNs;
        if (key == "program") {
            // Only a complete count ends it by itself (-C); otherwise -W did.
            s.received = e.ok() ? messages : -1;
        } else {
            std::istringstream in(readFile(result));
            int64_t first = 0, last = 0;
            in >> s.received >> first >> last;
            if (!in)
                s.received = -1;
            end = last;
        }
        const double seconds = static_cast<double>(end - start) / 1e9;
        if (s.received > 0 && seconds > 0)
            s.rate = static_cast<double>(s.received) / seconds;
        if (s.received > 0)
            s.cpuPerMsgUs = (e.cpuUs - cpuBefore) / static_cast<double>(s.received);
        return s;
    }

private:
    PrivateBroker& m_broker;
    long m_count;
    long m_wideCount;
    std::string m_dir;
};

} // namespace

int main(int argc, char** argv) {
    const Options o(argc, argv, {"count", "rounds", "wide-count", "subjects"});
    const long count = o.number("count", 200000);
    const long wideCount = o.number("wide-count", 2000);
    const int rounds = static_cast<int>(o.number("rounds", 5));
    // A comma-separated choice of the subjects below (their keys); all by default.
    const std::string only = o.text("subjects", "");
    MosquittoLib lib;
    // The broker's queue per client is unbounded here: what the subscriber
    // cannot take at once waits instead of being dropped.
    PrivateBroker broker({"max_queued_messages 0", "max_queued_bytes 0", "log_type error",
                          "log_type warning", "log_type subscribe"});
    const std::string dir = makeTempDir("kro-bench-receive");

    printHeading("Receive throughput: " + std::to_string(count) +
                 " messages of 16 bytes (JSON: 200; 5,000 variables: " + std::to_string(wideCount) +
                 ") at QoS 0, " + std::to_string(rounds) + " interleaved rounds, medians");
    std::vector<Subject> subjects;
    for (const Subject& s : std::vector<Subject>{
             {"reference", "reference subscriber (libmosquitto)"},
             {"driver", "Common driver in the host"},
             {"topic", "driver, topic mode, 20 filters"},
             {"program", "subscriber program -F \"%t %p\""},
             {"json-whole", "driver, 200-byte JSON, whole"},
             {"json-fields", "driver, 200-byte JSON, 5 fields"},
             {"wide-plain", "driver, 5,000 variables, whole"},
             {"wide-fields", "driver, 5,000 variables, 5,000 fields"},
         })
        if (only.empty() || ("," + only + ",").find("," + s.key + ",") != std::string::npos)
            subjects.push_back(s);
    Harness harness(broker, count, wideCount, dir);
    std::map<std::string, std::vector<Sample>> samples;
    for (int r = 0; r < rounds; ++r) {
        for (const Subject& s : subjects) {
            Sample x = harness.run(s.key, r);
            samples[s.key].push_back(x);
            std::fprintf(stderr, "  round %d %-11s %10.0f msg/s %7.2f us/msg cpu  received %ld\n",
                         r + 1, s.key.c_str(), x.rate, x.cpuPerMsgUs, x.received);
        }
    }
    removeTree(dir);

    std::map<std::string, double> rate, cpu;
    for (const Subject& s : subjects) {
        std::vector<double> rates, cpus;
        long lost = 0;
        bool unknown = false;
        for (const Sample& x : samples[s.key]) {
            rates.push_back(x.rate);
            cpus.push_back(x.cpuPerMsgUs);
            if (x.received < 0)
                unknown = true;
            else
                lost += (s.key.compare(0, 4, "wide") == 0 ? wideCount : count) - x.received;
        }
        rate[s.key] = median(rates);
        cpu[s.key] = median(cpus);
        std::fprintf(report(), "  %-38s %10.0f msg/s  %6.2f us CPU/msg  lost %s\n", s.label.c_str(),
                     rate[s.key], cpu[s.key],
                     unknown ? "some (did not complete)" : std::to_string(lost).c_str());
    }
    // Each ratio where both of its subjects ran.
    auto ran = [&](const char* a, const char* b) { return rate.count(a) && rate.count(b); };
    if (ran("driver", "reference")) {
        printRatio("driver messages/s", rate["driver"], rate["reference"], "msg/s", ">= 0.90",
                   rate["driver"] / rate["reference"] >= 0.9);
        printRatio("driver CPU per message", cpu["driver"], cpu["reference"], "us", "<= 1.30",
                   cpu["driver"] / cpu["reference"] <= 1.3);
    }
    if (ran("topic", "reference")) {
        printRatio("topic mode messages/s", rate["topic"], rate["reference"], "msg/s", ">= 0.85",
                   rate["topic"] / rate["reference"] >= 0.85);
        printRatio("topic mode CPU per message", cpu["topic"], cpu["reference"], "us");
    }
    if (ran("program", "reference")) {
        printRatio("program messages/s", rate["program"], rate["reference"], "msg/s");
        printRatio("program CPU per message", cpu["program"], cpu["reference"], "us");
    }
    if (ran("json-fields", "json-whole")) {
        printRatio("JSON 5 fields messages/s", rate["json-fields"], rate["json-whole"], "msg/s",
                   ">= 0.70", rate["json-fields"] / rate["json-whole"] >= 0.7);
        printRatio("JSON 5 fields CPU per message", cpu["json-fields"], cpu["json-whole"], "us");
    }
    if (ran("wide-fields", "wide-plain")) {
        printRatio("5,000 fields messages/s", rate["wide-fields"], rate["wide-plain"], "msg/s");
        printRatio("5,000 fields CPU per message", cpu["wide-fields"], cpu["wide-plain"], "us");
    }
    return 0;
}
