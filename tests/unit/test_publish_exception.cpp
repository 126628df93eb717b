// Report by exception: which posted values go, which quiet variables are due.
#include <gtest/gtest.h>

#include "publish/publish_exception.h"
#include "support/capture.h"

namespace {

using namespace std::chrono_literals;
using Clock = ReportByException::Clock;

TEST(ReportByException, PublishesTheFirstValueAndChangesBeyondTheDeadband) {
    const struct {
        const char* name;
        std::optional<double> deadband;
        const char* suffix;
        std::vector<std::string> values;
        const char* published; // per value: 1 published, 0 held back
    } rows[] = {
        {"numbers", 0.5, "", {"10", "10.5", "10.6", "9.9", "10.2"}, "10110"},
        {"zero band", 0.0, "", {"1", "1.0", "1e0", "1.0001", "-0", "0"}, "100110"},
        {"text by bytes", 100.0, "", {"on", "on", "On", "on "}, "1011"},
        {"number and text", 100.0, "", {"5", "five", "5", "5.0"}, "1110"},
        {"beyond a double", 1.0, "", {"1e308", "-1e308", "1e400"}, "111"},
        {"no band", std::nullopt, "", {"1", "1", "1"}, "111"},
        {"suffix", 0.5, " --retain", {"1 --retain", "1.2 --retain", "1.2", "1.3"}, "1010"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ReportByException rbe({row.deadband, 0s}, row.suffix);
        std::string got;
        for (const std::string& value : row.values)
            got += rbe.offer("v", value, Clock::now()) ? '1' : '0';
        EXPECT_EQ(got, row.published);
        EXPECT_EQ(rbe.skipped(), static_cast<uint64_t>(std::count(got.begin(), got.end(), '0')));
        EXPECT_TRUE(rbe.due(Clock::now() + 1000h).empty()); // no heartbeat set
    }
}

TEST(ReportByException, HeartbeatPublishesTheLatestValueOfQuietVariables) {
    ReportByException rbe({1.0, 10s});
    const Clock::time_point t0 = Clock::now();
    auto due = [&rbe, t0](std::chrono::seconds at) {
        std::string text;
        for (const ReportByException::Due& d : rbe.due(t0 + at))
            text += d.key + "=" + d.value + " ";
        return text;
    };
    EXPECT_TRUE(rbe.offer("a", "1", t0));
    EXPECT_TRUE(rbe.offer("b", "5", t0 + 3s));
    EXPECT_FALSE(rbe.offer("a", "1.5", t0 + 4s));
    EXPECT_TRUE(rbe.offer("a|b", "1.5", t0 + 4s)); // another variable: its first value
    EXPECT_EQ(due(9s), "");
    EXPECT_EQ(due(10s), "a=1.5 ");
    EXPECT_EQ(due(13s), "b=5 ");
    EXPECT_EQ(due(14s), "a|b=1.5 ");
    // Counted from the heartbeat: 1.6 is within the band of the 1.5 it sent.
    EXPECT_FALSE(rbe.offer("a", "1.6", t0 + 11s));
    EXPECT_TRUE(rbe.offer("b", "9", t0 + 21s));
    EXPECT_EQ(due(20s), "a=1.6 ");
    EXPECT_EQ(due(23s), "");
    EXPECT_EQ(due(24s), "a|b=1.5 ");
    EXPECT_EQ(due(30s), "a=1.6 ");
    EXPECT_EQ(due(31s), "b=9 ");
    // The counter: at once, then when it changed and a second has passed.
    EXPECT_EQ(rbe.skippedToWrite(t0), std::optional<uint64_t>(2));
    EXPECT_FALSE(rbe.offer("b", "9", t0 + 31s));
    EXPECT_EQ(rbe.skippedToWrite(t0 + 999ms), std::nullopt);
    EXPECT_EQ(rbe.skippedToWrite(t0 + 1s), std::optional<uint64_t>(3));
    EXPECT_EQ(rbe.skippedToWrite(t0 + 5s), std::nullopt);
}

TEST(ReportByException, SettingsRefusedWithALineAreNotUsed) {
    const std::string band = "[kro error]PubDeadband must be a number from 0, not ";
    const std::string beat =
        "[kro error]PubHeartbeat must be a whole number of seconds from 1, not ";
    const struct {
        const char* settings;
        std::optional<double> deadband;
        long heartbeat;
        std::string line;
    } rows[] = {
        {"{}", std::nullopt, 0, ""},
        {R"({"PubDeadband":"0.25","PubHeartbeat":"60"})", 0.25, 60, ""},
        {R"({"PubDeadband":0,"PubHeartbeat":1})", 0.0, 1, ""},
        {R"({"PubDeadband":"-1"})", std::nullopt, 0,
         band + "\"-1\"; every posted value is published\n"},
        {R"({"PubDeadband":"1,5"})", std::nullopt, 0,
         band + "\"1,5\"; every posted value is published\n"},
        {R"({"PubHeartbeat":"0"})", std::nullopt, 0, beat + "\"0\"; no heartbeat\n"},
        {R"({"PubHeartbeat":"1.5"})", std::nullopt, 0, beat + "\"1.5\"; no heartbeat\n"},
        {R"({"PubHeartbeat":"99999999999"})", std::nullopt, 0,
         beat + "\"99999999999\"; no heartbeat\n"},
    };
    for (const auto& row : rows) {
        kro::test::Capture out(kro::test::Capture::Stream::Out);
        const ExceptionSettings s = readExceptionSettings(row.settings);
        EXPECT_EQ(s.deadband, row.deadband) << row.settings;
        EXPECT_EQ(s.heartbeat.count(), row.heartbeat) << row.settings;
        EXPECT_EQ(out.take(), row.line) << row.settings;
        EXPECT_EQ(makeReportByException(row.settings, true) != nullptr, s.any()) << row.settings;
    }
}

} // namespace
