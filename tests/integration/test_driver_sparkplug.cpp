// The Common driver as a Sparkplug B edge node, as an independent host
// application (MQTT.js and the npm codec) sees it on Debian's broker.
#include <csignal>
#include <gtest/gtest.h>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>

#include "support/sparkplug_host.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using kro::test::SparkplugHost;
using nlohmann::json;

std::string nodeSettings(int port, const std::string& extra = "") {
    return R"({"Protocol":"COMMONMQTT","DeviceId":"dev1","host":"127.0.0.1","port":")" +
           std::to_string(port) +
           R"(","PubMode":"session","SparkplugGroup":"g","SparkplugNode":"n")" + extra + "}";
}

size_t count(const std::vector<json>& messages, const std::string& kind) {
    return std::count_if(messages.begin(), messages.end(), [&](const json& m) {
        return m["topic"].get<std::string>().find("/" + kind + "/") != std::string::npos;
    });
}

std::string bdSeq(const json& message) {
    const json* m = SparkplugHost::metric(message, "bdSeq");
    return m ? m->at("value").get<std::string>() : "none";
}

// A broker, a working directory, and the host application on the broker.
class SparkplugRig : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = SparkplugHost::unavailable(); !why.empty())
            GTEST_SKIP() << why;
        host.emplace(broker.port(), ".");
    }
    kro::test::Broker broker;
    kro::test::DriverDir dir;
    std::optional<SparkplugHost> host;
    kro::test::StateLog log;
    kro::test::Plugin plugin;
    kro::host::DeviceManager dm;
};
using SparkplugConcurrency = SparkplugRig;
using DriverSparkplug = SparkplugRig;
using RunnerSparkplug = SparkplugRig;

// Posts, commands and the library's thread meet here: also run under ThreadSanitizer.
TEST_F(SparkplugConcurrency, AHostSeesBirthsDataByAliasCommandsAndDeaths) {
    auto* dev = dm.addDevice("dev1");
    auto t = dev->addVariable({"T", 64, "PubVariable", "temp", ""});
    auto l = dev->addVariable({"L", 64, "PubVariable", "label", ""});
    auto s = dev->addVariable({"S", 64, "SubVariable", "setpoint", ""});
    t->setStrValue("1", true);
    kro::test::RunningDriver driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                                    nodeSettings(broker.port()));
    ASSERT_TRUE(host->waitFor([](auto& m) { return m.size() >= 2; }, 10s)) << host->output();
    const std::vector<json> births = host->messages();
    EXPECT_EQ(births[0]["topic"], "spBv1.0/g/NBIRTH/n");
    EXPECT_EQ(births[0]["payload"]["seq"], "0");
    EXPECT_EQ(SparkplugHost::metric(births[0], "Node Control/Rebirth")->at("value"), false);
    ASSERT_EQ(births[1]["topic"], "spBv1.0/g/DBIRTH/n/dev1");
    std::map<std::string, std::string> declared; // alias -> name
    for (const json& m : births[1]["payload"]["metrics"])
        declared[m["alias"]] = m["name"].get<std::string>() + ":" + m["type"].get<std::string>();
    EXPECT_EQ(declared, (std::map<std::string, std::string>{
                            {"1", "temp:Int64"}, {"2", "label:String"}, {"3", "setpoint:String"}}));
    EXPECT_EQ(SparkplugHost::metric(births[1], "temp")->at("value"), "1");

    // 300 values take seq past 255.
    std::vector<std::string> posted;
    for (int i = 0; i < 300; ++i) {
        posted.push_back("1:" + std::to_string(i));
        t->setStrValue(std::to_string(i).c_str(), true);
        driver->postData(t);
    }
    l->setStrValue("on", true);
    driver->postData(l);
    posted.push_back("2:on");
    ASSERT_TRUE(host->waitFor([](auto& m) { return count(m, "DDATA") >= 301; }, 20s));
    std::vector<std::string> got;
    for (const json& m : host->on("DDATA"))
        for (const json& metric : m["payload"]["metrics"])
            got.push_back(metric["alias"].get<std::string>() + ":" +
                          (metric["value"].is_string() ? metric["value"].get<std::string>()
                                                       : metric["value"].dump()));
    EXPECT_EQ(got, posted);

    host->publish("spBv1.0/g/DCMD/n/dev1",
                  {{"timestamp", "1"},
                   {"metrics", {{{"name", "setpoint"}, {"type", "Double"}, {"value", 7.5}}}}},
                  1);
    EXPECT_TRUE(kro::test::waitUntil([&] { return std::string(s->getStrValue()) == "7.5"; }, 10s));
    host->publish(
        "spBv1.0/g/NCMD/n",
        {{"timestamp", "1"},
         {"metrics", {{{"name", "Node Control/Rebirth"}, {"type", "Boolean"}, {"value", true}}}}},
        1);
    ASSERT_TRUE(host->waitFor([](auto& m) { return count(m, "DBIRTH") >= 2; }, 10s));
    const std::vector<json> rebirth = host->on("NBIRTH");
    EXPECT_EQ(std::make_pair(rebirth[1]["payload"]["seq"], bdSeq(rebirth[1])),
              std::make_pair(json("0"), bdSeq(births[0])));
    EXPECT_EQ(SparkplugHost::metric(host->on("DBIRTH")[1], "setpoint")->at("value"), 7.5);

    driver.destroy();
    ASSERT_TRUE(host->waitFor([](auto& m) { return count(m, "NDEATH") == 1; }, 10s));
    std::vector<json> all = host->messages();
    EXPECT_EQ(all[all.size() - 2]["topic"], "spBv1.0/g/DDEATH/n/dev1");
    EXPECT_EQ(bdSeq(all.back()), bdSeq(births[0]));
    // Every node message after the last birth counts on by one, 255 then 0.
    std::vector<int> seqs;
    for (const json& m : all)
        if (m.contains("payload") && m["payload"].contains("seq") &&
            m["topic"] != "spBv1.0/g/NCMD/n" && m["topic"] != "spBv1.0/g/DCMD/n/dev1")
            seqs.push_back(std::stoi(m["payload"]["seq"].get<std::string>()));
    ASSERT_EQ(seqs.size(), 306u); // NBIRTH, DBIRTH, 301 DDATA, NBIRTH, DBIRTH, DDEATH
    for (size_t i = 1; i < seqs.size(); ++i)
        EXPECT_EQ(seqs[i], i == 303 ? 0 : (seqs[i - 1] + 1) % 256) << i;
}

// Births wait for the primary host's STATE online; its offline makes the node
// die and connect again; values posted while the broker is away come after the
// next births, historical, in posting order, with their posting times.
TEST_F(DriverSparkplug, BirthsFollowTheHostsStateAndOutageValuesComeHistorical) {
    auto t = dm.addDevice("dev1")->addVariable({"T", 64, "PubVariable", "temp", ""});
    kro::test::RunningDriver driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                                    nodeSettings(broker.port(), R"(,"SparkplugHost":"scada")"));
    ASSERT_TRUE(log.waitFor("dev1.substate", 0, 10s)); // subscribed, STATE awaited
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(host->messages().size(), 0u);
    const std::string state = "spBv1.0/STATE/scada";
    host->publishText(state, R"({"online":true,"timestamp":1000})");
    ASSERT_TRUE(host->waitFor([](auto& m) { return count(m, "DBIRTH") == 1; }, 10s));
    host->publishText(state, R"({"online":false,"timestamp":2000})");
    ASSERT_TRUE(host->waitFor([](auto& m) { return count(m, "NDEATH") == 1; }, 10s));
    EXPECT_EQ(bdSeq(host->on("NDEATH")[0]), bdSeq(host->on("NBIRTH")[0]));
    ASSERT_TRUE(log.waitFor("dev1.substate", 0, 10s, 2)); // back, and waiting again

    broker.stop();
    ASSERT_TRUE(log.waitFor("dev1.substate", 101, 10s, 3));
    const int64_t before = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    for (const char* v : {"5", "6.5"}) {
        t->setStrValue(v, true);
        driver->postData(t);
    }
    broker.start();
    host->publishText(state, R"({"online":true,"timestamp":3000})");
    ASSERT_TRUE(host->waitFor([](auto& m) { return count(m, "DDATA") >= 2; }, 20s))
        << host->output();
    const std::vector<json> all = host->messages();
    EXPECT_EQ(count(all, "NBIRTH"), 2u);
    std::vector<std::string> got;
    for (const json& m : host->on("DDATA"))
        for (const json& metric : m["payload"]["metrics"]) {
            got.push_back(metric["value"].dump() +
                          (metric.value("isHistorical", false) ? " h" : ""));
            const int64_t at = std::stoll(metric["timestamp"].get<std::string>());
            EXPECT_TRUE(
                at >= before &&
                at < std::stoll(host->on("NBIRTH")[1]["payload"]["timestamp"].get<std::string>()));
        }
    // Declared by the value the variable holds at the births: 5 goes as a Double.
    EXPECT_EQ(got, (std::vector<std::string>{"5 h", "6.5 h"}));
    std::set<std::string> deaths; // none sent again on a later connection
    for (const json& m : host->on("NDEATH"))
        EXPECT_TRUE(deaths.insert(bdSeq(m)).second) << bdSeq(m);
}

// A killed kro-host leaves its will, the NDEATH of the bdSeq its births gave;
// with a store the next start goes on counting.
TEST_F(RunnerSparkplug, AKilledHostsWillIsItsNdeathAndBdSeqGoesOn) {
    kro::test::writeFile(
        "c.json", R"({"devices":[{"id":"dev1","variables":[{"name":"T","addrType":"PubVariable",)"
                  R"("addr":"temp","size":64}]}],"drivers":[{"settings":)" +
                      nodeSettings(broker.port(), R"(,"PubStore":"s.db")") + "}]}");
    kro::test::writeFile("first.script", "wait 60\n");
    const pid_t pid =
        kro::test::spawnProgram({KRO_HOST_PROGRAM, "--script", "first.script", "c.json"}, "1.log");
    ASSERT_TRUE(host->waitFor([](auto& m) { return count(m, "DBIRTH") == 1; }, 20s))
        << kro::test::readFile("1.log");
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(kro::test::waitExit(pid, 10s));
    ASSERT_TRUE(host->waitFor([](auto& m) { return count(m, "NDEATH") == 1; }, 10s));
    const std::string first = bdSeq(host->on("NBIRTH")[0]);
    EXPECT_EQ(bdSeq(host->on("NDEATH")[0]), first);
    kro::test::writeFile("second.script", "wait 1\nquit\n");
    EXPECT_EQ(kro::test::runProgram({KRO_HOST_PROGRAM, "--script", "second.script", "c.json"},
                                    "2.log", 30s),
              0);
    ASSERT_TRUE(host->waitFor([](auto& m) { return count(m, "NDEATH") == 2; }, 10s));
    EXPECT_EQ(bdSeq(host->on("NBIRTH")[1]), std::to_string(std::stoi(first) + 1));
}

} // namespace
