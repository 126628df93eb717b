// Report by exception ("PubDeadband", "PubHeartbeat") through the plug-in and
// a broker, in both modes and both drivers.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/broker.h"
#include "support/mqtt_probe.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

TEST(DriverException, ChangesBeyondTheDeadbandGoAndTheHeartbeatRepeatsTheLatest) {
    const std::string session = R"("PubMode": "session")";
    // The AWS driver, and settings beyond the ones below.
    const std::pair<bool, std::string> rows[] = {
        {false, ""},
        {false, session},
        {false, session + R"(, "PubBatch": "5", "PubBatchMs": "1")"},
        {true, ""},
        {true, session}};
    for (const auto& [aws, extra] : rows) {
        SCOPED_TRACE(extra + (aws ? " AWS" : ""));
        kro::test::Broker broker;
        kro::test::DriverDir dir;
        kro::test::Probe probe({kro::test::plainConnection(broker.port()), {"r/a"}, 1});
        ASSERT_TRUE(probe.waitConnected(10s));
        kro::test::StateLog log;
        kro::test::Plugin plugin;
        kro::host::DeviceManager dm;
        auto a = dm.addDevice("dev1")->addVariable({"A", 64, "PubVariable", "r/a", ""});
        kro::test::configureAws(broker, "x/1");
        json settings = json::parse(R"({"DeviceId": "dev1", "host": "127.0.0.1",
                                        "PubDeadband": "0.5", "PubHeartbeat": "2"})");
        settings["Protocol"] = aws ? "AWSMQTT" : "COMMONMQTT";
        settings["port"] = std::to_string(broker.port());
        settings.update(json::parse("{" + extra + "}"));
        kro::test::RunningDriver driver(
            plugin, aws ? "libAwsMqttDriver_loadDriver" : "libTlsMqttDriver_loadDriver", &dm,
            settings.dump());
        // Each published value is awaited: process mode reads it when it publishes.
        const char* const posts[] = {"10", "10.2", "10.4", "11", "on", "on"};
        for (size_t i = 0, published = 0; i < std::size(posts); ++i) {
            a->setStrValue(posts[i], true);
            driver->postData(a);
            published += i == 0 || i == 3 || i == 4;
            ASSERT_TRUE(probe.waitFor(published, 20s));
        }
        EXPECT_TRUE(log.waitFor(aws ? "pubskipped" : "dev1.pubskipped", 3, 10s));
        EXPECT_TRUE(probe.waitFor(5, 20s)); // two heartbeats
        driver.destroy();
        std::vector<std::string> got, expected = {"10", "11", "on"};
        for (const auto& m : probe.messages()) { // a batch carries one value here
            const json doc = json::parse(m.payload, nullptr, false);
            const json value = doc.is_array() ? doc[0]["value"] : json(m.payload);
            got.push_back(value.is_string() ? value.get<std::string>() : value.dump());
        }
        expected.resize(std::max<size_t>(got.size(), 3), "on");
        EXPECT_EQ(got, expected);
    }
}

} // namespace
