// Report by exception ("PubDeadband", "PubHeartbeat") through the plug-in and
// a broker, in both modes and both drivers.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/broker.h"
#include "support/capture.h"
#include "support/mqtt_probe.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using kro::host::VarSpec;
using nlohmann::json;

TEST(DriverException, ChangesBeyondTheDeadbandGoAndTheHeartbeatRepeatsTheLatest) {
    const struct {
        const char* name;
        bool aws;
        json settings;
    } rows[] = {
        {"process", false, json::object()},
        {"session", false, {{"PubMode", "session"}}},
        {"session batched",
         false,
         {{"PubMode", "session"}, {"PubBatch", "5"}, {"PubBatchMs", "1"}}},
        {"aws process", true, json::object()},
        {"aws session", true, {{"PubMode", "session"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        kro::test::Broker broker;
        kro::test::DriverDir dir;
        kro::test::Probe probe({kro::test::plainConnection(broker.port()), {"r/#"}, 1});
        ASSERT_TRUE(probe.waitConnected(10s));
        kro::test::StateLog log;
        kro::test::Plugin plugin;
        kro::host::DeviceManager dm;
        kro::host::Device* dev = dm.addDevice("dev1");
        auto a = dev->addVariable(VarSpec{"A", 64, "PubVariable", "r/a", ""});
        auto b = dev->addVariable(VarSpec{"B", 64, "PubVariable", "r/b", ""});
        json settings = row.settings;
        settings.update({{"DeviceId", "dev1"}, {"PubDeadband", "0.5"}, {"PubHeartbeat", "2"}});
        if (row.aws) {
            kro::test::configureAws(broker, "x/1");
            settings["Protocol"] = "AWSMQTT";
        } else {
            settings.update({{"Protocol", "COMMONMQTT"},
                             {"host", "127.0.0.1"},
                             {"port", std::to_string(broker.port())}});
        }
        kro::test::Capture out(kro::test::Capture::Stream::Out);
        kro::test::RunningDriver driver(
            plugin, row.aws ? "libAwsMqttDriver_loadDriver" : "libTlsMqttDriver_loadDriver", &dm,
            settings.dump());
        // Each published value is awaited: process mode reads it when it publishes.
        const std::vector<std::pair<std::string, std::string>> posts = {
            {"A", "10"}, {"A", "10.2"}, {"A", "10.4"}, {"A", "11"},
            {"A", "on"}, {"A", "on"},   {"B", "11"}};
        const std::string published = "1001101";
        auto seen = [&probe] {
            std::vector<std::pair<std::string, std::string>> got; // topic, value
            for (const auto& m : probe.messages()) {
                const json doc = json::parse(m.payload, nullptr, false);
                if (doc.is_array()) // a batch
                    for (const json& v : doc)
                        got.push_back({v.at("address"), v.at("value").is_string()
                                                            ? v.at("value").get<std::string>()
                                                            : v.at("value").dump()});
                else
                    got.push_back({m.topic, m.payload});
            }
            return got;
        };
        size_t expected = 0;
        for (size_t i = 0; i < posts.size(); ++i) {
            const auto& var = posts[i].first == "A" ? a : b;
            var->setStrValue(posts[i].second.c_str(), true);
            driver->postData(var);
            expected += published[i] == '1';
            ASSERT_TRUE(kro::test::waitUntil([&] { return seen().size() >= expected; }, 20s));
        }
        EXPECT_TRUE(log.waitFor(row.aws ? "pubskipped" : "dev1.pubskipped", 3, 10s));
        // Both quiet variables come again, each with its latest value.
        const std::pair<std::string, std::string> beatA{"r/a", "on"}, beatB{"r/b", "11"};
        EXPECT_TRUE(kro::test::waitUntil(
            [&] {
                const auto got = seen();
                return std::count(got.begin(), got.end(), beatA) >= 2 &&
                       std::count(got.begin(), got.end(), beatB) >= 2;
            },
            20s));
        driver.destroy();
        auto got = seen();
        ASSERT_GE(got.size(), 4u);
        EXPECT_EQ(std::vector(got.begin(), got.begin() + 4),
                  (std::vector<std::pair<std::string, std::string>>{
                      {"r/a", "10"}, {"r/a", "11"}, {"r/a", "on"}, {"r/b", "11"}}));
        for (size_t i = 4; i < got.size(); ++i)
            EXPECT_TRUE(got[i] == beatA || got[i] == beatB) << got[i].first << " " << got[i].second;
    }
}

} // namespace
