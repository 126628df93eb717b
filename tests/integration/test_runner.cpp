// kro-host as a user runs it: the Common example against a real broker with a
// script, bad configuration files, and a signal during a run.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "support/broker.h"
#include "support/mqtt_probe.h"
#include "support/subprocess.h"
#include "test_driver_support.h"

namespace kro::test {
namespace {

// The Common example with the port of the test's broker.
std::string exampleConfigFor(int port) {
    std::string text = readFile(std::string(KRO_SOURCE_DIR) + "/examples/common.json");
    const std::string from = "\"port\": \"1883\"";
    auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "the example no longer names port 1883";
    if (at != std::string::npos)
        text.replace(at, from.size(), "\"port\": \"" + std::to_string(port) + "\"");
    return text;
}

bool logHas(const std::string& path, const std::string& text) {
    return readFile(path).find(text) != std::string::npos;
}

TEST(Runner, ScriptedRoundTripWithTheCommonExample) {
    Broker broker;
    DriverDir dir;
    writeFile("common.json", exampleConfigFor(broker.port()));
    writeFile("round.script", "waitfor dev1.substate 0 30\n"
                              "waitfor dev1.Value 42 30\n"
                              "post dev1.Command hello world\n"
                              "waitfor pubstate 0 10\n"
                              "show\n"
                              "quit\n");
    Probe probe({plainConnection(broker.port()), {"demo/command"}, 1});
    ASSERT_TRUE(probe.waitConnected(10s));

    pid_t pid =
        spawnProgram({KRO_HOST_PROGRAM, "--script", "round.script", "common.json"}, "host.log");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(
        waitUntil([] { return logHas("host.log", "waitfor dev1.substate = \"0\": done"); }, 30s))
        << readFile("host.log");
    ASSERT_TRUE(publish(plainConnection(broker.port()), "demo/setpoint", "42", 1));

    int status = -1;
    ASSERT_TRUE(waitExit(pid, 30s, &status)) << readFile("host.log");
    const std::string log = readFile("host.log");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log;
    EXPECT_TRUE(std::regex_search(
        log, std::regex(R"(\[kro-host \d\d:\d\d:\d\d\.\d{3}\] dev1\.substate = 0 \(connected)")))
        << log;
    // The driver's own line, with the same prefix.
    EXPECT_TRUE(
        std::regex_search(log, std::regex(R"(\n\[kro-host [\d:.]{12}\] mqttclinet_sub -h )")))
        << log;
    EXPECT_NE(log.find("] dev1.Value = \"42\""), std::string::npos) << log;
    EXPECT_NE(log.find("] dev1.Topic = \"demo/setpoint\""), std::string::npos) << log;
    EXPECT_NE(log.find("] pubstate = 101 (publishing)"), std::string::npos) << log;
    EXPECT_NE(log.find("] all drivers stopped"), std::string::npos) << log;

    ASSERT_TRUE(probe.waitFor(1, 10s));
    EXPECT_EQ(probe.messages()[0].payload, "hello world");
}

struct BadFile {
    const char* name;
    const char* text;
    const char* error;
};

class RunnerRefuses : public ::testing::TestWithParam<BadFile> {};

// A driver's settings far deeper than a walk that recurses per level would bear.
const std::string kDeepFile =
    R"({"devices":[{"id":"d"}],"drivers":[{"device":"d","settings":{"Protocol":"AWSMQTT","x":)" +
    std::string(200000, '[') + std::string(200000, ']') + "}}]}";

TEST_P(RunnerRefuses, BadConfigurationExitsTwoAndStartsNothing) {
    DriverDir dir;
    writeFile("bad.json", GetParam().text);
    const int code = runProgram({KRO_HOST_PROGRAM, "--for", "5", "bad.json"}, "host.log", 20s);
    const std::string log = readFile("host.log");
    EXPECT_EQ(code, 2) << log;
    EXPECT_NE(log.find(std::string("kro-host: bad.json") + GetParam().error), std::string::npos)
        << log;
    EXPECT_EQ(log.find("starting"), std::string::npos) << log;
    EXPECT_EQ(log.find("substate"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Files, RunnerRefuses,
    ::testing::Values(
        BadFile{"MalformedJson", "{\"devices\": [}", ":1:14: malformed JSON: "},
        BadFile{"UnknownAddressType",
                R"({"devices":[{"id":"d","variables":[{"name":"A","size":4,"addrType":"Sub"}]}],
                    "drivers":[{"settings":{"Protocol":"COMMONMQTT","DeviceId":"d"}}]})",
                ": devices[0].variables[0].addrType: unknown address type \"Sub\""},
        BadFile{"MissingDeviceId",
                R"({"devices":[{"id":"d"}],"drivers":[{"settings":{"Protocol":"COMMONMQTT"}}]})",
                ": drivers[0].settings: missing device id \"DeviceId\""},
        BadFile{"SizeBeyondDouble",
                R"({"devices":[{"id":"d","variables":[{"name":"A","size":1e400}]}]})",
                ":1:55: number overflow parsing '1e400' (beyond the range of a double)"},
        BadFile{"DeepNesting", kDeepFile.c_str(),
                ": arrays and objects nested deeper than 64 levels"},
        BadFile{"UnknownFactory",
                R"({"devices":[{"id":"d"}],"drivers":[{"factory":"dlopen","settings":{}}]})",
                ": drivers[0].factory: unknown factory \"dlopen\""},
        BadFile{
            "TwoCommonDriversForOneDevice",
            R"({"devices":[{"id":"d"}],"drivers":[{"settings":{"Protocol":"COMMONMQTT","DeviceId":"d"}},
                    {"settings":{"Protocol":"COMMONMQTT","DeviceId":"d"}}]})",
            ": drivers[1].settings.DeviceId: device \"d\" already has a Common driver "
            "(drivers[0])"},
        BadFile{"FactoryRefusesSettings",
                R"({"devices":[{"id":"d"}],"drivers":[{"factory":"libAwsMqttDriver_loadDriver",
                    "settings":{"Protocol":"COMMONMQTT","DeviceId":"d"}}]})",
                ": drivers[0]: the factory libAwsMqttDriver_loadDriver refused these settings"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ConsoleCase {
    const char* name;
    const char* script;
    int exitCode;
    const char* shown;    // the end of a line of the log
    const char* notShown; // text the log must not hold
    const char* settings = R"("Protocol":"AWSMQTT")";
    const char* forSeconds = "60";
};

class RunnerConsole : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(RunnerConsole, ScriptLinesAndTheirExitCode) {
    const ConsoleCase& c = GetParam();
    DriverDir dir;
    writeFile("c.json", std::string(R"({"devices":[{"id":"d","variables":[{"name":"Out","size":16,
        "addrType":"PubVariable","addr":"x"}]}],"drivers":[{"device":"d","settings":{)") +
                            c.settings + "}}]}");
    writeFile("s.script", c.script);
    const int code =
        runProgram({KRO_HOST_PROGRAM, "--for", c.forSeconds, "--script", "s.script", "c.json"},
                   "host.log", 20s);
    const std::string log = readFile("host.log");
    EXPECT_EQ(code, c.exitCode) << log;
    EXPECT_NE(log.find(c.shown + std::string("\n")), std::string::npos) << log;
    EXPECT_EQ(log.find(c.notShown), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, RunnerConsole,
    ::testing::Values(
        ConsoleCase{"PostKeepsBlanksAndQuotesHoldThem",
                    "post d.Out  a b \nwaitfor d.Out \" a b \" 1\nquit\nwaitfor d.Out x 1\n", 0,
                    "] waitfor d.Out = \" a b \": done", "timed out"},
        ConsoleCase{"QuotedEscapesAndControlCharactersShownEscaped",
                    "set n \"q\\\"b\\\\s\tt\x1b\"\nquit\n", 0, "] n = \"q\\\"b\\\\s\\tt\\x1b\"",
                    "\x1b"},
        ConsoleCase{"WaitforTimeOutEndsTheRunAtOnce", "waitfor d.Out \"a b\" 0.2\necho on\n", 1,
                    "] s.script:1: waitfor d.Out = \"a b\": timed out after 0.2 s; d.Out is \"\"",
                    "] on"},
        ConsoleCase{
            "SecondWordOfAnUnquotedValueIsNoTimeOut", "waitfor d.Out a b\necho on\n", 1,
            "] s.script:1: waitfor: SECONDS must be a number from 0 to 31536000 (one year), "
            "not \"b\" (a VALUE with blanks goes in double quotes)",
            "] on"},
        ConsoleCase{"WaitRefusesNan", "wait nan\necho on\n", 1,
                    "] s.script:1: wait: SECONDS must be a number from 0 to 31536000 (one year), "
                    "not \"nan\"",
                    "] on"},
        ConsoleCase{"UnsetOfAnUnknownName", "unset nope\nquit\n", 0,
                    "] unset: there is no runtime variable nope", "removed"},
        ConsoleCase{"ForRefusesInfinity", "quit\n", 2,
                    "kro-host: --for needs a number of seconds from 0 to 31536000 (one year), "
                    "not \"inf\"",
                    "loaded", R"("Protocol":"AWSMQTT")", "inf"},
        ConsoleCase{"UnknownSettingsKeyIsAWarning", "quit\n", 0,
                    "] warning: c.json: drivers[0].settings: unknown key \"hots\" (did you mean "
                    "\"host\"?); the driver does not read it",
                    "kro-host: ", R"("Protocol":"COMMONMQTT","DeviceId":"d","hots":"h")"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Runner, SigtermStopsTheDriversAndExitsZero) {
    Broker broker;
    DriverDir dir;
    writeFile("common.json", exampleConfigFor(broker.port()));
    pid_t pid = spawnProgram({KRO_HOST_PROGRAM, "--for", "120", "common.json"}, "host.log");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([] { return logHas("host.log", "] dev1.substate = 0"); }, 30s))
        << readFile("host.log");
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = -1;
    ASSERT_TRUE(waitExit(pid, 10s, &status)) << readFile("host.log");
    const std::string log = readFile("host.log");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log;
    EXPECT_NE(log.find("] signal received; stopping the drivers"), std::string::npos) << log;
    EXPECT_NE(log.find("] all drivers stopped"), std::string::npos) << log;
}

TEST(Runner, LinksThePublisherWhereTheDriversStartIt) {
    const std::string tmp = makeTempDir("kro_runner");
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(tmp);
    writeFile("c.json", R"({"devices":[{"id":"d"}],
        "drivers":[{"settings":{"Protocol":"COMMONMQTT","DeviceId":"d"}}]})");
    writeFile("s.script", "quit\n");
    const int code =
        runProgram({KRO_HOST_PROGRAM, "--script", "s.script", "c.json"}, "host.log", 20s);
    const std::string log = readFile("host.log");
    EXPECT_EQ(code, 0) << log;
    for (const char* path : {"Debug/mosquitto_pub.exe", "res/other/mosquitto_pub.exe"}) {
        EXPECT_TRUE(std::filesystem::is_symlink(path)) << path;
        EXPECT_NE(log.find(std::string("] linked ./") + path + " -> "), std::string::npos);
    }
    std::filesystem::current_path(old);
    removeTree(tmp);
}

// A session with a store in a host that is killed while the broker is down,
// with more values than it keeps in memory, its store removed meanwhile and
// the new one's -wal file lost after a checkpoint: the next host sends what the
// first was given, in order, before its own.
TEST(RunnerStore, KilledHostsValuesArriveFirstInPostingOrder) {
    // The probe takes the replay more slowly than it comes: none dropped for it.
    kro::test::BrokerOptions options;
    options.extraConfig = "max_queued_messages 0\n";
    Broker broker(options);
    broker.stop();
    DriverDir dir;
    const std::string config =
        R"({"devices":[{"id":"dev1","variables":[{"name":"P","addrType":"PubVariable",)"
        R"("addr":"st/p","size":64}]}],"drivers":[{"settings":{"Protocol":"COMMONMQTT",)"
        R"("DeviceId":"dev1","host":"127.0.0.1","port":")" +
        std::to_string(broker.port()) +
        R"(","PubMode":"session","PubStore":"values.db","AdditionPubArgs":"-q 1"}}]})";
    writeFile("c.json", config);
    std::string script;
    std::vector<std::string> expected;
    for (int i = 0; i < 10300; ++i) {
        expected.push_back("v" + std::to_string(i));
        script += "post dev1.P " + expected.back() + "\n";
    }
    writeFile("first.script",
              script + "waitfor dev1.pubwaiting 10300 30\nwait 2\necho posted\nwait 60\n");
    pid_t pid = spawnProgram({KRO_HOST_PROGRAM, "--script", "first.script", "c.json"}, "1.log");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([] { return logHas("1.log", "] posted"); }, 60s)) << readFile("1.log");
    ASSERT_TRUE(std::filesystem::remove("values.db"));
    ASSERT_TRUE(waitUntil(
        [] {
            return logHas("1.log", "[kro error]publish store values.db was removed while in use: "
                                   "a new store is made there with the 10300 values waiting\n") &&
                   logHas("values.db", "v10299"); // its first checkpoint
        },
        10s))
        << readFile("1.log").substr(0, 3000);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(waitExit(pid, 10s));
    ASSERT_TRUE(std::filesystem::remove("values.db-wal"));
    EXPECT_TRUE(logHas("1.log", "] pubstate = 102")) << readFile("1.log");
    EXPECT_TRUE(std::regex_search(readFile("1.log"), std::regex(R"(\] dev1\.puboldest = [1-9])")));

    broker.start();
    Probe probe({plainConnection(broker.port()), {"st/#"}, 1});
    ASSERT_TRUE(probe.waitConnected(10s));
    writeFile("second.script", "post dev1.P after\nwait 2\nwaitfor dev1.pubwaiting 0 30\nquit\n");
    expected.push_back("after");
    EXPECT_EQ(runProgram({KRO_HOST_PROGRAM, "--script", "second.script", "c.json"}, "2.log", 60s),
              0)
        << readFile("2.log");
    ASSERT_TRUE(probe.waitFor(expected.size(), 30s)) << readFile("2.log");
    std::vector<std::string> got;
    for (const auto& m : probe.messages())
        got.push_back(m.payload);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(logHas("2.log", "publish store values.db: 10300 values from before, sent first"))
        << readFile("2.log");
    EXPECT_TRUE(logHas("2.log", "[kro info]publish session closed: every value sent"));
}

// Batches from a store, a host killed while they go out at a slow pace: the
// next host batches the stored values again and every value arrives, the
// first time in posting order (those in flight at the kill may come twice).
TEST(RunnerStore, BatchesOfAKilledHostArriveAgainInPostingOrder) {
    Broker broker;
    Probe probe({plainConnection(broker.port()), {"bt/#"}, 1});
    ASSERT_TRUE(probe.waitConnected(10s));
    DriverDir dir;
    writeFile("c.json",
              R"({"devices":[{"id":"dev1","variables":[{"name":"P","addrType":"PubVariable",)"
              R"("addr":"bt/p","size":64}]}],"drivers":[{"settings":{"Protocol":"COMMONMQTT",)"
              R"("DeviceId":"dev1","host":"127.0.0.1","port":")" +
                  std::to_string(broker.port()) +
                  R"(","PubMode":"session","PubStore":"b.db","AdditionPubArgs":"-q 1",)"
                  R"("PubBatch":"100","PubRate":"4"}}]})");
    std::string script;
    std::vector<std::string> expected;
    for (int i = 0; i < 2000; ++i) {
        expected.push_back("v" + std::to_string(i));
        script += "post dev1.P " + expected.back() + "\n";
    }
    writeFile("first.script", script + "wait 1\necho posted\nwait 60\n");
    pid_t pid = spawnProgram({KRO_HOST_PROGRAM, "--script", "first.script", "c.json"}, "1.log");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([] { return logHas("1.log", "] posted"); }, 60s)) << readFile("1.log");
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(waitExit(pid, 10s));
    const size_t before = probe.messages().size();
    EXPECT_GT(before, 0u);
    EXPECT_LT(before, 20u); // mid-way: 20 batches at 4 a second
    writeFile("second.script", "wait 1\nwaitfor dev1.pubwaiting 0 30\nquit\n");
    EXPECT_EQ(runProgram({KRO_HOST_PROGRAM, "--script", "second.script", "c.json"}, "2.log", 60s),
              0)
        << readFile("2.log");
    std::vector<std::string> firsts;
    std::set<std::string> seen;
    for (const auto& m : probe.messages())
        for (const auto& element : nlohmann::json::parse(m.payload))
            if (seen.insert(element.at("value").get<std::string>()).second)
                firsts.push_back(element.at("value"));
    EXPECT_EQ(firsts, expected);
    EXPECT_TRUE(logHas("2.log", "values from before, sent first")) << readFile("2.log");
}

// One host, the broker away, a driver per store fault: each says so in a line
// and goes on in memory; the bounds drop what is over them, counted.
TEST(RunnerStore, FaultsAndBoundsEachGiveTheirLine) {
    DriverDir dir;
    writeFile("junk.db", "this is no store\n");
    writeFile("plain", "");
    const std::pair<const char*, const char*> drivers[] = {
        {"d1", R"("PubStore":"junk.db")"},
        {"d2", R"("PubStore":"shared.db")"},
        {"d3", R"("PubStore":"shared.db")"},
        {"d4", R"("PubStore":"plain/x.db")"},
        {"d5", R"("PubStore":"small.db","PubStoreLimit":1)"},
        {"d6", R"("PubStore":"aged.db","PubStoreMaxAge":1)"},
        {"d7", R"("PubStore":"ignored.db")"},
    };
    std::string devices, list;
    for (const auto& [id, store] : drivers) {
        devices += std::string(devices.empty() ? "" : ",") + R"({"id":")" + id +
                   R"(","variables":[{"name":"P","addrType":"PubVariable","addr":"t","size":)"
                   R"(700000}]})";
        const bool session = std::string(id) != "d7";
        list += std::string(list.empty() ? "" : ",") +
                R"({"settings":{"Protocol":"COMMONMQTT","DeviceId":")" + id +
                R"(","host":"127.0.0.1","port":"1",)" + (session ? R"("PubMode":"session",)" : "") +
                store + "}}";
    }
    writeFile("c.json", R"({"devices":[)" + devices + R"(],"drivers":[)" + list + "]}");
    const std::string big(600000, 'x');
    writeFile("s.script",
              "post d5.P " + big + "\npost d5.P " + big + "\npost d6.P old\nwait 3\n" +
                  "post d6.P new\nwaitfor d6.pubdropped 1 10\nwaitfor d5.pubdropped 1 10\n" +
                  "waitfor d1.pubwaiting 0 10\nquit\n");
    EXPECT_EQ(runProgram({KRO_HOST_PROGRAM, "--script", "s.script", "c.json"}, "h.log", 60s), 0)
        << readFile("h.log").substr(0, 20000);
    const std::string log = readFile("h.log");
    for (const char* line : {
             "[kro error]publish store junk.db is damaged or not a store: moved aside to "
             "junk.db.damaged-",
             "[kro error]publish store cannot open shared.db: in use by another driver",
             "[kro error]publish store cannot open plain/x.db",
             "[kro error]publish store full (1 MiB): dropping the oldest",
             "[kro error]publish store full: 1 oldest value dropped",
             "[kro error]publish store: dropping values older than 1 s",
             "[kro error]publish store: 1 value older than 1 s dropped",
             "[kro error]PubStore needs \"PubMode\": \"session\"; values are published without a "
             "store",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_EQ(log.find("shared.db: in use", log.find("shared.db: in use") + 1), std::string::npos);
    bool moved = false;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        if (entry.path().filename().string().rfind("junk.db.damaged-", 0) == 0)
            moved = readFile(entry.path().string()) == "this is no store\n";
    EXPECT_TRUE(moved);
}

} // namespace
} // namespace kro::test
