// The JSON object of %j and %J, the ISO 8601 time stamp and the '@' time codes.

#include <gtest/gtest.h>

#include <ctime>
#include <ostream>
#include <regex>
#include <string>

#include "unit/test_output_helpers.h"

namespace {

using kro::test::Capture;
using kro::test::Message;
using kro::test::print_captured;
using kro::test::Record;

using namespace std::string_literals;

// 2024-05-01 12:00:00, with the zone the C library reports for it.
struct tm fixed_time() {
    struct tm t = {};
    t.tm_year = 124;
    t.tm_mon = 4;
    t.tm_mday = 1;
    t.tm_hour = 12;
    t.tm_min = 0;
    t.tm_sec = 0;
    return t;
}

std::string zone_of(const struct tm& t) {
    char buf[32];
    size_t n = strftime(buf, sizeof(buf), "%z", &t);
    return std::string(buf, n);
}

struct StampCase {
    const char* name;
    int ns;
    const char* text; // without the zone
};
void PrintTo(const StampCase& c, std::ostream* os) {
    *os << c.name;
}

class OutputTimeStamp : public ::testing::TestWithParam<StampCase> {};

TEST_P(OutputTimeStamp, MicrosecondsFromNanoseconds) {
    struct tm t = fixed_time();
    char buf[100];
    format_time_8601(&t, GetParam().ns, buf, sizeof(buf));
    EXPECT_EQ(std::string(buf), GetParam().text + zone_of(t));
}

INSTANTIATE_TEST_SUITE_P(
    Fractions, OutputTimeStamp,
    ::testing::Values(StampCase{"Zero", 0, "2024-05-01T12:00:00.000000"},
                      StampCase{"QuarterSecond", 250000000, "2024-05-01T12:00:00.250000"},
                      StampCase{"LastMillisecond", 999000000, "2024-05-01T12:00:00.999000"},
                      StampCase{"SubMicrosecondDropped", 123456789, "2024-05-01T12:00:00.123456"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OutputTimeStampBuffer, ShortBufferStaysInsideAndTerminated) {
    struct tm t = fixed_time();
    for (size_t len : {size_t{1}, size_t{10}, size_t{20}, size_t{24}, size_t{27}}) {
        char buf[64];
        std::memset(buf, '#', sizeof(buf));
        format_time_8601(&t, 250000000, buf, len);
        std::string written(buf, len);
        EXPECT_NE(written.find('\0'), std::string::npos) << "len " << len;
        EXPECT_EQ(buf[len], '#') << "len " << len;
        EXPECT_EQ(std::string(buf),
                  std::string("2024-05-01T12:00:00.250000").substr(0, strlen(buf)))
            << "len " << len;
    }
}

struct JsonCase {
    const char* name;
    std::string topic;
    std::string payload;
    int qos;
    bool retain;
    int mid;
    bool escaped;
    int result;
    std::string after_tst; // everything after the time stamp's closing quote
};
void PrintTo(const JsonCase& c, std::ostream* os) {
    *os << c.name;
}

class OutputJson : public ::testing::TestWithParam<JsonCase> {};

TEST_P(OutputJson, WritesOneCompactObject) {
    const JsonCase& c = GetParam();
    Message message(c.topic, c.payload, c.qos, c.retain, c.mid);
    struct tm t = fixed_time();
    int result = 0;
    Capture out(Capture::Stream::Out);
    result = json_print(message.get(), nullptr, &t, 250000000, c.escaped, true);
    std::string text = out.take();

    EXPECT_EQ(result, c.result);
    if (c.result != 0) {
        EXPECT_EQ(text, "");
        return;
    }
    std::string head = "{\"tst\":\"2024-05-01T12:00:00.250000" + zone_of(t) + "\"";
    EXPECT_EQ(text, head + c.after_tst);
}

INSTANTIATE_TEST_SUITE_P(
    Objects, OutputJson,
    ::testing::Values(
        JsonCase{"EscapedQos0HasNoMid", "a/b", "21.5", 0, false, 4, true, 0,
                 R"(,"topic":"a/b","qos":0,"retain":0,"payloadlen":4,"payload":"21.5"})"},
        JsonCase{"EscapedQos1HasMidAfterLength", "a/b", "on", 1, true, 9, true, 0,
                 R"(,"topic":"a/b","qos":1,"retain":1,"payloadlen":2,"mid":9,"payload":"on"})"},
        JsonCase{"Qos2HasMid", "t", "x", 2, false, 65535, true, 0,
                 R"(,"topic":"t","qos":2,"retain":0,"payloadlen":1,"mid":65535,"payload":"x"})"},
        JsonCase{"QuoteBecomesUnicodeEscape", "a/b", "say \"hi\"", 0, false, 0, true, 0,
                 R"(,"topic":"a/b","qos":0,"retain":0,"payloadlen":8,)"
                 R"("payload":"say \u0022hi\u0022"})"},
        JsonCase{"BackslashAndControls", "a", "\\\n\t\0\x1f"s, 0, false, 0, true, 0,
                 R"(,"topic":"a","qos":0,"retain":0,"payloadlen":5,)"
                 R"("payload":"\u005c\u000a\u0009\u0000\u001f"})"},
        JsonCase{"HighBytesPassUnchanged", "a", "\xc3\xa9\x7f", 0, false, 0, true, 0,
                 ",\"topic\":\"a\",\"qos\":0,\"retain\":0,\"payloadlen\":3,"
                 "\"payload\":\"\xc3\xa9\x7f\"}"},
        JsonCase{"EmptyPayloadEscaped", "a", "", 0, false, 0, true, 0,
                 R"(,"topic":"a","qos":0,"retain":0,"payloadlen":0,"payload":""})"},
        // A topic may hold characters a JSON string cannot carry raw.
        JsonCase{"TopicWithQuoteEscaped", "a\"b\\c", "1", 0, false, 0, true, 0,
                 R"(,"topic":"a\u0022b\u005cc","qos":0,"retain":0,"payloadlen":1,"payload":"1"})"},
        JsonCase{"RawObjectInserted", "a/b", R"({"t": [1, 2.5, "x"]})", 1, false, 3, false, 0,
                 R"(,"topic":"a/b","qos":1,"retain":0,"payloadlen":20,"mid":3,)"
                 R"("payload":{"t": [1, 2.5, "x"]}})"},
        JsonCase{"RawNumberInserted", "a/b", "21.5", 0, false, 0, false, 0,
                 R"(,"topic":"a/b","qos":0,"retain":0,"payloadlen":4,"payload":21.5})"},
        JsonCase{"RawInvalidRefused", "a/b", "{\"a\":", 0, false, 0, false, 3, ""},
        JsonCase{"RawPlainTextRefused", "a/b", "on", 0, false, 0, false, 3, ""},
        JsonCase{"RawTrailingGarbageRefused", "a/b", "{} x", 0, false, 0, false, 3, ""},
        JsonCase{"RawEmptyRefused", "a/b", "", 0, false, 0, false, 3, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Through the format walk: the time is now, so only the shape is checked.
struct JsonCodeCase {
    const char* name;
    const char* format;
    std::string payload;
    bool quiet;
    const char* out_pattern; // regular expression over standard output
    std::string err;
};
void PrintTo(const JsonCodeCase& c, std::ostream* os) {
    *os << c.name;
}

class OutputJsonCode : public ::testing::TestWithParam<JsonCodeCase> {};

TEST_P(OutputJsonCode, WritesObjectOrReports) {
    const JsonCodeCase& c = GetParam();
    Record record(c.format);
    record->quiet = c.quiet;
    Message message("a/b", c.payload, 1, false, 7);
    auto printed = print_captured(record.get(), message.get(), nullptr);
    EXPECT_TRUE(std::regex_match(printed.out, std::regex(c.out_pattern))) << printed.out;
    EXPECT_EQ(printed.err, c.err);
}

#define TST R"(\{"tst":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}000[^"]*",)"

INSTANTIATE_TEST_SUITE_P(
    Codes, OutputJsonCode,
    ::testing::Values(JsonCodeCase{"EscapedPayload", "%j", "a\"b", false,
                                   TST R"("topic":"a/b","qos":1,"retain":0,"payloadlen":3,"mid":7,)"
                                       R"("payload":"a\\u0022b"\}\n)",
                                   ""},
                      JsonCodeCase{"RawValidPayload", "%J", R"({"v":1})", false,
                                   TST R"("topic":"a/b","qos":1,"retain":0,"payloadlen":7,"mid":7,)"
                                       R"("payload":\{"v":1\}\}\n)",
                                   ""},
                      JsonCodeCase{"RawInvalidReported", "<%J>", "{oops", false, "<>\n",
                                   "Error: Message payload is not valid JSON on topic a/b.\n"},
                      JsonCodeCase{"RawInvalidQuiet", "<%J>", "{oops", true, "<>\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

#undef TST

// '@' codes and %I read the clock: checked for shape and closeness to now.
struct TimeCodeCase {
    const char* name;
    const char* format;
    const char* out_pattern;
    bool year_group = true; // the first group is the four-digit year
};
void PrintTo(const TimeCodeCase& c, std::ostream* os) {
    *os << c.name;
}

class OutputTimeCodes : public ::testing::TestWithParam<TimeCodeCase> {};

TEST_P(OutputTimeCodes, ShowTheCurrentLocalTime) {
    Record record(GetParam().format);
    Message message("a/b", "x");
    time_t before = time(nullptr);
    auto printed = print_captured(record.get(), message.get(), nullptr);
    time_t after = time(nullptr);

    std::smatch m;
    ASSERT_TRUE(std::regex_match(printed.out, m, std::regex(GetParam().out_pattern)))
        << printed.out;
    EXPECT_EQ(printed.err, "");
    if (GetParam().year_group) {
        struct tm lo, hi;
        localtime_r(&before, &lo);
        localtime_r(&after, &hi);
        int year = std::stoi(m[1].str());
        EXPECT_TRUE(year == lo.tm_year + 1900 || year == hi.tm_year + 1900) << year;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, OutputTimeCodes,
    ::testing::Values(TimeCodeCase{"DateTimeAndNanoseconds", "@Y-@m-@dT@H:@M:@S.@N",
                                   R"((\d{4})-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}000000\n)"},
                      TimeCodeCase{"AtAmongTimeCodes", "@@@Y@@", R"(@(\d{4})@\n)"},
                      TimeCodeCase{"SameInstantTwice", "@N|@N", R"((\d{9})\|\1\n)", false},
                      // Conversions the C library does not know come out as it decides.
                      TimeCodeCase{"UnknownTimeCodes", "<@q@E@#@->", R"(<[^\n]*>\n)", false},
                      TimeCodeCase{"IsoTimeCode", "%I",
                                   R"((\d{4})-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d{4}\n)"},
                      TimeCodeCase{"IsoTimeCodeInWidth", "%-30I|",
                                   R"((\d{4})-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d{4}      \|\n)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OutputGetTime, OneReadingMatchesTheClock) {
    for (int i = 0; i < 50; ++i) {
        time_t before = time(nullptr);
        struct tm t;
        long ns = -1;
        ASSERT_EQ(get_time(&t, &ns), 0);
        time_t after = time(nullptr);
        EXPECT_GE(ns, 0);
        EXPECT_LT(ns, 1000000000L);
        EXPECT_EQ(ns % 1000000L, 0) << "whole milliseconds";
        time_t read = mktime(&t);
        EXPECT_GE(read, before);
        EXPECT_LE(read, after);
    }
}

} // namespace
