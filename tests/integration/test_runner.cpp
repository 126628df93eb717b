// kro-host as a user runs it: the Common example against a real broker with a
// script, bad configuration files, and a signal during a run.

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>

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
                              "waitfor dev1.Setpoint 42 30\n"
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
        waitUntil([] { return logHas("host.log", "waitfor dev1.substate = 0: done"); }, 30s))
        << readFile("host.log");
    ASSERT_TRUE(publish(plainConnection(broker.port()), "demo/setpoint", "42", 1));

    int status = -1;
    ASSERT_TRUE(waitExit(pid, 30s, &status)) << readFile("host.log");
    const std::string log = readFile("host.log");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << log;
    EXPECT_TRUE(std::regex_search(
        log, std::regex(R"(\[kro-host \d\d:\d\d:\d\d\.\d{3}\] dev1\.substate = 0 \(connected\))")))
        << log;
    EXPECT_NE(log.find("] dev1.Setpoint = \"42\""), std::string::npos) << log;
    EXPECT_NE(log.find("] dev1.LastTopic = \"demo/setpoint\""), std::string::npos) << log;
    EXPECT_NE(log.find("] pubstate = 101 (publishing)"), std::string::npos) << log;
    EXPECT_NE(log.find("[kro-host] all drivers stopped"), std::string::npos) << log;

    ASSERT_TRUE(probe.waitFor(1, 10s));
    EXPECT_EQ(probe.messages()[0].payload, "hello world");
}

struct BadFile {
    const char* name;
    const char* text;
    const char* error;
};

class RunnerRefuses : public ::testing::TestWithParam<BadFile> {};

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
        BadFile{"FactoryRefusesSettings",
                R"({"devices":[{"id":"d"}],"drivers":[{"factory":"libAwsMqttDriver_loadDriver",
                    "settings":{"Protocol":"COMMONMQTT","DeviceId":"d"}}]})",
                ": drivers[0]: the factory libAwsMqttDriver_loadDriver refused these settings"}),
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
    EXPECT_NE(log.find("[kro-host] signal received; stopping the drivers"), std::string::npos)
        << log;
    EXPECT_NE(log.find("[kro-host] all drivers stopped"), std::string::npos) << log;
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
        EXPECT_NE(log.find(std::string("[kro-host] linked ./") + path + " -> "), std::string::npos);
    }
    std::filesystem::current_path(old);
    removeTree(tmp);
}

} // namespace
} // namespace kro::test
