// The host runner's configuration: what it accepts, and a clear error naming
// the file, the place and the fault for what it does not.

#include <gtest/gtest.h>

#include "config.h"
#include "eventlog.h"

namespace {

using kro::runner::Config;
using kro::runner::parseConfig;

struct BadConfig {
    const char* name;
    const char* text;
    const char* error; // the whole message
};

class RunnerBadConfig : public ::testing::TestWithParam<BadConfig> {};

TEST_P(RunnerBadConfig, NamesFilePlaceAndFault) {
    Config cfg;
    std::string error;
    EXPECT_FALSE(parseConfig("c.json", GetParam().text, cfg, error));
    EXPECT_EQ(error, GetParam().error);
}

#define DEV                                                                                        \
    R"("devices":[{"id":"d","variables":[{"name":"A","size":8,"addrType":"SubVariable","addr":"a"}]}])"
#define DRV R"("drivers":[{"settings":{"Protocol":"COMMONMQTT","DeviceId":"d"}}])"

INSTANTIATE_TEST_SUITE_P(
    Errors, RunnerBadConfig,
    ::testing::Values(
        BadConfig{
            "MalformedJson", "{\n  \"devices\": [\n    {\"id\": }\n",
            "c.json:3:12: malformed JSON: "
            "syntax error while parsing value - unexpected '}'; expected '[', '{', or a literal"},
        BadConfig{"NotAnObject", "[]", "c.json: top level: must be a JSON object"},
        BadConfig{
            "UnknownAddressType",
            R"({"devices":[{"id":"d","variables":[{"name":"A","size":8,"addrType":"SubVar"}]}],)" DRV
            "}",
            "c.json: devices[0].variables[0].addrType: unknown address type \"SubVar\" "
            "(expected SubVariable, SubTopic or PubVariable)"},
        BadConfig{"MissingDeviceIdOfDevice", R"({"devices":[{"variables":[]}],)" DRV "}",
                  "c.json: devices[0]: missing \"id\""},
        BadConfig{"MissingDeviceIdOfCommonDriver",
                  "{" DEV R"(,"drivers":[{"settings":{"Protocol":"COMMONMQTT"}}]})",
                  "c.json: drivers[0].settings: missing device id \"DeviceId\""},
        BadConfig{"DriverForUnknownDevice",
                  "{" DEV R"(,"drivers":[{"settings":{"Protocol":"COMMONMQTT","DeviceId":"x"}}]})",
                  "c.json: drivers[0]: no device with id \"x\""},
        BadConfig{
            "UnknownProtocol", "{" DEV R"(,"drivers":[{"settings":{"Protocol":"MQTT"}}]})",
            "c.json: drivers[0].settings.Protocol: unknown protocol \"MQTT\" (expected COMMONMQTT "
            "or AWSMQTT)"},
        BadConfig{"NoDrivers", "{" DEV "}", "c.json: drivers: must be a non-empty array"},
        BadConfig{"DuplicateDevice", R"({"devices":[{"id":"d"},{"id":"d"}],)" DRV "}",
                  "c.json: devices[1].id: duplicate device id \"d\""},
        BadConfig{
            "NegativeSize",
            R"({"devices":[{"id":"d","variables":[{"name":"A","size":-1,"addrType":"SubTopic"}]}],)" DRV
            "}",
            "c.json: devices[0].variables[0].size: must be a whole number from 0 to 16777216"},
        BadConfig{"RuntimeValueObject", "{" DEV R"(,"runtime":{"port":{}},)" DRV "}",
                  "c.json: runtime.port: must be a string or a whole number"},
        BadConfig{"RuntimeValueBeyondInt", "{" DEV R"(,"runtime":{"port":4294967297},)" DRV "}",
                  "c.json: runtime.port: must be a whole number from -2147483648 to 2147483647"},
        BadConfig{"RuntimeValueBelowInt", "{" DEV R"(,"runtime":{"port":-4294967297},)" DRV "}",
                  "c.json: runtime.port: must be a whole number from -2147483648 to 2147483647"},
        BadConfig{"SizeBeyondDouble",
                  "{\"devices\":[{\"id\":\"d\",\"variables\":[\n  {\"size\":1e400}]}]}",
                  "c.json:2:11: number overflow parsing '1e400' (beyond the range of a double)"},
        BadConfig{"SettingsValueBeyondDouble",
                  R"({"drivers":[{"settings":{"Protocol":"AWSMQTT","PubTimeout":-1e400}}]})",
                  "c.json:1:60: number overflow parsing '-1e400' (beyond the range of a double)"},
        BadConfig{"UnknownMemberBeyondDouble", R"({"x":[1e400]})",
                  "c.json:1:7: number overflow parsing '1e400' (beyond the range of a double)"},
        BadConfig{
            "SizeBeyondUnsigned64",
            R"({"devices":[{"id":"d","variables":[{"name":"A","size":18446744073709551616,"addrType":"SubTopic"}]}],)" DRV
            "}",
            "c.json: devices[0].variables[0].size: must be a whole number from 0 to 16777216"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunnerConfig, ReadsDevicesRuntimeAndDrivers) {
    Config cfg;
    std::string error;
    ASSERT_TRUE(parseConfig("c.json",
                            R"({
        // comments are allowed
        "devices":[{"id":"d","variables":[
            {"name":"A","size":8,"addrType":"SubVariable","addr":"a/b"},
            {"name":"P","size":16,"addrType":"PubVariable","addr":"out","value":"7"}]}],
        "runtime":{"host":"127.0.0.1","port":8883},
        "drivers":[{"settings":{"Protocol":"COMMONMQTT","DeviceId":"d", /* c */ "port":1883,
                    "PubTimeout":30.0,"x":1e2,"y":1234567890123456789012345}},
                   {"settings":{"Protocol":"AWSMQTT"},"device":"d"}]})",
                            cfg, error))
        << error;
    ASSERT_EQ(cfg.devices.size(), 1u);
    ASSERT_EQ(cfg.devices[0].variables.size(), 2u);
    EXPECT_EQ(cfg.devices[0].variables[1].value, "7");
    ASSERT_EQ(cfg.runtime.size(), 2u);
    EXPECT_EQ(cfg.runtime[1].name, "port");
    EXPECT_TRUE(cfg.runtime[1].isInt);
    ASSERT_EQ(cfg.drivers.size(), 2u);
    EXPECT_EQ(cfg.drivers[0].factory, "libTlsMqttDriver_loadDriver");
    // The settings object as written: numbers, spacing and comments kept.
    EXPECT_EQ(cfg.drivers[0].settings,
              R"({"Protocol":"COMMONMQTT","DeviceId":"d", /* c */ "port":1883,
                    "PubTimeout":30.0,"x":1e2,"y":1234567890123456789012345})");
    EXPECT_EQ(cfg.drivers[0].device, "d");
    EXPECT_EQ(cfg.drivers[1].factory, "libAwsMqttDriver_loadDriver");
    EXPECT_EQ(cfg.drivers[1].settings, R"({"Protocol":"AWSMQTT"})");
    EXPECT_EQ(cfg.drivers[1].device, "d");
}

TEST(RunnerConfig, ExplainsStateCodesOfStateVariablesOnly) {
    EXPECT_EQ(kro::runner::explainState("substate", 5), "refused: not authorised");
    EXPECT_EQ(kro::runner::explainState("dev1.substate", 105),
              "subscription parameters missing (host, port or topics)");
    EXPECT_EQ(kro::runner::explainState("substate", 1),
              "refused: unacceptable protocol version, or no connection (broker unreachable, TLS "
              "or set-up error)");
    EXPECT_EQ(kro::runner::explainState("pubstate", 101), "publishing");
    EXPECT_EQ(kro::runner::explainState("pubstate", 102),
              "publish connection down, values waiting");
    EXPECT_EQ(kro::runner::explainState("counter", 5), "");
}

TEST(RunnerLog, EscapesWhatCouldForgeOrHideALine) {
    EXPECT_EQ(kro::runner::escapeControls("a\r\n[kro-host 00:00:00.000] x\x1b[2J\x7f\t"),
              "a\\r\\n[kro-host 00:00:00.000] x\\x1b[2J\\x7f\\t");
    // C1 controls and bytes that are not UTF-8 as hex; other text and backslashes as they are.
    EXPECT_EQ(kro::runner::escapeControls("\xc2\x9b \xc3\xa9 \xff \xed\xa0\x80 C:\\p"),
              "\\xc2\\x9b \xc3\xa9 \\xff \\xed\\xa0\\x80 C:\\p");
    EXPECT_EQ(kro::runner::quoted("a\"\\\n"), "\"a\\\"\\\\\\n\"");
}

} // namespace
