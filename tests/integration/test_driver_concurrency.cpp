// Several drivers in one process: each device gets only its own messages, the
// last callback registration serves every run, and destroying running drivers
// ends exactly their own threads, at once, leaving nothing behind.
#include <gtest/gtest.h>

#include "support/broker.h"
#include "support/capture.h"
#include "support/mqtt_probe.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using kro::host::VarSpec;
using kro::test::Broker;
using kro::test::Capture;
using kro::test::commonSettings;
using kro::test::DriverDir;
using kro::test::Plugin;
using kro::test::RunningDriver;
using kro::test::StateLog;
using kro::test::waitUntil;

constexpr const char* kCommon = "libTlsMqttDriver_loadDriver";
constexpr const char* kAws = "libAwsMqttDriver_loadDriver";
constexpr const char* kAwsSettings = R"({"Protocol":"AWSMQTT"})";

std::string runtimeVar(const std::string& name) {
    std::string out;
    kro::host::runtime().vars().getStrVar(name, out, 0);
    return out;
}

std::string common(const std::string& device, const Broker& broker) {
    return commonSettings(
        {{"DeviceId", device}, {"host", "127.0.0.1"}, {"port", std::to_string(broker.port())}});
}

// Publishes until `arrived` holds (a SUBSCRIBE may still be on its way).
template <typename Pred>
bool publishUntil(int port, const std::string& topic, const std::string& payload, Pred arrived) {
    return waitUntil(
        [&] {
            if (arrived())
                return true;
            kro::test::publish(port, topic, payload);
            return waitUntil(arrived, 300ms);
        },
        15s);
}

TEST(DriverConcurrency, TwoDevicesReceiveOnlyTheirOwnMessages) {
    Broker broker;
    DriverDir dir;
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    auto a1 = dm.addDevice("dev1")->addVariable(VarSpec{"A", 16, "SubVariable", "d1/t", ""});
    auto t1 = dm.addDevice("dev1")->addVariable(VarSpec{"T", 16, "SubTopic", "", ""});
    auto a2 = dm.addDevice("dev2")->addVariable(VarSpec{"A", 16, "SubVariable", "d2/t", ""});
    auto t2 = dm.addDevice("dev2")->addVariable(VarSpec{"T", 16, "SubTopic", "", ""});

    Capture out(Capture::Stream::Out);
    RunningDriver one(plugin, kCommon, &dm, common("dev1", broker));
    RunningDriver two(plugin, kCommon, &dm, common("dev2", broker));
    ASSERT_TRUE(log.waitFor("dev1.substate", 0));
    ASSERT_TRUE(log.waitFor("dev2.substate", 0));
    ASSERT_TRUE(
        publishUntil(broker.port(), "d1/t", "for one", [&] { return a1->value() == "for one"; }));
    ASSERT_TRUE(
        publishUntil(broker.port(), "d2/t", "for two", [&] { return a2->value() == "for two"; }));
    EXPECT_EQ(a1->value(), "for one");
    EXPECT_EQ(t1->value(), "d1/t");
    EXPECT_EQ(t2->value(), "d2/t");
    EXPECT_LT(one.destroy(), 3s);
    // The other run is untouched by that stop.
    ASSERT_TRUE(publishUntil(broker.port(), "d2/t", "still two",
                             [&] { return a2->value() == "still two"; }));
    EXPECT_LT(two.destroy(), 3s);
    out.take();
}

TEST(DriverConcurrency, LastRegistrationServesEveryRun) {
    Broker broker;
    DriverDir dir;
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    auto a = dm.addDevice("dev1")->addVariable(VarSpec{"A", 16, "SubVariable", "c/t", "before"});

    Capture out(Capture::Stream::Out);
    RunningDriver common1(plugin, kCommon, &dm, common("dev1", broker));
    ASSERT_TRUE(log.waitFor("dev1.substate", 100));
    // The Common driver registers right after its first state; give it that
    // moment so that the AWS driver's registration is the last one.
    std::this_thread::sleep_for(300ms);
    // The AWS driver has no parameters: its subscription ends at once, its
    // registration stays.
    RunningDriver aws(plugin, kAws, &dm, kAwsSettings);
    ASSERT_TRUE(log.waitFor("substate", 105));
    // The Common run's CONNACK now goes through the AWS status callback,
    // which knows no device state variable.
    ASSERT_TRUE(log.waitFor("substate", 0));
    ASSERT_TRUE(publishUntil(broker.port(), "c/t", "to aws",
                             [] { return runtimeVar("Recive-message") == "to aws"; }));
    EXPECT_EQ(runtimeVar("Recive-topic"), "c/t");
    EXPECT_EQ(a->value(), "before");
    EXPECT_EQ(log.ints("dev1.substate"), (std::vector<int>{100, 101}));
    EXPECT_LT(aws.destroy(), 3s);
    EXPECT_LT(common1.destroy(), 3s);
    out.take();
}

struct StopCase {
    const char* name;
    bool waitSubscribed; // destroy while the subscribers run, else in the first pause
};
void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class DriverStopConcurrency : public ::testing::TestWithParam<StopCase> {};

// Running drivers of both kinds (one of them without a device) are destroyed
// as the host does, from its own thread: each delete returns promptly, the
// other drivers' runs go on undisturbed, no thread is left, and nothing is
// written or printed afterwards.
TEST_P(DriverStopConcurrency, DestroyingRunningDriversEndsExactlyTheirThreads) {
    Broker broker;
    DriverDir dir;
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    dm.addDevice("dev1")->addVariable(VarSpec{"A", 16, "SubVariable", "s/t", ""});
    kro::test::configureAws(broker, "aws/1");
    // A sanitizer's runtime starts a helper thread of its own once the first
    // thread has been made: let it, before counting.
    std::thread([] {}).join();
    const int threadsBefore = kro::test::threadCount();

    {
        Capture out(Capture::Stream::Out);
        RunningDriver common1(plugin, kCommon, &dm, common("dev1", broker));
        RunningDriver orphan(plugin, kCommon, &dm, common("nodev", broker));
        ASSERT_TRUE(log.waitFor("dev1.substate", 100));
        ASSERT_TRUE(log.waitFor("nodev.substate", 100));
        // The AWS drivers register last, so every run's messages reach the
        // runtime variables, whoever runs it.
        std::this_thread::sleep_for(300ms);
        RunningDriver aws1(plugin, kAws, &dm, kAwsSettings);
        RunningDriver aws2(plugin, kAws, &dm, kAwsSettings);
        ASSERT_TRUE(log.waitFor("substate", 100, 20s, 4));
        if (GetParam().waitSubscribed) {
            // Both AWS runs and the Common run are connected.
            ASSERT_TRUE(log.waitFor("substate", 0, 20s, 3));
        }
        EXPECT_LT(aws1.destroy(), 3s);
        EXPECT_LT(orphan.destroy(), 3s);
        if (GetParam().waitSubscribed) {
            // The other context-less run was not stopped with its neighbour:
            // it still receives, and reports no end of run.
            const size_t states = log.values("substate").size();
            ASSERT_TRUE(publishUntil(broker.port(), "aws/1", "after",
                                     [] { return runtimeVar("Recive-message") == "after"; }));
            ASSERT_TRUE(publishUntil(broker.port(), "s/t", "common",
                                     [] { return runtimeVar("Recive-message") == "common"; }));
            EXPECT_EQ(runtimeVar("Recive-topic"), "s/t");
            EXPECT_EQ(log.values("substate").size(), states);
        }
        EXPECT_LT(common1.destroy(), 3s);
        EXPECT_LT(aws2.destroy(), 3s);
        log.seal();
        out.take();
    }
    Capture after(Capture::Stream::Out);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(after.take(), "");
    EXPECT_EQ(log.late(), std::vector<std::string>{});
    EXPECT_EQ(kro::test::threadCount(), threadsBefore);
}

INSTANTIATE_TEST_SUITE_P(Cases, DriverStopConcurrency,
                         ::testing::Values(StopCase{"during_first_pause", false},
                                           StopCase{"while_subscribed", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
