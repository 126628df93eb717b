// The AWS driver end to end through the plug-in: parameters from runtime
// variables, mutual TLS, received messages in "Recive-topic"/"Recive-message",
// publishing, and the subscription's end on a missing parameter.
#include <gtest/gtest.h>

#include <sstream>

#include "support/broker.h"
#include "support/capture.h"
#include "support/mqtt_probe.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using kro::host::VarSpec;
using kro::test::Broker;
using kro::test::Capture;
using kro::test::DriverDir;
using kro::test::Plugin;
using kro::test::Probe;
using kro::test::RunningDriver;
using kro::test::StateLog;
using kro::test::waitUntil;

constexpr const char* kFactory = "libAwsMqttDriver_loadDriver";
constexpr const char* kSettings = R"({"Protocol":"AWSMQTT"})";

std::string var(const std::string& name) {
    std::string out;
    kro::host::runtime().vars().getStrVar(name, out, 0);
    return out;
}

// Publishes until the driver has received it: its SUBSCRIBE may still be on
// its way when its connection has been accepted.
bool deliver(const Broker& broker, const std::string& topic, const std::string& payload) {
    auto arrived = [&] { return var("Recive-topic") == topic && var("Recive-message") == payload; };
    return waitUntil(
        [&] {
            if (arrived())
                return true;
            kro::test::publish(broker.port(), topic, payload);
            return waitUntil(arrived, 300ms);
        },
        15s);
}

TEST(DriverAws, MutualTlsFromRuntimeVariables) {
    Broker broker;
    DriverDir dir;
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    auto p = dm.addDevice("dev1")->addVariable(VarSpec{"P", 64, "PubVariable", "aws/out", ""});
    auto s = dm.addDevice("dev1")->addVariable(VarSpec{"S", 64, "SubVariable", "aws/s", ""});
    kro::test::configureAws(broker, "x/1|x/2|x/3");

    Capture out(Capture::Stream::Out);
    RunningDriver driver(plugin, kFactory, &dm, kSettings);
    ASSERT_TRUE(log.waitFor("substate", 0));
    ASSERT_TRUE(deliver(broker, "x/2", "m2"));
    // The next message overwrites both, whatever its topic.
    ASSERT_TRUE(kro::test::publish(broker.port(), "x/3", "three"));
    ASSERT_TRUE(waitUntil([] { return var("Recive-message") == "three"; }));
    EXPECT_EQ(var("Recive-topic"), "x/3");
    ASSERT_TRUE(kro::test::publish(broker.port(), "x/1", "one"));
    ASSERT_TRUE(waitUntil([] { return var("Recive-message") == "one"; }));
    EXPECT_EQ(var("Recive-topic"), "x/1");

    // Posted variables go out through the publisher over the same listener;
    // only "PubVariable" ones, each value whole.
    Probe probe({kro::test::plainConnection(broker.port()), {"aws/#"}, 0});
    ASSERT_TRUE(probe.waitConnected(10s));
    s->setStrValue("not published", true);
    driver->postData(s);
    p->setStrValue("a \"quoted\" \\ value\twith tab --retain", true);
    driver->postData(p);
    ASSERT_TRUE(probe.waitFor(1, 10s));
    ASSERT_TRUE(log.waitFor("pubstate", 0));
    const std::string big = kro::test::everyByteValue(1 << 20);
    p->setStrValue(big.c_str(), true);
    driver->postData(p);
    ASSERT_TRUE(probe.waitFor(2, 10s));
    ASSERT_TRUE(log.waitFor("pubstate", 0));
    EXPECT_EQ(driver.destroy() < 3s, true);

    const auto messages = probe.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].topic, "aws/out");
    EXPECT_EQ(messages[0].payload, "a \"quoted\" \\ value\twith tab --retain");
    EXPECT_TRUE(messages[1].payload == big);
    EXPECT_EQ(log.ints("pubstate"), (std::vector<int>{101, 0, 101, 0}));
    const auto states = log.ints("substate");
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(std::vector<int>(states.begin(), states.begin() + 3),
              (std::vector<int>{100, 101, 0}));
    // Nothing of its own on standard output: only the subscriber's line end
    // after every delivered message.
    const std::string printed = out.take();
    EXPECT_EQ(printed.find_first_not_of('\n'), std::string::npos) << printed;
}

TEST(DriverAws, MissingPortEndsTheSubscriptionForGood) {
    Broker broker;
    DriverDir dir;
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    auto p = dm.addDevice("dev1")->addVariable(VarSpec{"P", 16, "PubVariable", "aws/out", ""});
    kro::test::configureAws(broker, "x/1");
    kro::host::runtime().vars().erase("port");

    Capture out(Capture::Stream::Out);
    RunningDriver driver(plugin, kFactory, &dm, kSettings);
    ASSERT_TRUE(log.waitFor("substate", 105));
    // The publish side goes on, with an empty port that the publisher refuses.
    p->setStrValue("v", true);
    driver->postData(p);
    ASSERT_TRUE(log.waitFor("pubstate", 0));
    // No further attempt: a pass would have begun three seconds later.
    std::this_thread::sleep_for(3500ms);
    EXPECT_EQ(driver.destroy() < 3s, true);
    EXPECT_EQ(log.ints("substate"), (std::vector<int>{100, 105}));
    EXPECT_EQ(log.ints("pubstate"), (std::vector<int>{101, 0}));
    const std::string printed = out.take();
    EXPECT_EQ(printed.rfind("[kro error]publish failed with exit code ", 0), 0u) << printed;
    EXPECT_NE(printed.find(": aws/out\n"), std::string::npos) << printed;
}

// At most "SubPerRequest" filters a request (else 8); extras on both sides (QoS 1: the driver's).
class DriverAwsLimitAndArgs : public ::testing::TestWithParam<bool> {};

TEST_P(DriverAwsLimitAndArgs, RequestsWithinTheLimitAtQos1) {
    Broker broker;
    DriverDir dir;
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    auto p = dm.addDevice("dev1")->addVariable(VarSpec{"P", 16, "PubVariable", "aws/out", ""});
    kro::test::configureAws(broker, "x/0|x/1|x/2|x/3|x/4|x/5|x/6|x/7|x/8|x/9|x/10|x/11");
    Capture out(Capture::Stream::Out);
    RunningDriver driver(plugin, kFactory, &dm,
                         std::string(R"({"Protocol":"AWSMQTT","AdditionSubArgs":"-q 1",)") +
                             R"("AdditionPubArgs":"-q 1","SubPerRequest":)" +
                             (GetParam() ? R"(5,"PubMode":"session"})" : "0}"));
    ASSERT_TRUE(log.waitFor("substate", 0));
    for (int i = 0; i < 12; ++i)
        EXPECT_TRUE(deliver(broker, "x/" + std::to_string(i), "m")) << i;
    p->setStrValue("v", true);
    driver->postData(p);
    EXPECT_TRUE(waitUntil([&] { return broker.log().find(", q1, r0, m") != std::string::npos; }));
    std::vector<size_t> sizes; // the filters granted QoS 1 of each SUBSCRIBE
    std::istringstream in(broker.log());
    for (std::string line; std::getline(in, line);)
        if (line.find(": Received SUBSCRIBE from ") != std::string::npos)
            sizes.push_back(0);
        else if (!sizes.empty() && line.find(" (QoS 1)") != std::string::npos)
            ++sizes.back();
    EXPECT_EQ(sizes, (GetParam() ? std::vector<size_t>{5, 5, 2} : std::vector<size_t>{8, 4}));
    EXPECT_EQ(out.take().find("[kro error]SubPerRequest must be a whole number of filters from 1, "
                              "not \"0\"; using 8\n") != std::string::npos,
              !GetParam());
}
INSTANTIATE_TEST_SUITE_P(Modes, DriverAwsLimitAndArgs, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "session" : "process"; });

} // namespace
