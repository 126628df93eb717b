// Report by exception: which posted values go, which quiet variables are due.
#include <gtest/gtest.h>

#include "publish/publish_exception.h"
#include "support/capture.h"

namespace {

using namespace std::chrono_literals;

TEST(ReportByException, FirstValueAndChangesBeyondTheDeadbandGo) {
    using Values = std::vector<std::string>;
    // Deadband, suffix, the values posted, and per value 1 published or 0 held back.
    const std::tuple<std::optional<double>, const char*, Values, const char*> rows[] = {
        {0.5, "", {"10", "10.5", "10.6", "9.9", "10.2"}, "10110"},
        {0.0, "", {"1", "1.0", "1e0", "1.0001", "-0", "0"}, "100110"},
        {100.0, "", {"on", "on", "On", "on ", "5", "5.0"}, "101110"},
        {0.5, " --retain", {"1 --retain", "1.2 --retain", "1.2", "1.3"}, "1010"},
    };
    for (const auto& [band, suffix, values, published] : rows) {
        ReportByException rbe({band, 0s}, suffix);
        std::string got;
        for (const std::string& value : values)
            got += rbe.offer("v", value, {}) ? '1' : '0';
        EXPECT_EQ(got, published);
        EXPECT_EQ(rbe.skipped(), uint64_t(std::count(got.begin(), got.end(), '0'))) << got;
    }
}

TEST(ReportByException, HeartbeatRepeatsTheLatestValueOfQuietVariables) {
    ReportByException rbe({1.0, 10s});
    const ReportByException::Clock::time_point t0{};
    // At each second in turn: a post ("key=value": + published, - held back) or what is due.
    const std::tuple<int, const char*, const char*> steps[] = {
        {0, "a=1", "+"},      {3, "b=5", "+"},    {4, "a=1.5", "-"},  {9, "due", ""},
        {10, "due", "a=1.5"}, {11, "a=1.6", "-"}, {13, "due", "b=5"}, {14, "b=9", "+"},
        {20, "due", "a=1.6"}, {23, "due", ""},    {24, "due", "b=9"}};
    for (const auto& [at, step, expected] : steps) {
        const auto t = t0 + std::chrono::seconds(at);
        const std::string what = step;
        std::string got;
        if (what == "due")
            for (const auto& d : rbe.due(t))
                got += d.key + "=" + d.value;
        else
            got = rbe.offer(what.substr(0, 1), what.substr(2), t) ? "+" : "-";
        EXPECT_EQ(got, expected) << at;
    }
    // The counter: at once, then when it changed and a second has passed.
    EXPECT_EQ(rbe.skippedToWrite(t0), std::optional<uint64_t>(2));
    EXPECT_FALSE(rbe.offer("b", "9", t0 + 31s));
    EXPECT_EQ(rbe.skippedToWrite(t0 + 999ms), std::nullopt);
    EXPECT_EQ(rbe.skippedToWrite(t0 + 1s), std::optional<uint64_t>(3));
}

TEST(ReportByException, RefusedSettingsAreSaidAndNotUsed) {
    const std::string band = "[kro error]PubDeadband must be a number from 0, not \"";
    const std::string beat =
        "[kro error]PubHeartbeat must be a whole number of seconds from 1, not \"";
    const std::string all = "\"; every posted value is published\n", none = "\"; no heartbeat\n";
    const std::tuple<const char*, std::optional<double>, long, std::string> rows[] = {
        {R"({"PubDeadband":"0.25","PubHeartbeat":"60"})", 0.25, 60, ""},
        {R"({"PubDeadband":"0","PubHeartbeat":"1"})", 0.0, 1, ""},
        {R"({"PubHeartbeat":"999999999"})", std::nullopt, 999999999, ""},
        {R"({"PubDeadband":"-1"})", std::nullopt, 0, band + "-1" + all},
        {R"({"PubHeartbeat":"0"})", std::nullopt, 0, beat + "0" + none},
        {R"({"PubHeartbeat":"99999999999"})", std::nullopt, 0, beat + "99999999999" + none},
    };
    for (const auto& [settings, deadband, heartbeat, line] : rows) {
        kro::test::Capture out(kro::test::Capture::Stream::Out);
        const ExceptionSettings s = readExceptionSettings(settings);
        EXPECT_EQ(std::make_tuple(s.deadband, s.heartbeat.count(), out.take()),
                  std::make_tuple(deadband, heartbeat, line));
        EXPECT_EQ(makeReportByException(settings, true) != nullptr, s.any()) << settings;
    }
}

} // namespace
