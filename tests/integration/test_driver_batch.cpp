// Values batched into one message ("PubBatch"), through the plug-in and a
// broker: what each message carries, and that together they carry every value
// once, in posting order.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/broker.h"
#include "support/capture.h"
#include "support/mqtt_probe.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using kro::host::VarSpec;
using kro::test::Capture;
using nlohmann::json;

TEST(DriverBatch, MessagesCarryEveryValueOnceInPostingOrder) {
    const struct {
        const char* name;
        std::map<std::string, std::string> settings;
        int values;                // posted at once, alternately to b/1 and b/2 with "two"
        bool two;                  // two variables
        std::string big;           // posted first, too large for any batch
        const char* topic;         // of every message; empty: each variable's own
        std::vector<size_t> sizes; // values per message, in order (empty: not checked)
        size_t maxPayload;         // 0: not checked
        const char* wrapper;       // the array's key in a wrapper object; empty: none
    } rows[] = {
        // clang-format off
        // Two full batches, then what is left after the time bound.
        {"full-then-time", {{"PubBatch", "10"}, {"PubBatchMs", "300"}},
         25, false, "", "", {10, 10, 5}, 0, ""},
        {"one-topic", {{"PubBatch", "100"}, {"PubBatchTopic", "all/b"}},
         6, true, "", "all/b", {6}, 0, ""},
        {"bytes", {{"PubBatch", "100"}, {"PubBatchBytes", "400"}},
         30, false, std::string(500, 'x'), "", {}, 400, ""},
        {"wrapper",
         {{"PubBatch", "5"}, {"PubBatchTemplate", R"({"dev": "${device}", "at": ${time}, "v": ${values}})"}},
         5, false, "", "", {5}, 0, "v"},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        kro::test::Broker broker;
        kro::test::Probe probe({kro::test::plainConnection(broker.port()), {"#"}, 1});
        ASSERT_TRUE(probe.waitConnected(10s));
        kro::test::StateLog log;
        kro::test::Plugin plugin;
        kro::host::DeviceManager dm;
        kro::host::Device* dev = dm.addDevice("dev1");
        std::shared_ptr<kro::host::DvcVariable> vars[] = {
            dev->addVariable(VarSpec{"A", 1024, "PubVariable", "b/1", ""}),
            dev->addVariable(VarSpec{"B", 1024, "PubVariable", "b/2", ""})};
        json settings = {{"Protocol", "COMMONMQTT"}, {"DeviceId", "dev1"},
                         {"host", "127.0.0.1"},      {"port", std::to_string(broker.port())},
                         {"PubMode", "session"},     {"AdditionPubArgs", "-q 1"}};
        for (const auto& [key, value] : row.settings)
            settings[key] = value;
        Capture out(Capture::Stream::Out);
        kro::test::RunningDriver driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                                        settings.dump());
        std::vector<std::pair<std::string, std::string>> posted; // address, value
        if (!row.big.empty()) {
            vars[0]->setStrValue(row.big.c_str(), true);
            driver->postData(vars[0]);
        }
        for (int i = 0; i < row.values; ++i) {
            const auto& var = vars[row.two ? i % 2 : 0];
            posted.push_back({row.two && i % 2 ? "b/2" : "b/1", "v" + std::to_string(i)});
            var->setStrValue(posted.back().second.c_str(), true);
            driver->postData(var);
        }
        const auto arrived = [&] {
            size_t n = 0;
            for (const auto& m : probe.messages()) {
                const json doc = json::parse(m.payload, nullptr, false);
                n += (*row.wrapper ? doc.value(row.wrapper, json::array()) : doc).size();
            }
            return n;
        };
        EXPECT_TRUE(kro::test::waitUntil([&] { return arrived() >= posted.size(); }, 20s));
        driver.destroy();
        std::vector<std::pair<std::string, std::string>> got;
        std::vector<size_t> sizes;
        for (const auto& m : probe.messages()) {
            const json doc = json::parse(m.payload);
            const json& values = *row.wrapper ? doc.at(row.wrapper) : doc;
            if (*row.wrapper) {
                EXPECT_EQ(doc.at("dev"), "dev1");
                EXPECT_GE(doc.at("at"), values.at(0).at("time")); // made after its first post
            }
            EXPECT_EQ(m.topic,
                      *row.topic ? row.topic : values.at(0).at("address").get<std::string>());
            if (row.maxPayload) {
                EXPECT_LE(m.payload.size(), row.maxPayload);
            }
            sizes.push_back(values.size());
            for (const json& v : values)
                got.push_back({v.at("address"), v.at("value")});
        }
        EXPECT_EQ(got, posted);
        if (!row.sizes.empty()) {
            EXPECT_EQ(sizes, row.sizes);
        }
        const std::string printed = out.take();
        if (!row.big.empty()) {
            EXPECT_NE(printed.find("[kro error]publish set aside: 554 bytes, more than the broker "
                                   "takes (400): b/1\n"),
                      std::string::npos)
                << printed;
            EXPECT_TRUE(log.waitFor("dev1.pubdropped", 1, 1s));
        }
    }
}

} // namespace
