// A driver on a three-node cluster: both sides move to the next node when theirs dies, and no
// value the driver was given is lost. The node logs tell the driver's losses (values no node
// accepted) from the cluster's (values a node acknowledged and died with).
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>

#include "support/capture.h"
#include "support/cluster.h"
#include "support/mqtt_probe.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using kro::host::VarSpec;
using kro::test::Capture;
using kro::test::Cluster;
using kro::test::commonSettings;
using kro::test::Plugin;
using kro::test::RunningDriver;
using kro::test::StateLog;
using kro::test::waitUntil;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(DriverCluster, BothSidesMoveToTheNextNodeAndTheDriverLosesNoValue) {
    if (Cluster::disabled())
        GTEST_SKIP() << "KRO_NO_CLUSTER is set";
    Cluster cluster;
    const std::string host = "127.0.0.1:" + std::to_string(cluster.port(0)) +
                             ",127.0.0.1:" + std::to_string(cluster.port(1)) +
                             ",127.0.0.1:" + std::to_string(cluster.port(2));
    kro::test::Probe watcher({kro::test::plainConnection(cluster.port(2)), {"cl/v"}, 1});
    ASSERT_TRUE(watcher.waitConnected(10s));
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    auto p = dev->addVariable(VarSpec{"P", 64, "PubVariable", "cl/v", ""});
    auto in = dev->addVariable(VarSpec{"In", 64, "SubVariable", "cl/in", ""});
    Capture out(Capture::Stream::Out);
    RunningDriver driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                         commonSettings({{"DeviceId", "dev1"},
                                         {"host", host},
                                         {"port", "1883"},
                                         {"clientid", "drv"},
                                         {"PubMode", "session"},
                                         {"AdditionPubArgs", "-q 1"},
                                         {"PubReconnectMax", "2"}}));
    const std::string first = "127.0.0.1:" + std::to_string(cluster.port(0));
    ASSERT_TRUE(log.waitFor("dev1.substate", 0, 20s));
    ASSERT_TRUE(log.waitFor("dev1.broker", first, 20s)) << out.peek();

    constexpr int kValues = 2000;
    std::chrono::steady_clock::time_point killedAt;
    for (int i = 0; i < kValues; ++i) {
        p->setStrValue(std::to_string(i).c_str(), true);
        driver->postData(p);
        if (i == kValues / 2) {
            cluster.kill(0);
            killedAt = std::chrono::steady_clock::now();
        }
        if (i % 20 == 0)
            std::this_thread::sleep_for(2ms);
    }
    const std::string second = "127.0.0.1:" + std::to_string(cluster.port(1));
    ASSERT_TRUE(log.waitFor("dev1.broker", second, 20s)) << out.peek();
    const auto moved = std::chrono::steady_clock::now() - killedAt;
    ASSERT_TRUE(waitUntil(
        [&] {
            return !log.values("dev1.pubwaiting").empty() &&
                   log.values("dev1.pubwaiting").back() == "0";
        },
        30s));

    // The subscriber side moved too: a message on node 2 reaches the variable.
    ASSERT_TRUE(waitUntil(
        [&] {
            kro::test::publish(cluster.port(2), "cl/in", "after", 1);
            return std::string(in->getStrValue()) == "after";
        },
        30s));

    std::set<std::string> accepted, deadNode;
    for (int node = 0; node < 3; ++node)
        for (const kro::test::Accepted& a : cluster.received(node))
            if (a.topic == "cl/v") {
                accepted.insert(a.payload);
                if (node == 0)
                    deadNode.insert(a.payload);
            }
    std::set<std::string> delivered;
    for (const auto& m : watcher.messages())
        delivered.insert(m.payload);
    size_t driverLost = 0, clusterLost = 0;
    for (int i = 0; i < kValues; ++i) {
        const std::string v = std::to_string(i);
        driverLost += !accepted.count(v);
        clusterLost += !delivered.count(v) && deadNode.count(v);
    }
    std::fprintf(stderr,
                 "[ cluster ] moved to the next node %lld ms after the kill; values lost by the "
                 "driver %zu, by the cluster %zu (of %d)\n",
                 static_cast<long long>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(moved).count()),
                 driverLost, clusterLost, kValues);
    EXPECT_EQ(driverLost, 0u);
    EXPECT_TRUE(contains(out.peek(), "[kro info]broker in use: " + second + "\n"));
}

} // namespace
