// The Common driver when its broker goes away: lost and restored connections
// on the receiving side, refused publications on the sending side.
#include <gtest/gtest.h>

#include <regex>

#include "support/broker.h"
#include "support/capture.h"
#include "support/fake_broker.h"
#include "support/mqtt_probe.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using kro::host::DvcVariable;
using kro::host::VarSpec;
using kro::test::Broker;
using kro::test::Capture;
using kro::test::commonSettings;
using kro::test::DriverDir;
using kro::test::Plugin;
using kro::test::Probe;
using kro::test::RunningDriver;
using kro::test::StateLog;
using kro::test::waitUntil;

constexpr const char* kFactory = "libTlsMqttDriver_loadDriver";

// Every value written to one device variable, in order.
class VariableLog {
public:
    explicit VariableLog(std::string name) : m_name(std::move(name)) {
        m_id = kro::host::addObserver([this](const kro::host::Event& e) {
            if (e.kind != kro::host::Event::Kind::Variable || e.name != m_name)
                return;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_values.push_back(e.value);
        });
    }
    ~VariableLog() { kro::host::removeObserver(m_id); }
    VariableLog(const VariableLog&) = delete;
    VariableLog& operator=(const VariableLog&) = delete;

    std::vector<std::string> values() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_values;
    }
    bool contains(const std::string& value) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::find(m_values.begin(), m_values.end(), value) != m_values.end();
    }
    // The values written after the first `value`, in order.
    std::vector<std::string> after(const std::string& value) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find(m_values.begin(), m_values.end(), value);
        return it == m_values.end() ? std::vector<std::string>{}
                                    : std::vector<std::string>(it + 1, m_values.end());
    }

private:
    std::string m_name;
    int m_id = -1;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_values;
};

// Publishes (QoS 1) until `value` has been written to the variable: after a
// CONNACK the driver's SUBSCRIBE may still be on its way.
bool publishUntilSeen(int port, const std::string& topic, const std::string& value,
                      const VariableLog& log) {
    return waitUntil(
        [&] {
            if (log.contains(value))
                return true;
            kro::test::publish(port, topic, value, 1);
            return waitUntil([&] { return log.contains(value); }, 300ms);
        },
        20s);
}

struct LossCase {
    const char* name;
    bool abrupt; // SIGKILL: no orderly close of the connections
};
void PrintTo(const LossCase& c, std::ostream* os) {
    *os << c.name;
}

class FaultBrokerRestart : public ::testing::TestWithParam<LossCase> {};

// A subscription at QoS 1 survives the broker going away and coming back on
// the same port within the same subscriber run: the new connection shows in
// both state variables, no new attempt is started, and what is published
// after the restart arrives, every message in order.
TEST_P(FaultBrokerRestart, NewConnectionIsReportedAndMessagesLandAfterIt) {
    Broker broker;
    DriverDir dir;
    StateLog states;
    VariableLog received("dev1.A");
    VariableLog topics("dev1.T");
    Plugin plugin;
    kro::host::DeviceManager dm;
    dm.addDevice("dev1")->addVariable(VarSpec{"A", 16, "SubVariable", "fault/t", ""});
    dm.addDevice("dev1")->addVariable(VarSpec{"T", 16, "SubTopic", "", ""});

    Capture out(Capture::Stream::Out);
    RunningDriver driver(plugin, kFactory, &dm,
                         commonSettings({{"DeviceId", "dev1"},
                                         {"host", "127.0.0.1"},
                                         {"port", std::to_string(broker.port())},
                                         {"AdditionSubArgs", "-q 1"}}));
    ASSERT_TRUE(states.waitFor("dev1.substate", 0));
    ASSERT_TRUE(publishUntilSeen(broker.port(), "fault/t", "before", received));

    if (GetParam().abrupt)
        broker.kill();
    else
        broker.stop();
    ASSERT_NO_THROW(broker.start());

    ASSERT_TRUE(states.waitFor("dev1.substate", 0, 30s, 2));
    ASSERT_TRUE(states.waitFor("substate", 0, 5s, 2));
    // The run went on through the loss, which showed as 7 until the new
    // connection: a new attempt would have written 101 (or the run's result).
    EXPECT_EQ(states.ints("dev1.substate"), (std::vector<int>{100, 101, 0, 7, 0}));
    EXPECT_EQ(states.ints("substate"), (std::vector<int>{100, 101, 0, 7, 0}));

    ASSERT_TRUE(publishUntilSeen(broker.port(), "fault/t", "after", received));
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i) {
        expected.push_back("m" + std::to_string(i));
        ASSERT_TRUE(kro::test::publish(broker.port(), "fault/t", expected.back(), 1));
    }
    EXPECT_TRUE(waitUntil([&] { return received.after("after").size() >= expected.size(); }, 20s));
    EXPECT_EQ(received.after("after"), expected);
    for (const std::string& topic : topics.values())
        EXPECT_EQ(topic, "fault/t");
    EXPECT_LT(driver.destroy(), 3s);
    out.take();
}

INSTANTIATE_TEST_SUITE_P(Cases, FaultBrokerRestart,
                         ::testing::Values(LossCase{"killed", true}, LossCase{"stopped", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Counts the lines of `text` that match `pattern`.
size_t countMatches(const std::string& text, const std::regex& pattern) {
    return static_cast<size_t>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), pattern), {}));
}

// Posts made while the broker is down fail one by one: each is reported with
// the publisher's exit code and topic, "pubstate" returns to 0 each time, and
// the driver goes on publishing once the broker is back.
TEST(FaultBrokerDown, FailedPublicationsAreReportedAndTheDriverGoesOn) {
    Broker broker;
    DriverDir dir;
    StateLog states;
    Plugin plugin;
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    std::vector<std::shared_ptr<DvcVariable>> vars;
    for (int i = 1; i <= 3; ++i)
        vars.push_back(dev->addVariable(VarSpec{"P" + std::to_string(i), 16, "PubVariable",
                                                "fault/pub/" + std::to_string(i), ""}));
    kro::test::ProbeOptions probeOptions;
    probeOptions.connection = kro::test::plainConnection(broker.port());
    probeOptions.topics = {"fault/pub/#"};
    probeOptions.qos = 1;
    Probe probe(probeOptions);
    ASSERT_TRUE(probe.waitConnected(10s));

    Capture out(Capture::Stream::Out);
    RunningDriver driver(plugin, kFactory, &dm,
                         commonSettings({{"DeviceId", "dev1"},
                                         {"host", "127.0.0.1"},
                                         {"port", std::to_string(broker.port())},
                                         {"AdditionPubArgs", "-q 1"}}));
    broker.stop();
    for (size_t i = 0; i < vars.size(); ++i) {
        vars[i]->setStrValue(("lost" + std::to_string(i + 1)).c_str(), true);
        driver->postData(vars[i]);
    }
    ASSERT_TRUE(states.waitFor("pubstate", 0, 30s, 3));

    ASSERT_NO_THROW(broker.start());
    ASSERT_TRUE(probe.waitConnected(20s, 2));
    vars[0]->setStrValue("delivered", true);
    driver->postData(vars[0]);
    ASSERT_TRUE(states.waitFor("pubstate", 0, 30s, 4));
    ASSERT_TRUE(probe.waitFor(1, 10s));
    EXPECT_LT(driver.destroy(), 3s);
    const std::string printed = out.take();

    const std::vector<kro::test::Message> messages = probe.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].topic, "fault/pub/1");
    EXPECT_EQ(messages[0].payload, "delivered");
    EXPECT_EQ(states.ints("pubstate"), (std::vector<int>{101, 0, 101, 0, 101, 0, 101, 0}));
    // One report per failed publication, none for the one that went out.
    for (int i = 1; i <= 3; ++i) {
        const std::regex failed("\\[kro error\\]publish failed with exit code [1-9][0-9]*: "
                                "fault/pub/" +
                                std::to_string(i) + "\n");
        EXPECT_EQ(countMatches(printed, failed), 1u) << "topic " << i << " in:\n" << printed;
    }
    EXPECT_EQ(countMatches(printed, std::regex("publish failed")), 3u) << printed;
}

// A broker that takes connections and never answers: each publication is
// terminated at "PubTimeout" and the next one is tried; without a limit,
// destroying the driver ends a hung publication and the hung subscriber
// connection at once.
TEST(FaultSilentBroker, PublicationsTimeOutAndTheDriverStillStopsAtOnce) {
    kro::test::SilentListener silent(false);
    DriverDir dir;
    StateLog states;
    Plugin plugin;
    kro::host::DeviceManager dm;
    auto p = dm.addDevice("dev1")->addVariable(VarSpec{"P", 16, "PubVariable", "silent/p", ""});
    dm.addDevice("dev1")->addVariable(VarSpec{"A", 16, "SubVariable", "silent/a", ""});
    auto settings = [&](const char* timeout) {
        return commonSettings({{"DeviceId", "dev1"},
                               {"host", "127.0.0.1"},
                               {"port", std::to_string(silent.port())},
                               {"PubTimeout", timeout}});
    };

    Capture out(Capture::Stream::Out);
    {
        RunningDriver limited(plugin, kFactory, &dm, settings("1"));
        for (const char* value : {"one", "two"}) {
            p->setStrValue(value, true);
            limited->postData(p);
        }
        ASSERT_TRUE(states.waitFor("pubstate", 0, 10s, 2));
    }
    RunningDriver unlimited(plugin, kFactory, &dm, settings("0"));
    ASSERT_TRUE(states.waitFor("substate", 101, 10s));
    p->setStrValue("three", true);
    unlimited->postData(p);
    ASSERT_TRUE(states.waitFor("pubstate", 101, 10s, 3));
    EXPECT_LT(unlimited.destroy(), 2s);
    const std::string printed = out.take();

    EXPECT_EQ(states.ints("pubstate"), (std::vector<int>{101, 0, 101, 0, 101, 0}));
    const std::regex timedOut("\\[kro error\\]publish timed out after 1 s: silent/p\n");
    EXPECT_EQ(countMatches(printed, timedOut), 2u) << printed;
    const std::regex stopped("\\[kro error\\]publish ended by the driver's stop: silent/p\n");
    EXPECT_EQ(countMatches(printed, stopped), 1u) << printed;
}

// Every subscription denied: the driver shows 128, says which topics, and
// tries again after its pause instead of reporting a subscription that will
// never deliver anything.
TEST(FaultDeniedSubscriptions, AreAFailureAndTriedAgain) {
    kro::test::FakeBroker broker;
    DriverDir dir;
    StateLog states;
    Plugin plugin;
    kro::host::DeviceManager dm;
    dm.addDevice("dev1")->addVariable(VarSpec{"A", 16, "SubVariable", "d/1", ""});
    dm.addDevice("dev1")->addVariable(VarSpec{"B", 16, "SubVariable", "d/2", ""});

    Capture out(Capture::Stream::Out);
    RunningDriver driver(plugin, kFactory, &dm,
                         commonSettings({{"DeviceId", "dev1"},
                                         {"host", "127.0.0.1"},
                                         {"port", std::to_string(broker.port())}}));
    ASSERT_TRUE(broker.waitSubscriptions(2, 20s));
    ASSERT_TRUE(states.waitFor("dev1.substate", 128, 10s, 2));
    EXPECT_LT(driver.destroy(), 3s);
    const std::string printed = out.take();

    const std::vector<int> attempt{100, 101, 0, 128, 101, 0, 128};
    EXPECT_EQ(states.ints("dev1.substate"), attempt);
    EXPECT_EQ(states.ints("substate"), attempt);
    EXPECT_EQ(countMatches(printed, std::regex("\\[kro error\\]mqtt subscription denied by the "
                                               "broker: d/1\\|d/2\n")),
              2u)
        << printed;
    EXPECT_EQ(printed.find("[kro info]mqtt subscribe started."), std::string::npos) << printed;
}

} // namespace
