// The configuration record: defaults per client kind and topic storage.

#include <cstring>

#include <gtest/gtest.h>

#include "test_client_args.h"

using kro::test::Capture;
using kro::test::list;
using kro::test::Record;
using kro::test::str;

namespace {

struct DefaultsCase {
    int kind;
    int protocol_version;
    int msg_count;
};

void PrintTo(const DefaultsCase& c, std::ostream* os) {
    *os << "kind " << c.kind;
}

class ClientRecordDefaults : public ::testing::TestWithParam<DefaultsCase> {};

TEST_P(ClientRecordDefaults, EveryFieldStartsAtItsDefault) {
    const DefaultsCase& d = GetParam();
    mosq_config c;
    std::memset(&c, 0xAB, sizeof(c)); // whatever was there before is gone
    init_config(&c, d.kind);
    EXPECT_EQ(c.protocol_version, d.protocol_version);
    EXPECT_EQ(c.msg_count, d.msg_count);
    EXPECT_EQ(c.port, PORT_UNDEFINED);
    EXPECT_EQ(c.max_inflight, 20u);
    EXPECT_EQ(c.keepalive, 60);
    EXPECT_TRUE(c.clean_session);
    EXPECT_TRUE(c.eol);
    EXPECT_EQ(c.repeat_count, 1);
    EXPECT_EQ(c.repeat_delay.tv_sec, 0);
    EXPECT_EQ(c.repeat_delay.tv_usec, 0);
    EXPECT_EQ(c.random_filter, 10000);
    EXPECT_EQ(c.session_expiry_interval, -1);
    EXPECT_EQ(c.qos, 0);
    EXPECT_EQ(c.pub_mode, MSGMODE_NONE);
    EXPECT_FALSE(c.quiet);
    EXPECT_FALSE(c.retain);
    EXPECT_EQ(c.timeout, 0u);
    EXPECT_EQ(c.sub_opts, 0);
    EXPECT_EQ(c.host, nullptr);
    EXPECT_EQ(c.id, nullptr);
    EXPECT_EQ(c.topics, nullptr);
    EXPECT_EQ(c.topic_count, 0);
    EXPECT_EQ(c.connect_props, nullptr);
    EXPECT_EQ(c.will_props, nullptr);
    EXPECT_EQ(c.pDevice, nullptr);
    client_config_cleanup(&c);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ClientRecordDefaults,
                         ::testing::Values(DefaultsCase{CLIENT_PUB, 4, 0},
                                           DefaultsCase{CLIENT_SUB, 4, 0},
                                           DefaultsCase{CLIENT_RR, 5, 1}),
                         [](const auto& info) { return std::to_string(info.param.kind); });

struct TopicCase {
    const char* name;
    int type;
    std::vector<std::string> topics; // stored one after another
    const char* arg;
    int last_rc;
    std::string message;
    std::string topic, response_topic;
    std::vector<std::string> subscriptions;
};

void PrintTo(const TopicCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientAddTopic : public ::testing::TestWithParam<TopicCase> {};

TEST_P(ClientAddTopic, StoresByKind) {
    const TopicCase& t = GetParam();
    Record r(CLIENT_SUB);
    int rc = 0;
    std::string err;
    for (const std::string& topic : t.topics) {
        std::vector<char> buf(topic.begin(), topic.end());
        buf.push_back('\0');
        Capture cap(Capture::Stream::Err);
        rc = cfg_add_topic(&r.c, t.type, buf.data(), t.arg);
        err = cap.take();
    }
    EXPECT_EQ(rc, t.last_rc);
    EXPECT_EQ(err, t.message);
    EXPECT_EQ(str(r.c.topic), t.topic);
    EXPECT_EQ(str(r.c.response_topic), t.response_topic);
    EXPECT_EQ(list(r.c.topics, r.c.topic_count), t.subscriptions);
    EXPECT_EQ(r.c.topics == nullptr, r.c.topic_count == 0);
}

using V = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Table, ClientAddTopic,
    ::testing::Values(
        TopicCase{
            "PublisherLaterReplaces", CLIENT_PUB, {"a/1", "a/2"}, "-t", 0, "", "a/2", "<null>", {}},
        TopicCase{
            "RequestResponseIsAPublishTopic", CLIENT_RR, {"q"}, "-t", 0, "", "q", "<null>", {}},
        TopicCase{"SubscriberAppends",
                  CLIENT_SUB,
                  {"a/#", "b/+/c", "a/#"},
                  "-t",
                  0,
                  "",
                  "<null>",
                  "<null>",
                  {"a/#", "b/+/c", "a/#"}},
        TopicCase{"ResponseTopic",
                  CLIENT_RESPONSE_TOPIC,
                  {"r/1", "r/2"},
                  "-e",
                  0,
                  "",
                  "<null>",
                  "r/2",
                  {}},
        TopicCase{"RefusedKeepsTheEarlierTopic",
                  CLIENT_PUB,
                  {"ok", "no/#"},
                  "-t",
                  1,
                  "Error: Invalid publish topic 'no/#', does it contain '+' or '#'?\n",
                  "ok",
                  "<null>",
                  {}},
        TopicCase{"RefusedSubscriptionAddsNothing",
                  CLIENT_SUB,
                  {"ok", "x#"},
                  "-t",
                  1,
                  "Error: Invalid subscription topic 'x#', are all '+' and '#' wildcards "
                  "correct?\n",
                  "<null>",
                  "<null>",
                  {"ok"}},
        TopicCase{"ResponseWildcard",
                  CLIENT_RESPONSE_TOPIC,
                  {"r/+"},
                  "-e",
                  1,
                  "Error: Invalid response topic 'r/+', does it contain '+' or '#'?\n",
                  "<null>",
                  "<null>",
                  {}},
        TopicCase{"MalformedNamesTheArgument",
                  CLIENT_PUB,
                  {"\xed\xa0\x80"},
                  "-L topic",
                  1,
                  "Error: Malformed UTF-8 in -L topic argument.\n\n",
                  "<null>",
                  "<null>",
                  {}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
