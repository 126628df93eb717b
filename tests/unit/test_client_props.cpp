// -D property arguments: argument counts, lookups, per-packet targets, value
// conversion and the codes of each refusal.

#include <gtest/gtest.h>

#include <mqtt_protocol.h>

#include "test_client_args.h"

using kro::test::Args;
using kro::test::Capture;
using kro::test::parse;
using kro::test::Record;

namespace {

// cfg_parse_property on `args` (the entries after -D) with standard error
// captured; `idx` is where it left the index.
struct PropOutcome {
    int rc;
    std::string err;
    int idx;
};

PropOutcome parse_property(mosq_config& c, const std::vector<std::string>& args) {
    std::vector<std::string> with_option{"-D"};
    with_option.insert(with_option.end(), args.begin(), args.end());
    Args a(with_option);
    int idx = 2; // argv[0] is the program, argv[1] is -D
    Capture err(Capture::Stream::Err);
    int rc = cfg_parse_property(&c, a.argc(), a.argv(), &idx);
    return {rc, err.take(), idx};
}

struct PropCase {
    const char* name;
    std::vector<std::string> args;
    int rc;
    std::string message;
};

void PrintTo(const PropCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientPropertyRefusal : public ::testing::TestWithParam<PropCase> {};

// Every refusal leaves the property lists as they were.
TEST_P(ClientPropertyRefusal, CodeAndExactMessage) {
    const PropCase& p = GetParam();
    Record r(CLIENT_PUB);
    PropOutcome o = parse_property(r.c, p.args);
    EXPECT_EQ(o.rc, p.rc);
    EXPECT_EQ(o.err, p.message);
    EXPECT_EQ(r.c.connect_props, nullptr);
    EXPECT_EQ(r.c.publish_props, nullptr);
    EXPECT_EQ(r.c.subscribe_props, nullptr);
    EXPECT_EQ(r.c.unsubscribe_props, nullptr);
    EXPECT_EQ(r.c.disconnect_props, nullptr);
    EXPECT_EQ(r.c.will_props, nullptr);
}

const char* kNotEnough = "Error: --property argument given but not enough arguments specified.\n\n";

std::string range(const char* number, const char* prop) {
    return std::string("Error: Property value (") + number + ") out of range for property " + prop +
           ".\n\n";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClientPropertyRefusal,
    ::testing::Values(
        PropCase{"Nothing", {}, 3, kNotEnough}, PropCase{"OnlyPacket", {"CONNECT"}, 3, kNotEnough},
        PropCase{"NoValue", {"PUBLISH", "content-type"}, 3, kNotEnough},
        PropCase{"UserPropertyOnlyKey", {"CONNECT", "user-property", "k"}, 3, kNotEnough},
        PropCase{"UnknownCommand",
                 {"CONNECTX", "content-type", "x"},
                 3,
                 "Error: Invalid command given in --property argument.\n\n"},
        PropCase{"UnknownProperty",
                 {"PUBLISH", "content-typo", "x"},
                 3,
                 "Error: Invalid property name given in --property argument.\n\n"},
        // Refused for the packet before the value is looked at: 999 would be
        // out of range for a byte.
        PropCase{"NotAllowedBeforeValue",
                 {"connect", "payload-format-indicator", "999"},
                 3,
                 "Error: payload-format-indicator property not allowed for connect in --property "
                 "argument.\n\n"},
        PropCase{"NotAllowedOnSubscribe",
                 {"SUBSCRIBE", "reason-string", "r"},
                 3,
                 "Error: reason-string property not allowed for SUBSCRIBE in --property "
                 "argument.\n\n"},
        PropCase{"NotAllowedOnWill",
                 {"will", "topic-alias", "1"},
                 3,
                 "Error: topic-alias property not allowed for will in --property argument.\n\n"},
        PropCase{"SubscriptionIdOnPublish",
                 {"PUBLISH", "subscription-identifier", "1"},
                 3,
                 "Error: subscription-identifier property not supported for PUBLISH in "
                 "--property argument.\n\n"},
        PropCase{"Puback",
                 {"PUBACK", "reason-string", "r"},
                 10,
                 "Error: reason-string property not supported for PUBACK in --property "
                 "argument.\n\n"},
        PropCase{"Pubrec",
                 {"PUBREC", "user-property", "k", "v"},
                 10,
                 "Error: user-property property not supported for PUBREC in --property "
                 "argument.\n\n"},
        PropCase{"Auth",
                 {"AUTH", "authentication-method", "m"},
                 10,
                 "Error: authentication-method property not supported for AUTH in --property "
                 "argument.\n\n"},
        PropCase{"ConnackSilently", {"CONNACK", "assigned-client-identifier", "x"}, 3, ""},
        PropCase{"Byte256",
                 {"PUBLISH", "payload-format-indicator", "256"},
                 3,
                 range("256", "payload-format-indicator")},
        PropCase{"ByteMinus1",
                 {"PUBLISH", "payload-format-indicator", "-1"},
                 3,
                 range("-1", "payload-format-indicator")},
        PropCase{"Int16Above",
                 {"CONNECT", "receive-maximum", "65536"},
                 3,
                 range("65536", "receive-maximum")},
        PropCase{"Int32Negative",
                 {"PUBLISH", "message-expiry-interval", "-5"},
                 3,
                 range("-5", "message-expiry-interval")},
        // Not cut to 32 bits: 2^32 must not become 0.
        PropCase{"Int32Above",
                 {"CONNECT", "maximum-packet-size", "4294967296"},
                 3,
                 range("4294967296", "maximum-packet-size")},
        PropCase{"VarintNegative",
                 {"SUBSCRIBE", "subscription-identifier", "-1"},
                 3,
                 range("-1", "subscription-identifier")},
        PropCase{"VarintTooLargeForTheEncoding",
                 {"SUBSCRIBE", "subscription-identifier", "268435456"},
                 3,
                 "Error adding property subscription-identifier 4\n"},
        PropCase{"BinaryTooLong",
                 {"PUBLISH", "correlation-data", std::string(65536, 'b')},
                 3,
                 "Error: Property value too long for property correlation-data.\n\n"},
        PropCase{"StringNotUtf8",
                 {"PUBLISH", "content-type", "\xff"},
                 18,
                 "Error adding property content-type 6\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- accepted properties ---------------------------------------------------

struct AddCase {
    const char* name;
    std::vector<std::string> args;
    int advance;                            // how far the index moved
    mosquitto_property* mosq_config::*list; // where the property went
    int identifier;
};

void PrintTo(const AddCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientPropertyAdded : public ::testing::TestWithParam<AddCase> {};

TEST_P(ClientPropertyAdded, GoesToItsPacketsList) {
    const AddCase& p = GetParam();
    Record r(CLIENT_PUB);
    PropOutcome o = parse_property(r.c, p.args);
    ASSERT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.idx, 2 + p.advance);
    const mosquitto_property* prop = r.c.*p.list;
    ASSERT_NE(prop, nullptr);
    EXPECT_EQ(mosquitto_property_identifier(prop), p.identifier);
    EXPECT_EQ(mosquitto_property_next(prop), nullptr);
    for (auto other : {&mosq_config::connect_props, &mosq_config::publish_props,
                       &mosq_config::subscribe_props, &mosq_config::unsubscribe_props,
                       &mosq_config::disconnect_props, &mosq_config::will_props}) {
        if (other != p.list) {
            EXPECT_EQ(r.c.*other, nullptr);
        }
    }
}

using C = mosq_config;

INSTANTIATE_TEST_SUITE_P(
    Table, ClientPropertyAdded,
    ::testing::Values(
        AddCase{"Connect", {"CONNECT", "receive-maximum", "10"}, 2, &C::connect_props, 33},
        AddCase{"Publish", {"PUBLISH", "content-type", "text/plain"}, 2, &C::publish_props, 3},
        AddCase{"SubscriptionIdOnSubscribe",
                {"SUBSCRIBE", "subscription-identifier", "7"},
                2,
                &C::subscribe_props,
                11},
        AddCase{"UserPropertyOnSubscribe",
                {"SUBSCRIBE", "user-property", "k", "v"},
                3,
                &C::subscribe_props,
                38},
        AddCase{"Unsubscribe",
                {"UNSUBSCRIBE", "user-property", "k", "v"},
                3,
                &C::unsubscribe_props,
                38},
        AddCase{"Disconnect", {"DISCONNECT", "reason-string", "bye"}, 2, &C::disconnect_props, 31},
        AddCase{"Will", {"will", "will-delay-interval", "30"}, 2, &C::will_props, 24},
        AddCase{"NoDigitsReadAsZero",
                {"PUBLISH", "payload-format-indicator", "abc"},
                2,
                &C::publish_props,
                1},
        AddCase{
            "ByteAtTop", {"PUBLISH", "payload-format-indicator", "255"}, 2, &C::publish_props, 1},
        AddCase{"Int32AtTop",
                {"CONNECT", "maximum-packet-size", "4294967295"},
                2,
                &C::connect_props,
                39},
        AddCase{"BinaryAtLimit",
                {"PUBLISH", "correlation-data", std::string(65535, 'b')},
                2,
                &C::publish_props,
                9},
        AddCase{"EmptyBinary", {"PUBLISH", "correlation-data", ""}, 2, &C::publish_props, 9}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClientPropertyValues, ConvertedByType) {
    Record r(CLIENT_PUB);
    Args a({"-D",
            "PUBLISH",
            "payload-format-indicator",
            "1",
            "-D",
            "PUBLISH",
            "message-expiry-interval",
            "4000000000",
            "-D",
            "PUBLISH",
            "correlation-data",
            "c\x01",
            "-D",
            "PUBLISH",
            "response-topic",
            "r/t",
            "-D",
            "PUBLISH",
            "user-property",
            "k",
            "v",
            "-D",
            "PUBLISH",
            "topic-alias",
            "65535"});
    ASSERT_EQ(client_config_line_proc(&r.c, CLIENT_PUB, a.argc(), a.argv()), 0);
    const mosquitto_property* p = r.c.publish_props;
    uint8_t b = 0;
    uint16_t i16 = 0;
    uint32_t i32 = 0;
    char* s = nullptr;
    char* s2 = nullptr;
    void* bin = nullptr;
    uint16_t binlen = 0;
    EXPECT_NE(mosquitto_property_read_byte(p, MQTT_PROP_PAYLOAD_FORMAT_INDICATOR, &b, false),
              nullptr);
    EXPECT_EQ(b, 1);
    EXPECT_NE(mosquitto_property_read_int32(p, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &i32, false),
              nullptr);
    EXPECT_EQ(i32, 4000000000u);
    EXPECT_NE(mosquitto_property_read_binary(p, MQTT_PROP_CORRELATION_DATA, &bin, &binlen, false),
              nullptr);
    EXPECT_EQ(std::string(static_cast<char*>(bin), binlen), "c\x01");
    EXPECT_NE(mosquitto_property_read_string(p, MQTT_PROP_RESPONSE_TOPIC, &s, false), nullptr);
    EXPECT_STREQ(s, "r/t");
    std::free(s);
    s = nullptr;
    EXPECT_NE(mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &s, &s2, false),
              nullptr);
    EXPECT_STREQ(s, "k");
    EXPECT_STREQ(s2, "v");
    EXPECT_NE(mosquitto_property_read_int16(p, MQTT_PROP_TOPIC_ALIAS, &i16, false), nullptr);
    EXPECT_EQ(i16, 65535);
    EXPECT_TRUE(r.c.have_topic_alias);
    EXPECT_EQ(r.c.protocol_version, 5);
    std::free(s);
    std::free(s2);
    std::free(bin);
}

TEST(ClientPropertyOrder, SeveralForOnePacketKeepCommandLineOrder) {
    Record r(CLIENT_SUB);
    kro::test::Outcome o =
        parse(r.c, CLIENT_SUB,
              {"-D", "CONNECT", "user-property", "a", "1", "-t", "x", "-D", "CONNECT",
               "receive-maximum", "9", "--property", "CONNECT", "user-property", "b", "2"});
    ASSERT_EQ(o.rc, 0) << o.err;
    std::vector<int> ids;
    std::vector<std::string> keys;
    for (const mosquitto_property* p = r.c.connect_props; p; p = mosquitto_property_next(p)) {
        ids.push_back(mosquitto_property_identifier(p));
        char* k = nullptr;
        char* v = nullptr;
        if (mosquitto_property_identifier(p) == MQTT_PROP_USER_PROPERTY &&
            mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &k, &v, false)) {
            keys.push_back(std::string(k) + "=" + v);
            std::free(k);
            std::free(v);
        }
    }
    EXPECT_EQ(ids, (std::vector<int>{38, 33, 38}));
    EXPECT_EQ(keys, (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_EQ(r.c.topic_count, 1);
}

TEST(ClientPropertyTopicAlias, MarkedEvenWhenTheValueIsRefused) {
    Record r(CLIENT_PUB);
    PropOutcome o = parse_property(r.c, {"PUBLISH", "topic-alias", "70000"});
    EXPECT_EQ(o.rc, 3);
    EXPECT_EQ(o.err, range("70000", "topic-alias"));
    EXPECT_TRUE(r.c.have_topic_alias);
    EXPECT_EQ(r.c.publish_props, nullptr);
}

TEST(ClientPropertyOption, AnyFailureIsResultOneAndStopsTheWalk) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-D", "PUBACK", "reason-string", "r", "-q", "1"},
          std::vector<std::string>{"-D", "PUBLISH", "subscription-identifier", "1", "-q", "1"},
          std::vector<std::string>{"-D", "CONNACK", "reason-string", "r", "-q", "1"}}) {
        Record r(CLIENT_PUB);
        kro::test::Outcome o = parse(r.c, CLIENT_PUB, args);
        EXPECT_EQ(o.rc, 1) << args[1];
        EXPECT_EQ(r.c.qos, 0) << args[1];
        EXPECT_EQ(r.c.protocol_version, 4) << args[1];
    }
}

} // namespace
