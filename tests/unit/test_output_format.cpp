// The -F format language: field specifications, '%' codes, escapes and the
// property codes, compared byte for byte.

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "unit/test_output_helpers.h"

namespace {

using kro::test::Message;
using kro::test::print_captured;
using kro::test::Properties;
using kro::test::Record;

using namespace std::string_literals;

// Property lists the cases can ask for.
enum class Props {
    None,
    All,           // one of every property the codes read
    BigExpiry,     // an expiry interval above the range of int
    UserOnly,      // two user properties
    UserScattered, // user properties with other properties between them
};

void build(Props which, mosquitto_property** list) {
    switch (which) {
    case Props::None:
        break;
    case Props::All:
        mosquitto_property_add_byte(list, MQTT_PROP_PAYLOAD_FORMAT_INDICATOR, 1);
        mosquitto_property_add_int32(list, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, 3600);
        mosquitto_property_add_string(list, MQTT_PROP_CONTENT_TYPE, "text/plain");
        mosquitto_property_add_string(list, MQTT_PROP_RESPONSE_TOPIC, "reply/to");
        mosquitto_property_add_binary(list, MQTT_PROP_CORRELATION_DATA, "id\0x", 4);
        mosquitto_property_add_varint(list, MQTT_PROP_SUBSCRIPTION_IDENTIFIER, 5);
        mosquitto_property_add_int16(list, MQTT_PROP_TOPIC_ALIAS, 12);
        break;
    case Props::BigExpiry:
        mosquitto_property_add_int32(list, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, 4000000000u);
        break;
    case Props::UserOnly:
        mosquitto_property_add_string_pair(list, MQTT_PROP_USER_PROPERTY, "unit", "kelvin");
        mosquitto_property_add_string_pair(list, MQTT_PROP_USER_PROPERTY, "site", "lab");
        break;
    case Props::UserScattered:
        mosquitto_property_add_string(list, MQTT_PROP_CONTENT_TYPE, "t");
        mosquitto_property_add_string_pair(list, MQTT_PROP_USER_PROPERTY, "a", "1");
        mosquitto_property_add_int16(list, MQTT_PROP_TOPIC_ALIAS, 3);
        mosquitto_property_add_string_pair(list, MQTT_PROP_USER_PROPERTY, "b", "2");
        mosquitto_property_add_string_pair(list, MQTT_PROP_USER_PROPERTY, "c", "");
        break;
    }
}

struct FormatCase {
    const char* name;
    const char* format;
    std::string payload;
    std::string out; // standard output, newline included
    Props props = Props::None;
    int qos = 0;
    bool retain = false;
    int mid = 0;
    const char* topic = "a/b";
};
void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.name;
}

class OutputFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(OutputFormat, WritesExactly) {
    const FormatCase& c = GetParam();
    Record record(c.format);
    Message message(c.topic, c.payload, c.qos, c.retain, c.mid);
    Properties props;
    build(c.props, props.out());

    auto printed = print_captured(record.get(), message.get(), props.get());
    EXPECT_EQ(printed.out, c.out);
    EXPECT_EQ(printed.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Codes, OutputFormat,
    ::testing::Values(
        FormatCase{"TopicAndPayload", "%t %p", "xyz", "a/b xyz\n"},
        FormatCase{"TopicRightAligned", "%5t|", "x", "  a/b|\n"},
        FormatCase{"TopicLeftAligned", "%-5t|", "x", "a/b  |\n"},
        FormatCase{"TopicPrecision", "%.2t|", "x", "a/|\n"},
        FormatCase{"TopicWidthAndPrecision", "%6.2t|%-6.2t|", "x", "    a/|a/    |\n"},
        FormatCase{"TopicNarrowerWidthKeepsAll", "%1t|", "x", "a/b|\n"},
        FormatCase{"LengthZeroPadded", "%05l", "xyz", "00003\n"},
        FormatCase{"LeftAlignWinsOverZero", "%-05l|", "xyz", "3    |\n"},
        FormatCase{"IntegerWidthSpaces", "%4m|", "x", "   7|\n", Props::None, 1, false, 7},
        FormatCase{"RetainQosMid", "%r %q %m", "x", "1 1 7\n", Props::None, 1, true, 7},
        FormatCase{"NotRetainedQos2", "%r%q", "x", "02\n", Props::None, 2},
        FormatCase{"Percent", "100%%", "x", "100%\n"},
        FormatCase{"UnknownCodeWritesNothing", "a%Zb%Ub", "x", "abb\n"},
        // Payload, raw.
        FormatCase{"PayloadLeftAlignedNoWidth", "%-p|", "abcd", "abcd|\n"},
        FormatCase{"PayloadLeftInWidth", "%-6p|", "abcd", "abcd  |\n"},
        FormatCase{"PayloadRightInWidth", "%6p|", "abcd", "  abcd|\n"},
        FormatCase{"PayloadZeroPadded", "%06p|", "abcd", "00abcd|\n"},
        FormatCase{"PayloadCutToWidth", "%2p|", "abcd", "ab|\n"},
        FormatCase{"PayloadBinaryBytes", "%p", "a\0b\xff"s, "a\0b\xff\n"s},
        // Payload, hexadecimal.
        FormatCase{"HexLower", "%x", "\x01\xab"s, "01ab\n"},
        FormatCase{"HexUpper", "%X", "\x01\xab"s, "01AB\n"},
        FormatCase{"HexShortPayloadShownWhole", "%6x|", "\x01\xab"s, "  01ab|\n"},
        FormatCase{"HexShortPayloadLeft", "%-6X|", "\x01\xab"s, "01AB  |\n"},
        FormatCase{"HexShortPayloadZeroPadded", "%06x|", "\x01\xab"s, "0001ab|\n"},
        FormatCase{"HexLongPayloadHalfWidth", "%6x|", "abcde", "616263|\n"},
        FormatCase{"HexOddWidth", "%5x|", "abcde", " 6162|\n"},
        FormatCase{"HexExactFit", "%4x|", "ab", "6162|\n"},
        // Escapes and '@'.
        FormatCase{"DoubleAt", "a@@b", "x", "a@b\n"},
        FormatCase{"EscapeTab", "a\\tb", "x", "a\tb\n"},
        FormatCase{"EscapeUnknownDropsBoth", "a\\qb", "x", "ab\n"},
        FormatCase{"EveryEscape", "\\\\\\0\\a\\e\\n\\r\\t\\v", "x", "\\\0\a\x1b\n\r\t\v\n"s},
        // A lone trailing '%', '@' or backslash is dropped; so is a cut-off conversion.
        FormatCase{"TrailingPercent", "ab%", "x", "ab\n"},
        FormatCase{"TrailingAt", "ab@", "x", "ab\n"},
        FormatCase{"TrailingBackslash", "ab\\", "x", "ab\n"},
        FormatCase{"CutOffWidth", "a%5", "x", "a\n"}, FormatCase{"CutOffMinus", "a%-", "x", "a\n"},
        FormatCase{"CutOffPoint", "a%-05.", "x", "a\n"},
        FormatCase{"CutOffPrecision", "a%.3", "x", "a\n"},
        // Digits beyond the range of int must not overflow the field width.
        FormatCase{"HugeWidthUnknownCode", "a%99999999999999999999Zb", "x", "ab\n"},
        FormatCase{"HugePrecision", "%.99999999999999999999t|", "x", "a/b|\n"},
        // Properties, absent.
        FormatCase{"AliasAbsentZeroField", "%05A|", "x", "00000|\n"},
        FormatCase{"ContentTypeAbsentSpaces", "%5C|%05C|", "x", "     |     |\n"},
        FormatCase{"ResponseTopicAbsent", "%10R|", "x", "|\n"},
        FormatCase{"ExpiryAbsentBlank", "%3E|%F|", "x", "   ||\n"},
        FormatCase{"SubscriptionIdAbsentBlank", "%03S|", "x", "000|\n"},
        FormatCase{"CorrelationAbsent", "%D|%P|", "x", "||\n"},
        // Properties, present.
        FormatCase{"Alias", "%4A|%-4A|", "x", "  12|12  |\n", Props::All},
        FormatCase{"ContentType", "%C|%.4C|%12C|", "x", "text/plain|text|  text/plain|\n",
                   Props::All},
        FormatCase{"ResponseTopic", "%R|%-10R|", "x", "reply/to|reply/to  |\n", Props::All},
        FormatCase{"CorrelationDataRaw", "%5D|", "x", "id\0x|\n"s, Props::All},
        FormatCase{"ExpiryAndFormatIndicator", "%E %F %02F", "x", "3600 1 01\n", Props::All},
        FormatCase{"ExpiryBeyondInt", "%E", "x", "4000000000\n", Props::BigExpiry},
        FormatCase{"SubscriptionId", "%S|%3S|", "x", "5|  5|\n", Props::All},
        FormatCase{"NoUserProperties", "%P|", "x", "|\n", Props::All},
        FormatCase{"TwoUserProperties", "%P", "x", "unit:kelvin site:lab\n", Props::UserOnly},
        FormatCase{"UserPropertiesAmongOthers", "%P|%A", "x", "a:1 b:2 c:|3\n",
                   Props::UserScattered}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OutputFormatEol, NoNewlineWithEolOff) {
    Record record("%t:%p");
    record->eol = false;
    Message message("a/b", "v");
    auto printed = print_captured(record.get(), message.get(), nullptr);
    EXPECT_EQ(printed.out, "a/b:v");
}

TEST(OutputFormatEol, EmptyPayloadStillFormatted) {
    Record record("[%t|%p|%l]");
    Message message("a/b", "");
    auto printed = print_captured(record.get(), message.get(), nullptr);
    EXPECT_EQ(printed.out, "[a/b||0]\n");
}

} // namespace
