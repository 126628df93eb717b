// "PubFormat", "PubTemplate": what is a JSON value, bytes as string content, where placeholders go.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "publish/publish_format.h"
#include "support/capture.h"

namespace {

using nlohmann::json;

TEST(PubFormat, NumbersAndBooleansAsTheyAreAnythingElseAValidString) {
    const std::string r = "\uFFFD";
    // clang-format off
    const std::pair<std::string, json> cases[] = {
        {"0", 0}, {"-0", -0.0}, {"-12", -12}, {"1.5", 1.5}, {"-0.25", -0.25}, {"1E+5", 1e5},
        {"2e-3", 2e-3}, {"1e308", 1e308}, {"1e-999", 0.0}, {"true", true}, {"false", false},
        {"1.", "1."}, {".5", ".5"}, {"01", "01"}, {"1e", "1e"}, {"NaN", "NaN"}, {"+1", "+1"},
        {"-", "-"}, {"", ""}, {" 1", " 1"}, {"0x1F", "0x1F"}, {"1e999", "1e999"}, {"null", "null"},
        {"True", "True"}, {"1.5.5", "1.5.5"}, {R"(say "hi" C:\)", R"(say "hi" C:\)"},
        {"\x01\b\f\n\r\t\x1f\x7f", "\x01\b\f\n\r\t\x1f\x7f"}, {"\xC3\xA9\xF0\x9F\x98\x80", "é😀"},
        {"a\xFF" "b", "a" + r + "b"}, {"cut \xE2\x82", "cut " + r + r}, {"\xC0\xAF", r + r},
        {"\xED\xA0\x80", r + r + r}, {"\xF4\x90\x80\x80", r + r + r + r}, {"\x80", r},
        {"\xF5\x80\x80\x80", r + r + r + r}, {"\xFF\xBF\xBF\xBF", r + r + r + r},
        {"1.7976931348623157e308", 1.7976931348623157e308}, {"1.8e308", "1.8e308"},
        {"0.1e309", 1e308}, {"0.001e310", 1e307}, {"0.1e310", "0.1e310"}};
    // clang-format on
    for (const auto& [value, expected] : cases) {
        std::string out;
        appendJsonValue(out, value);
        EXPECT_EQ(json::parse(out), expected) << out;
        EXPECT_TRUE(expected.is_string() || out == value) << out;
    }
}

TEST(PubFormat, PlaceholdersTakeTheEscapingOfTheirPlaceOrTheTemplateIsRefused) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = { // template, "x\"" rendered or refused
        {R"({"values": [{"id": "${address}", "v": ${value}, "t": ${time}}]})",
         R"({"values": [{"id": "a/\"b\"", "v": "x\"", "t": 1700000000123}]})"},
        {R"({"s": "<${value}> ${time}", "\"${device}": ${device}})",
         R"({"s": "<x\"> 1700000000123", "\"d\\1": "d\\1"})"},
        {R"([ ${value} ])", R"([ "x\"" ])"}, {R"(${value})", R"("x\"")"},
        {R"({"a": 1, ${address}: 2})", R"({"a": 1, "a/\"b\"": 2})"},
        {R"({"v": -${value}})", nullptr}, {"[${time}5]", nullptr}, {"{${value}: 1}", nullptr},
        {R"({"v": ${value}${time}})", nullptr}, {R"({"a": 1, ${value}: 2})", nullptr},
        {R"({"v": ${valu}})", nullptr}, {R"(["${value"])", nullptr}, {R"([${value})", nullptr},
        {R"(["\${value}"])", nullptr}, {"[\"\xFF${value}\"]", nullptr}};
    // clang-format on
    for (const auto& [text, rendered] : cases) {
        SCOPED_TRACE(text);
        std::string error;
        const auto format = PubFormat::compile(text, "d\\1", error);
        EXPECT_EQ(error.empty(), rendered != nullptr) << error;
        EXPECT_EQ(format ? format->render("x\"", "a/\"b\"", 1700000000123) : "",
                  rendered ? rendered : "");
    }
    // A batch's wrapper: the array where a JSON value stands, no value or address.
    const std::pair<const char*, const char*> wrappers[] = {
        {R"({"d": "${device}", "t": ${time}, "v": ${values}})",
         R"({"d": "d\\1", "t": 1700000000123, "v": [1,"x"]})"},
        {R"({"v": "${values}"})", nullptr},
        {R"({"v": ${value}})", nullptr}};
    for (const auto& [text, rendered] : wrappers) {
        std::string error;
        const auto format = PubFormat::compileWrapper(text, "d\\1", error);
        EXPECT_EQ(format ? format->render("[1,\"x\"]", "", 1700000000123) : "",
                  rendered ? rendered : "")
            << error;
    }
    EXPECT_EQ(PubFormat::json()->render("21.5", "a/b", 5),
              R"({"address": "a/b", "value": 21.5, "time": 5})");
}

TEST(PubFormat, SettingsGiveTheirShapeOrALineAndPlainValues) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        // settings, shape, line
        {R"({"PubFormat":"xml"})", nullptr,
         "[kro error]PubFormat must be \"json\", not \"xml\": values are published as they are\n"},
        {R"({"PubFormat":"json","PubTemplate":"[\"${device}\",${value}]"})", R"(["d1","v"])",
         "[kro info]PubTemplate is set: PubFormat is not used\n"},
        {R"({"PubTemplate":"{\"v\": ${value}"})", nullptr,
         "[kro error]PubTemplate is not valid JSON (not valid JSON once its placeholders are "
         "filled): values are published as they are\n"},
        // In batches the elements are JSON, refused keys or not.
        {R"({"PubMode":"session","PubBatch":"9"})", R"({"address": "t", "value": "v", "time": 9})",
         ""},
        {R"({"PubMode":"session","PubBatch":"9","PubFormat":"x"})",
         R"({"address": "t", "value": "v", "time": 9})",
         "[kro error]PubFormat must be \"json\", not \"x\": values are published as with "
         "\"PubFormat\": \"json\"\n"}};
    for (const auto& [settings, rendered, line] : cases) {
        kro::test::Capture out(kro::test::Capture::Stream::Out);
        const auto format = readPubFormat(settings, "d1");
        EXPECT_EQ(out.take(), line);
        EXPECT_EQ(format ? format->render("v", "t", 9) : "", rendered ? rendered : "") << settings;
    }
}

} // namespace
