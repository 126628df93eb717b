// "PubFormat" and "PubTemplate" through the plug-in and a broker, in both publish modes: whatever
// bytes a value holds, what arrives parses as JSON and gives back value, address and posting time.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/mqtt_probe.h"
#include "test_driver_support.h"

namespace {

using namespace kro::test;
using nlohmann::json;

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Mode, and driver: AWS with a template, Common with "PubFormat": "json". Named /0 to /3.
class DriverJson : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

TEST_P(DriverJson, HostileValuesArriveAsJsonThatGivesThemBack) {
    const auto [mode, aws] = GetParam();
    Broker broker;
    DriverDir dir;
    Plugin plugin;
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    configureAws(broker, "in/x");
    const std::string big = everyByteValue(1 << 20); // no UTF-8 sequence: each byte >= 0x80 is one
    std::string bigText;                             // replacement character
    for (const char byte : big)
        bigText += static_cast<unsigned char>(byte) < 0x80 ? std::string(1, byte) : "\uFFFD";
    // clang-format off
    const std::vector<std::pair<std::string, json>> values = {
        {"21.5", 21.5}, {"-0", -0.0}, {"true", true}, {"01", "01"}, {R"("q" \)", R"("q" \)"},
        {"l1\nl2\r\t\x01\x1f", "l1\nl2\r\t\x01\x1f"}, {"caf\xC3\xA9\xFF", "café\uFFFD"},
        {big, bigText}, {"5 --retain", aws ? json("5 --retain") : json(5)}};
    json settings = {{"Protocol", aws ? "AWSMQTT" : "COMMONMQTT"}, {"DeviceId", "dev1"},
        {"host", "127.0.0.1"}, {"port", std::to_string(broker.port())}, {"PubMode", mode},
        {"PubFormat", "json"}}; // the template wins over it
    if (aws && std::string(mode) == "session")
        settings["PubMaxBytes"] = 0; // the 1 MiB value is over the driver's default
    if (aws)
        settings["PubTemplate"] =
            R"([{"address": "${address}", "value": ${value}, "time": ${time}, "d": "${device}"}])";
    // clang-format on
    Probe probe({plainConnection(broker.port()), {"j/#"}, 0});
    ASSERT_TRUE(probe.waitConnected(std::chrono::seconds(10)));

    RunningDriver driver(plugin,
                         aws ? "libAwsMqttDriver_loadDriver" : "libTlsMqttDriver_loadDriver", &dm,
                         settings.dump());
    std::vector<std::string> topics;
    const int64_t before = nowMs();
    for (size_t i = 0; i < values.size(); ++i) {
        topics.push_back(i == 1 ? "j/\"q\"\\" : "j/" + std::to_string(i));
        auto var = dev->addVariable({"P" + topics[i], 2 << 20, "PubVariable", topics[i], ""});
        var->setStrValue(values[i].first.c_str(), true);
        driver->postData(var);
    }
    const int64_t after = nowMs();
    ASSERT_TRUE(probe.waitFor(values.size(), std::chrono::seconds(60)));
    driver.destroy();

    std::map<std::string, json> arrived;
    for (const Message& m : probe.messages())
        arrived[m.topic] = aws ? json::parse(m.payload).at(0) : json::parse(m.payload);
    for (size_t i = 0; i < values.size(); ++i) {
        const json& doc = arrived[topics[i]];
        EXPECT_EQ(doc["address"], topics[i]);
        EXPECT_EQ(doc["value"], values[i].second) << topics[i];
        EXPECT_EQ(doc.value("d", "none"), aws ? "" : "none");
        // Stamped at the post (process mode publishes later).
        EXPECT_TRUE(doc["time"] >= before && doc["time"] <= after) << doc["time"];
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DriverJson,
                         ::testing::Combine(::testing::Values("process", "session"),
                                            ::testing::Bool()));

} // namespace
