// Construction of the Common driver from its settings text.

#include <gtest/gtest.h>

#include <tuple>

#include "drivers/CommonMqttClient.h"
#include "drivers/driver_settings.h"
#include "kro_host.h"
#include "publish/publish_session.h"
#include "publish/publish_settings.h"
#include "support/capture.h"

namespace {

struct SettingsCase {
    const char* name;
    const char* settings;
    std::string host, port, stateVar;
    bool hasDevice;
};

class CommonSettings : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(CommonSettings, ReadsHostPortDeviceAndStateName) {
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    const SettingsCase& c = GetParam();
    CommonMqttClient client(&dm, c.settings);
    EXPECT_EQ(client.mhost, c.host);
    EXPECT_EQ(client.mport, c.port);
    EXPECT_EQ(client.mstateVar, c.stateVar);
    EXPECT_EQ(client.pDev, c.hasDevice ? static_cast<kro::IDevice*>(dev) : nullptr);
    EXPECT_TRUE(client.mtopic_sub.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Keys, CommonSettings,
    ::testing::Values(
        SettingsCase{"HostWinsOverAddr",
                     R"({"DeviceId":"dev1","host":"h1","addr":"a1","port":"1883"})", "h1", "1883",
                     "dev1.substate", true},
        SettingsCase{"EmptyHostFallsBackToAddr", R"({"DeviceId":"dev1","host":"","addr":"a1"})",
                     "a1", "", "dev1.substate", true},
        SettingsCase{"AbsentHostFallsBackToAddr", R"({"DeviceId":"dev1","addr":"a1"})", "a1", "",
                     "dev1.substate", true},
        SettingsCase{"NumericPortAsDecimalText", R"({"DeviceId":"dev1","host":"h","port":8883})",
                     "h", "8883", "dev1.substate", true},
        SettingsCase{"NoDeviceId", R"({"host":"h","port":"1"})", "h", "1", ".substate", false},
        SettingsCase{"UnknownDeviceId", R"({"DeviceId":"nosuch","host":"h"})", "h", "",
                     "nosuch.substate", false},
        SettingsCase{"NotJson", "{{{", "", "", ".substate", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommonSettingsFields, EveryKeyLandsInItsFieldUnchanged) {
    kro::host::DeviceManager dm;
    CommonMqttClient c(&dm, R"({"Protocol":"COMMONMQTT","DeviceId":"d","host":" h ","port":"p",
        "clientid":"cid","username":"u","password":"pw","cafile":"ca.pem","cert":"c.pem",
        "key":"k.pem","AdditionPubArgs":"-q 1","AdditionSubArgs":"-q 2","oneConnetTime":"30",
        "keepalive":"99"})");
    EXPECT_EQ(c.mhost, " h ");
    EXPECT_EQ(c.mclientid, "cid");
    EXPECT_EQ(c.musername, "u");
    EXPECT_EQ(c.mpassword, "pw");
    EXPECT_EQ(c.mcafile, "ca.pem");
    EXPECT_EQ(c.mcert, "c.pem");
    EXPECT_EQ(c.mkey, "k.pem");
    EXPECT_EQ(c.mAdditionPubArg, "-q 1");
    EXPECT_EQ(c.mAdditionSubArg, "-q 2");
    EXPECT_EQ(c.mkeepAlive, "30");
}

TEST(CommonSettingsFields, NullDeviceManagerGivesNullDevice) {
    CommonMqttClient c(nullptr, R"({"DeviceId":"d"})");
    EXPECT_EQ(c.pDev, nullptr);
    EXPECT_EQ(c.mstateVar, "d.substate");
}

struct TimeoutCase {
    const char* name;
    const char* settings;
    long seconds;
    std::string printed;
};

class PubTimeoutSetting : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(PubTimeoutSetting, WholeSecondsOrTheDefaultWithAReport) {
    kro::test::Capture out(kro::test::Capture::Stream::Out);
    EXPECT_EQ(readPubTimeout(GetParam().settings).count(), GetParam().seconds);
    EXPECT_EQ(out.take(), GetParam().printed);
}

const std::string kNotWhole = "[kro error]PubTimeout must be a whole number of seconds (0: no "
                              "limit), not ";

INSTANTIATE_TEST_SUITE_P(
    Values, PubTimeoutSetting,
    ::testing::Values(TimeoutCase{"Absent", "{}", 30, ""},
                      TimeoutCase{"Number", R"({"PubTimeout":5})", 5, ""},
                      TimeoutCase{"ZeroIsNoLimit", R"({"PubTimeout":"0"})", 0, ""},
                      TimeoutCase{"Fraction", R"({"PubTimeout":1.5})", 30,
                                  kNotWhole + "\"1.5\"; using 30\n"},
                      TimeoutCase{"TooLarge", R"({"PubTimeout":"9999999999"})", 30,
                                  kNotWhole + "\"9999999999\"; using 30\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Session mode only for the exact word; the buffer a whole number from 1.
TEST(PublishSessionSettings, ModeAndBuffer) {
    EXPECT_EQ(readPubMode(R"({"PubMode":"session"})"), PubMode::Session);
    for (const char* other : {"{}", R"({"PubMode":"Session"})", R"({"PubMode":"process"})"})
        EXPECT_EQ(readPubMode(other), PubMode::Process) << other;
    const std::string refused =
        "[kro error]PubBuffer must be a whole number of values from 1, not ";
    const std::pair<const char*, std::pair<size_t, std::string>> cases[] = {
        {"{}", {100000, ""}},
        {R"({"PubBuffer":5})", {5, ""}},
        {R"({"PubBuffer":"0"})", {100000, refused + "\"0\"; using 100000\n"}},
        {R"({"PubBuffer":"-1"})", {100000, refused + "\"-1\"; using 100000\n"}},
    };
    for (const auto& [settings, expected] : cases) {
        kro::test::Capture out(kro::test::Capture::Stream::Out);
        EXPECT_EQ(readPubBuffer(settings), expected.first) << settings;
        EXPECT_EQ(out.take(), expected.second) << settings;
    }
    // The store's bounds and the reconnect pause: defaults, values, refusals.
    kro::test::Capture out(kro::test::Capture::Stream::Out);
    const SessionSettings plain = readSessionSettings("{}");
    EXPECT_EQ(std::make_tuple(plain.store, plain.storeLimitMiB, plain.storeMaxAgeSeconds,
                              plain.reconnectMaxSeconds),
              std::make_tuple(std::string(), 1024u, 0u, 60u));
    const SessionSettings set = readSessionSettings(
        R"({"PubStore":"a.db","PubStoreLimit":5,"PubStoreMaxAge":"7","PubReconnectMax":"0"})");
    EXPECT_EQ(std::make_tuple(set.store, set.storeLimitMiB, set.storeMaxAgeSeconds,
                              set.reconnectMaxSeconds),
              std::make_tuple(std::string("a.db"), 5u, 7u, 60u));
    EXPECT_EQ(out.take(), "[kro error]PubReconnectMax must be a whole number of seconds from 1, "
                          "not \"0\"; using 60\n");
    kro::test::Capture nul(kro::test::Capture::Stream::Out);
    EXPECT_EQ(readSessionSettings(R"({"PubStore":"a\u0000b"})").store, "");
    EXPECT_EQ(nul.take(), "[kro error]setting \"PubStore\" holds a NUL character: values are "
                          "kept in memory only\n");
    // The pace: none for the Common driver, AWS IoT Core's limits for the AWS one unless set;
    // in process mode it does not apply, and says so.
    const SessionSettings common = readSessionSettings("{}"), aws = readSessionSettings("{}", true);
    const SessionSettings raised = readSessionSettings(R"({"PubRate":0,"PubInflight":"20"})", true);
    EXPECT_EQ(std::make_tuple(common.paced(), common.maxBytes, common.ackTimeoutSeconds),
              std::make_tuple(false, 0u, 10u));
    EXPECT_EQ(std::make_tuple(aws.rate, aws.byteRate, aws.inflight, aws.maxBytes),
              std::make_tuple(100u, 524288u, 100u, 131072u));
    EXPECT_EQ(std::make_tuple(raised.rate, raised.inflight), std::make_tuple(0u, 20u));
    kro::test::Capture process(kro::test::Capture::Stream::Out);
    EXPECT_EQ(makePublishSession(R"({"PubRate":"5"})", "", true), nullptr);
    EXPECT_EQ(process.take(), "[kro error]PubRate needs \"PubMode\": \"session\"; values are "
                              "published one publisher process each, without it\n");
    // Batches: refusals say how values go; the bound is the smallest one known.
    const std::pair<const char*, const char*> batchLines[] = {
        {R"({"PubBatch":"5"})",
         "[kro error]PubBatch needs \"PubMode\": \"session\"; values are published one by one\n"},
        {R"({"PubMode":"session","PubBatch":"1"})",
         "[kro error]PubBatch must be a whole number of values from 2, not \"1\": values are "
         "published one by one\n"},
        {R"({"PubMode":"session","PubBatch":"5","PubBatchTemplate":"[${values}"})",
         "[kro error]PubBatchTemplate is not valid JSON (not valid JSON once its placeholders are "
         "filled): batches are published as arrays\n"}};
    for (const auto& [settings, line] : batchLines) {
        kro::test::Capture lines(kro::test::Capture::Stream::Out);
        EXPECT_FALSE(readBatchSettings(settings, "").wrapper);
        EXPECT_EQ(lines.take(), line);
    }
    BatchSettings batch = readBatchSettings(R"({"PubMode":"session","PubBatch":"5"})", "");
    EXPECT_EQ(std::make_tuple(batch.most, batch.wait.count()), std::make_tuple(5u, 100));
    EXPECT_EQ(std::make_tuple(batch.limit(0, 0), batch.limit(10000, 0), batch.limit(10000, 5000),
                              batch.limit(600, 0)),
              std::make_tuple(262144u, 9488u, 5000u, 600u));
    batch.bytes = 400;
    EXPECT_EQ(batch.limit(10000, 300), 400u);
    // The reconnect pause: 1 s, doubling, capped at PubReconnectMax (never below 1 s).
    using ms = std::chrono::milliseconds;
    const std::tuple<ms, int, ms> pauses[] = {
        {ms(0), 60, ms(1000)},      {ms(1000), 60, ms(2000)},   {ms(16000), 60, ms(32000)},
        {ms(32000), 60, ms(60000)}, {ms(60000), 60, ms(60000)}, {ms(1000), 1, ms(1000)},
        {ms(0), 0, ms(1000)}};
    for (const auto& [previous, most, next] : pauses)
        EXPECT_EQ(reconnectPause(previous, std::chrono::seconds(most)), next) << previous.count();
}

} // namespace
