// The session against a broker that keeps a cloud broker's quotas: paced
// within them, or, unpaced, slowed by what the broker does over them; and a
// value too large for the broker set aside before it is sent.
#include <set>

#include <gtest/gtest.h>

#include "support/capture.h"
#include "support/quota_broker.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using kro::host::VarSpec;
using kro::test::Capture;
using kro::test::Plugin;
using kro::test::QuotaBroker;
using kro::test::RunningDriver;
using kro::test::StateLog;
using kro::test::waitUntil;

std::string quotaSettings(int port, std::map<std::string, std::string> more) {
    more.insert({{"DeviceId", "dev1"},
                 {"host", "127.0.0.1"},
                 {"port", std::to_string(port)},
                 {"PubMode", "session"}});
    return kro::test::commonSettings(more);
}

// 300 values posted at once to a 100/s broker: every one is taken, none set
// aside. Unpaced, MQTT 3.1.1 stalls on what the broker dropped until the
// acknowledgement bound reconnects; MQTT 5 is refused with 0x97 and retried.
TEST(DriverQuota, EveryValueArrivesPacedOrSlowedByTheBroker) {
    const struct {
        const char* name;
        const char* args;
        const char* rate;
        bool stall;
    } rows[] = {
        {"v3-unpaced", "-q 1", "", true},
        {"v5-unpaced", "-q 1 -V 5", "", false},
        {"v3-paced", "-q 1", "100", false},
        {"v5-paced", "-q 1 -V 5", "100", false},
    };
    constexpr int kValues = 300;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QuotaBroker broker;
        StateLog log;
        Plugin plugin;
        kro::host::DeviceManager dm;
        auto p = dm.addDevice("dev1")->addVariable(VarSpec{"P", 16, "PubVariable", "q/p", ""});
        Capture out(Capture::Stream::Out);
        RunningDriver driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                             quotaSettings(broker.port(), {{"AdditionPubArgs", row.args},
                                                           {"PubRate", row.rate},
                                                           {"PubAckTimeout", "2"}}));
        for (int i = 0; i < kValues; ++i) {
            p->setStrValue(std::to_string(i).c_str(), true);
            driver->postData(p);
        }
        const auto taken = [&] {
            std::set<std::string> seen;
            for (const auto& m : broker.accepted())
                seen.insert(m.payload);
            return seen.size();
        };
        EXPECT_TRUE(waitUntil([&] { return taken() == kValues; }, 120s)) << taken();
        EXPECT_LT(driver.destroy(), 3s);
        const std::string printed = out.take();
        for (const int dropped : log.ints("dev1.pubdropped"))
            EXPECT_EQ(dropped, 0) << printed;
        const bool paced = *row.rate != 0;
        EXPECT_EQ(broker.counts().throttled == 0, paced);
        EXPECT_EQ(printed.find("[kro error]publish: no acknowledgement within 2 s for ") !=
                      std::string::npos,
                  row.stall)
            << printed;
    }
}

// Larger than the broker's Maximum Packet Size (MQTT 5) or "PubMaxBytes": set
// aside at once, the connection kept, the next value sent.
TEST(DriverQuota, AValueTooLargeForTheBrokerIsSetAsideBeforeItIsSent) {
    const struct {
        const char* args;
        const char* maxBytes;
        size_t length;
        const char* line;
    } rows[] = {
        {"-q 1 -V 5", "", 2000, "2000 bytes, more than the broker takes (1000): q/p\n"},
        {"-q 1", "500", 600, "600 bytes, more than the broker takes (500): q/p\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        kro::test::QuotaSettings limits;
        limits.maxPacketSize = 1000;
        QuotaBroker broker(limits);
        StateLog log;
        Plugin plugin;
        kro::host::DeviceManager dm;
        auto p = dm.addDevice("dev1")->addVariable(VarSpec{"P", 4096, "PubVariable", "q/p", ""});
        Capture out(Capture::Stream::Out);
        RunningDriver driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                             quotaSettings(broker.port(), {{"AdditionPubArgs", row.args},
                                                           {"PubMaxBytes", row.maxBytes}}));
        for (const std::string& v : {std::string(row.length, 'x'), std::string("ok")}) {
            p->setStrValue(v.c_str(), true);
            driver->postData(p);
        }
        ASSERT_TRUE(broker.waitAccepted(1, 10s));
        EXPECT_TRUE(log.waitFor("dev1.pubdropped", 1, 5s));
        EXPECT_LT(driver.destroy(), 3s);
        EXPECT_EQ(broker.accepted()[0].payload, "ok");
        EXPECT_EQ(broker.connections().size(), 1u);
        EXPECT_EQ(broker.counts().oversized, 0u);
        const std::string printed = out.take();
        EXPECT_NE(printed.find(std::string("[kro error]publish set aside: ") + row.line),
                  std::string::npos)
            << printed;
    }
}

} // namespace
