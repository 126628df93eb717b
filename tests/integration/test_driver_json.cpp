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
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Driver (AWS with a template, Common with "PubFormat": "json") and mode.
class DriverJson : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

TEST_P(DriverJson, HostileValuesArriveAsJsonThatGivesThemBack) {
    const auto [mode, aws] = GetParam();
    kro::test::Broker broker;
    kro::test::DriverDir dir;
    kro::test::Plugin plugin;
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    kro::test::configureAws(broker, "in/x");
    // No two neighbours in it form a UTF-8 sequence: each byte from 0x80 is
    // one replacement character.
    const std::string big = kro::test::everyByteValue(1 << 20);
    std::string bigText;
    for (const char byte : big)
        bigText += static_cast<unsigned char>(byte) < 0x80 ? std::string(1, byte) : "\uFFFD";
    // clang-format off
    const std::vector<std::pair<std::string, json>> values = {
        {"21.5", 21.5}, {"-0", -0.0}, {"true", true}, {"01", "01"}, {R"(a "q" \ b)", R"(a "q" \ b)"},
        {"l1\nl2\r\t\x01\x1f", "l1\nl2\r\t\x01\x1f"}, {"caf\xC3\xA9 \xFF\xFE", "café \uFFFD\uFFFD"},
        {big, bigText}, {"5 --retain", aws ? json("5 --retain") : json(5)}};
    // clang-format on
    json settings = {
        {"Protocol", aws ? "AWSMQTT" : "COMMONMQTT"}, {"DeviceId", "dev1"}, {"host", "127.0.0.1"},
        {"port", std::to_string(broker.port())},      {"PubMode", mode},    {"PubFormat", "json"}};
    if (aws) // wins over PubFormat
        settings["PubTemplate"] = R"([{"address": "${address}", "value": ${value}, )"
                                  R"("time": ${time}, "dev": "${device}"}])";
    kro::test::Probe probe({kro::test::plainConnection(broker.port()), {"j/#"}, 0});
    ASSERT_TRUE(probe.waitConnected(10s));

    kro::test::RunningDriver driver(
        plugin, aws ? "libAwsMqttDriver_loadDriver" : "libTlsMqttDriver_loadDriver", &dm,
        settings.dump());
    std::vector<std::string> topics;
    const int64_t before = nowMs();
    for (size_t i = 0; i < values.size(); ++i) {
        topics.push_back(i == 1 ? "j/\"q\"\\" : "j/" + std::to_string(i));
        auto var =
            dev->addVariable({"P" + std::to_string(i), 2 << 20, "PubVariable", topics[i], ""});
        var->setStrValue(values[i].first.c_str(), true);
        driver->postData(var);
    }
    const int64_t after = nowMs();
    ASSERT_TRUE(probe.waitFor(values.size(), 60s));
    driver.destroy();

    std::map<std::string, json> arrived;
    for (const kro::test::Message& m : probe.messages())
        arrived[m.topic] = aws ? json::parse(m.payload).at(0) : json::parse(m.payload);
    for (size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(topics[i]);
        const json& doc = arrived[topics[i]];
        EXPECT_EQ(doc["address"], topics[i]);
        EXPECT_EQ(doc["value"], values[i].second);
        EXPECT_EQ(doc.contains("dev"), aws);
        EXPECT_EQ(doc.value("dev", ""), "");
        // Stamped at the post (process mode publishes later).
        EXPECT_GE(doc["time"].get<int64_t>(), before);
        EXPECT_LE(doc["time"].get<int64_t>(), after);
    }
    kro::test::Probe late({kro::test::plainConnection(broker.port()), {topics.back()}, 0});
    EXPECT_EQ(late.waitFor(1, aws ? 1s : 10s), !aws); // retained: Common driver only
}

// Named /0 to /3: Common and AWS driver in process mode, then in session mode.
INSTANTIATE_TEST_SUITE_P(Modes, DriverJson,
                         ::testing::Combine(::testing::Values("process", "session"),
                                            ::testing::Bool()));

} // namespace
