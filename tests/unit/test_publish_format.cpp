// The value shapes of "PubFormat" and "PubTemplate": what goes in as a JSON
// value, how bytes become string content, where a placeholder may stand.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "publish_format.h"
#include "support/capture.h"

namespace {

using nlohmann::json;

// A value where a JSON value stands: "n" number, "b" true/false, "s" string.
const std::pair<const char*, char> kValues[] = {
    {"0", 'n'},     {"-0", 'n'},       {"7", 'n'},     {"-12", 'n'},    {"1.5", 'n'},
    {"-0.25", 'n'}, {"1e5", 'n'},      {"1E+5", 'n'},  {"2e-3", 'n'},   {"1.5E-10", 'n'},
    {"1e308", 'n'}, {"1e-999", 'n'},   {"true", 'b'},  {"false", 'b'},  {"1.", 's'},
    {".5", 's'},    {"01", 's'},       {"1e", 's'},    {"1e+", 's'},    {"NaN", 's'},
    {"+1", 's'},    {"-", 's'},        {"", 's'},      {" 1", 's'},     {"1 ", 's'},
    {"0x1F", 's'},  {"Infinity", 's'}, {"1e999", 's'}, {"-2e308", 's'}, {"null", 's'},
    {"True", 's'},  {"1,5", 's'},      {"--1", 's'},   {"1.5.5", 's'},
};

TEST(PubFormatValue, NumbersAndBooleansAsTheyAreEverythingElseQuoted) {
    for (const auto& [value, kind] : kValues) {
        SCOPED_TRACE(value);
        std::string out;
        appendJsonValue(out, value);
        const json parsed = json::parse(out);
        if (kind == 's') {
            EXPECT_EQ(out, std::string("\"") + value + "\"");
            EXPECT_EQ(parsed.get<std::string>(), value);
        } else {
            EXPECT_EQ(out, value);
            EXPECT_EQ(parsed.is_number(), kind == 'n');
            EXPECT_EQ(parsed.is_boolean(), kind == 'b');
        }
    }
}

TEST(PubFormatString, HostileBytesComeBackAsTheirTextOrReplacement) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {R"(say "hi")", R"(say "hi")"},
        {R"(C:\dir\)", R"(C:\dir\)"},
        {"\x01\b\f\n\r\t\x1f\x7f", "\x01\b\f\n\r\t\x1f\x7f"},
        {"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"a\xFF"
         "b",
         "a" + fffd + "b"},
        {"cut \xE2\x82", "cut " + fffd + fffd},
        {"\xC0\xAF", fffd + fffd},                       // overlong
        {"\xED\xA0\x80", fffd + fffd + fffd},            // surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd}, // beyond U+10FFFF
        {"\x80\xBF", fffd + fffd},                       // continuation bytes alone
    };
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(json(text).dump());
        std::string out = "\"";
        appendJsonString(out, bytes);
        out += '"';
        EXPECT_EQ(json::parse(out).get<std::string>(), text);
    }
}

TEST(PubFormatTemplate, PlaceholdersTakeTheEscapingOfTheirPlace) {
    struct Case {
        const char* text;
        const char* value;
        std::string out;
    };
    const Case cases[] = {
        {R"({"values": [{"id": "${address}", "v": ${value}, "t": ${time}}]})", "21.5",
         R"({"values": [{"id": "plant/\"t\"", "v": 21.5, "t": 1700000000123}]})"},
        {R"({"values": [{"id": "${address}", "v": ${value}, "t": ${time}}]})", "warm",
         R"({"values": [{"id": "plant/\"t\"", "v": "warm", "t": 1700000000123}]})"},
        {R"({"s": "${value} at ${time}"})", "7", R"({"s": "7 at 1700000000123"})"},
        {R"({"s": "<${value}>"})", "a\"}\\", R"({"s": "<a\"}\\>"})"},
        {R"({"d": "${device}", "e": ${device}})", "1", R"({"d": "dev\\1", "e": "dev\\1"})"},
        {R"(${value})", "true", "true"},
        {R"([ ${value} , ${value} ])", "x", R"([ "x" , "x" ])"},
        {R"({"a": 1, ${address}: 2})", "1", R"({"a": 1, "plant/\"t\"": 2})"},
        {R"({"no placeholder": "\u0041\"${value}"})", "1", R"({"no placeholder": "\u0041\"1"})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const auto format = PubFormat::compile(c.text, "dev\\1", error);
        ASSERT_TRUE(format) << error;
        const std::string out = format->render(c.value, "plant/\"t\"", 1700000000123);
        EXPECT_EQ(out, c.out);
        EXPECT_TRUE(json::accept(out));
    }
    EXPECT_EQ(PubFormat::json()->render("-0", "a/b", 5),
              R"({"address": "a/b", "value": -0, "time": 5})");
}

TEST(PubFormatTemplate, ShapesThatSomeValueWouldBreakAreRefused) {
    const char* refused[] = {
        R"({"v": -${value}})",
        R"({"v": ${time}5})",
        R"({"v": ${value}${time}})",
        R"({${value}: 1})",
        R"({"a": 1, ${value}: 2})",
        R"({"v": ${valu}})",
        R"({"v": "${value"})",
        R"({"v": ${value})",
        R"({"v": "\q${value}"})",
        R"({"v": "\${value}"})",
        R"({"v": ${value}} x)",
        "{\"v\": \"\xFF${value}\"}",
        R"({"v": "${value}" "${time}"})",
        "",
    };
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        std::string error;
        EXPECT_FALSE(PubFormat::compile(text, "", error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(PubFormatSettings, EachKeyGivesItsShapeOrALineAndPlainValues) {
    struct Case {
        const char* settings;
        const char* rendered; // of "v" on "t" at 9; null: published as it is
        const char* line;
    };
    const Case cases[] = {
        {R"({"PubMode":"session"})", nullptr, ""},
        {R"({"PubFormat":"json"})", R"({"address": "t", "value": "v", "time": 9})", ""},
        {R"({"PubFormat":"xml"})", nullptr,
         "[kro error]PubFormat must be \"json\", not \"xml\": values are published as they "
         "are\n"},
        {R"({"PubFormat":"json","PubTemplate":"[\"${device}\",${value}]"})", R"(["d1","v"])",
         "[kro info]PubTemplate is set: PubFormat is not used\n"},
        {R"({"PubTemplate":"{\"v\": ${value}"})", nullptr,
         "[kro error]PubTemplate is not valid JSON (not valid JSON once its placeholders are "
         "filled): values are published as they are\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        kro::test::Capture out(kro::test::Capture::Stream::Out);
        const auto format = readPubFormat(c.settings, "d1");
        EXPECT_EQ(out.take(), c.line);
        ASSERT_EQ(format != nullptr, c.rendered != nullptr);
        if (format) {
            EXPECT_EQ(format->render("v", "t", 9), c.rendered);
        }
    }
}

} // namespace
