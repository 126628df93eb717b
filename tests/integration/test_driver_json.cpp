// "PubFormat" and "PubTemplate" through the plug-in and a broker, in both
// publish modes: whatever bytes a value holds, what arrives parses as JSON
// and gives back the value, its address and the posting time.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/mqtt_probe.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct JsonCase {
    const char* name;
    bool aws;
    const char* mode;
};

class DriverJson : public ::testing::TestWithParam<JsonCase> {};

TEST_P(DriverJson, HostileValuesArriveAsJsonThatGivesThemBack) {
    const JsonCase& c = GetParam();
    kro::test::Broker broker;
    kro::test::DriverDir dir;
    kro::test::Plugin plugin;
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    kro::test::configureAws(broker, "in/x");
    std::string big = kro::test::everyByteValue(1 << 20), bigText;
    // No two neighbours of it form a UTF-8 sequence: each byte from 0x80 is
    // one replacement character.
    for (const char byte : big)
        bigText += static_cast<unsigned char>(byte) < 0x80 ? std::string(1, byte) : "\uFFFD";
    const std::vector<std::pair<std::string, json>> values = {
        {"21.5", 21.5},
        {"-0", -0.0},
        {"true", true},
        {"01", "01"},
        {R"(say "hi" \ there)", R"(say "hi" \ there)"},
        {"l1\nl2\r\t\x01\x1f", "l1\nl2\r\t\x01\x1f"},
        {"caf\xC3\xA9 \xFF\xFE", "caf\u00E9 \uFFFD\uFFFD"},
        {big, bigText},
        {"5 --retain", c.aws ? json("5 --retain") : json(5)},
    };
    json settings = {{"Protocol", c.aws ? "AWSMQTT" : "COMMONMQTT"},
                     {"DeviceId", "dev1"},
                     {"host", "127.0.0.1"},
                     {"port", std::to_string(broker.port())},
                     {"PubMode", c.mode}};
    if (c.aws)
        settings["PubTemplate"] = R"({"values": [{"id": "${address}", "v": ${value}, )"
                                  R"("t": ${time}, "dev": "${device}"}]})";
    else
        settings["PubFormat"] = "json";
    kro::test::Probe probe({kro::test::plainConnection(broker.port()), {"j/#"}, 0});
    ASSERT_TRUE(probe.waitConnected(10s));

    kro::test::RunningDriver driver(
        plugin, c.aws ? "libAwsMqttDriver_loadDriver" : "libTlsMqttDriver_loadDriver", &dm,
        settings.dump());
    std::vector<std::string> topics;
    const int64_t before = nowMs();
    for (size_t i = 0; i < values.size(); ++i) {
        topics.push_back(i == 1 ? "j/\"q\"\\" : "j/" + std::to_string(i));
        auto var = dev->addVariable(
            kro::host::VarSpec{"P" + std::to_string(i), 2 << 20, "PubVariable", topics.back(), ""});
        var->setStrValue(values[i].first.c_str(), true);
        driver->postData(var);
    }
    const int64_t after = nowMs();
    ASSERT_TRUE(probe.waitFor(values.size(), 60s));
    driver.destroy();

    std::map<std::string, json> arrived;
    for (const kro::test::Message& m : probe.messages()) {
        json doc = json::parse(m.payload);
        arrived[m.topic] = c.aws ? doc["values"][0] : doc;
        if (c.aws) {
            EXPECT_EQ(arrived[m.topic]["dev"], "");
        }
    }
    for (size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(topics[i]);
        const json& doc = arrived[topics[i]];
        EXPECT_EQ(doc[c.aws ? "id" : "address"], topics[i]);
        EXPECT_EQ(doc[c.aws ? "v" : "value"], values[i].second);
        // Stamped at the post, not when published.
        const int64_t time = doc[c.aws ? "t" : "time"].get<int64_t>();
        EXPECT_GE(time, before);
        EXPECT_LE(time, after);
    }
    if (!c.aws) {
        kro::test::Probe late({kro::test::plainConnection(broker.port()), {topics.back()}, 0});
        ASSERT_TRUE(late.waitFor(1, 10s));
        EXPECT_EQ(json::parse(late.messages()[0].payload)["value"], 5);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DriverJson,
                         ::testing::Values(JsonCase{"CommonProcess", false, "process"},
                                           JsonCase{"AwsProcess", true, "process"},
                                           JsonCase{"CommonSession", false, "session"},
                                           JsonCase{"AwsSession", true, "session"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
