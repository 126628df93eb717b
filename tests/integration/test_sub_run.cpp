// Subscriber runs against a real broker (and a scripted one for refusals):
// what reaches the callbacks and the streams, and how and when a run ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#include "support/broker.h"
#include "support/fake_broker.h"
#include "support/mqtt_probe.h"
#include "test_sub_support.h"

namespace {

using namespace std::chrono_literals;
using kro::test::Broker;
using kro::test::brokerArgs;
using kro::test::CaptureBoth;
using kro::test::concat;
using kro::test::Delivery;
using kro::test::FakeBroker;
using kro::test::FakeBrokerScript;
using kro::test::kSubWait;
using kro::test::poolContext;
using kro::test::Probe;
using kro::test::Recorder;
using kro::test::SubThread;
using kro::test::uniqueId;
using kro::test::waitBrokerLog;
using kro::test::waitSubscribed;

using steady = std::chrono::steady_clock;

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size()))
        s.replace(pos, from.size(), to);
    return s;
}

std::vector<std::string> expand(const std::vector<std::string>& args, const std::string& base) {
    std::vector<std::string> out;
    for (const auto& a : args)
        out.push_back(replaceAll(a, "{b}", base));
    return out;
}

// A loopback port nobody listens on.
int deadPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

struct Msg {
    std::string topic, payload; // topic below the test's base
};

std::vector<Delivery> deliveriesBelow(const std::string& base, const std::vector<Msg>& msgs,
                                      void* ctx) {
    std::vector<Delivery> out;
    for (const Msg& m : msgs)
        out.push_back({base + m.topic, m.payload, ctx});
    return out;
}

bool byTopic(const Delivery& a, const Delivery& b) {
    return a.topic < b.topic;
}

// ---- runs against the real broker ----

struct Scenario {
    const char* name;
    std::vector<std::string> args; // "{b}" stands for the test's topic base
    std::vector<Msg> retained;     // published retained before the run starts
    std::vector<Msg> live;         // published once the run is subscribed
    std::vector<Msg> delivered;    // reaching the message callback
    std::string out;               // standard output, "{b}" as above
    bool anyOrder = false;         // retained messages arrive in the broker's order
    bool waitUnsubscribe = false;  // publish only after the broker confirmed -U
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

class SubScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(SubScenario, EndsWithTheExpectedDeliveries) {
    const Scenario& c = GetParam();
    Broker broker;
    Recorder::instance().install();
    const std::string id = uniqueId("scenario");
    const std::string base = "kro/sub/" + id + "/";
    for (const Msg& m : c.retained)
        ASSERT_TRUE(kro::test::publish(broker.port(), base + m.topic, m.payload, 1, true));

    void* ctx = poolContext(9);
    CaptureBoth cap;
    SubThread run(concat(brokerArgs(broker, id), expand(c.args, base)), ctx);
    ASSERT_TRUE(waitSubscribed(broker, id));
    if (c.waitUnsubscribe) {
        ASSERT_TRUE(waitBrokerLog(broker, "Sending UNSUBACK to " + id + "\n"));
    }
    for (const Msg& m : c.live)
        ASSERT_TRUE(kro::test::publish(broker.port(), base + m.topic, m.payload, 1, false));
    const int code = run.join();
    const std::string out = cap.out.take();
    const std::string err = cap.err.take();

    EXPECT_EQ(code, 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, replaceAll(c.out, "{b}", base));
    std::vector<Delivery> got = Recorder::instance().deliveries(ctx);
    std::vector<Delivery> expected = deliveriesBelow(base, c.delivered, ctx);
    if (c.anyOrder) {
        std::sort(got.begin(), got.end(), byTopic);
        std::sort(expected.begin(), expected.end(), byTopic);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(Recorder::instance().statuses(ctx), std::vector<int>{0});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubScenario,
    ::testing::Values(Scenario{"CountEndsAfterTheThird",
                               {"-t", "{b}#", "-C", "3"},
                               {},
                               {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}},
                               {{"a", "1"}, {"b", "2"}, {"c", "3"}},
                               "\n\n\n"},
                      Scenario{"ExitAfterSubscribe", {"-t", "{b}#", "-E"}, {}, {}, {}, ""},
                      Scenario{"NoRetainDropsRetained",
                               {"-t", "{b}#", "-R", "-C", "1"},
                               {{"old", "stale"}},
                               {{"new", "fresh"}},
                               {{"new", "fresh"}},
                               "\n"},
                      Scenario{"NoRetainUnderV5",
                               {"-t", "{b}#", "-R", "-C", "1", "-V", "mqttv5"},
                               {{"old", "stale"}},
                               {{"new", "fresh"}},
                               {{"new", "fresh"}},
                               "\n"},
                      Scenario{"RetainedOnlyStopsAtTheFirstLiveMessage",
                               {"-t", "{b}#", "--retained-only"},
                               {{"r1", "one"}, {"r2", "two"}},
                               {{"live", "x"}},
                               {{"r1", "one"}, {"r2", "two"}},
                               "\n\n",
                               true},
                      Scenario{"FilterOutNeitherPrintsDeliversNorCounts",
                               {"-t", "{b}#", "-T", "{b}skip/#", "-C", "2"},
                               {},
                               {{"skip/1", "x"}, {"a", "1"}, {"skip/2", "y"}, {"b", "2"}},
                               {{"a", "1"}, {"b", "2"}},
                               "\n\n"},
                      Scenario{"UnsubscribedTopicIsNotDelivered",
                               {"-t", "{b}a", "-t", "{b}b", "-U", "{b}b", "-C", "1"},
                               {},
                               {{"b", "gone"}, {"a", "kept"}},
                               {{"a", "kept"}},
                               "\n",
                               false,
                               true},
                      Scenario{"EveryTopicIsSubscribed",
                               {"-t", "{b}x", "-t", "{b}y", "-C", "2"},
                               {},
                               {{"y", "2"}, {"z", "no"}, {"x", "1"}},
                               {{"y", "2"}, {"x", "1"}},
                               "\n\n"},
                      Scenario{"VerbosePrintsInsteadOfDelivering",
                               {"-t", "{b}#", "-v", "-C", "2"},
                               {},
                               {{"a", "on"}, {"b", ""}},
                               {},
                               "{b}a on\n{b}b (null)\n"},
                      Scenario{"FormatPrintsInsteadOfDelivering",
                               {"-t", "{b}#", "-F", "%t %p", "-C", "1"},
                               {},
                               {{"a/b", "xyz"}},
                               {},
                               "{b}a/b xyz\n"},
                      Scenario{"NoEndOfLine",
                               {"-t", "{b}#", "-N", "-C", "2"},
                               {},
                               {{"a", "21.5"}, {"b", "22"}},
                               {{"a", "21.5"}, {"b", "22"}},
                               ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- clearing retained messages ----

struct RemoveCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<Msg> retained;
    std::vector<std::string> remaining; // topics a later subscriber still gets
};

void PrintTo(const RemoveCase& c, std::ostream* os) {
    *os << c.name;
}

class SubRemoveRetained : public ::testing::TestWithParam<RemoveCase> {};

TEST_P(SubRemoveRetained, ALaterSubscriberSeesOnlyWhatWasKept) {
    const RemoveCase& c = GetParam();
    Broker broker;
    Recorder::instance().install();
    const std::string id = uniqueId("remove");
    const std::string base = "kro/sub/" + id + "/";
    for (const Msg& m : c.retained)
        ASSERT_TRUE(kro::test::publish(broker.port(), base + m.topic, m.payload, 1, true));

    void* ctx = poolContext(10);
    {
        CaptureBoth cap;
        SubThread run(concat(brokerArgs(broker, id), expand(c.args, base)), ctx);
        // The run ends by itself once its clearing publishes are acknowledged.
        EXPECT_EQ(run.join(), 0);
        EXPECT_EQ(cap.err.take(), "");
    }

    Probe later({kro::test::plainConnection(broker.port()), {base + "#"}, 1});
    ASSERT_TRUE(later.waitConnected(kSubWait));
    ASSERT_TRUE(kro::test::publish(broker.port(), base + "zz-marker", "m", 1, false));
    ASSERT_TRUE(later.waitFor(c.remaining.size() + 1, kSubWait));
    std::vector<std::string> topics;
    for (const auto& m : later.messages())
        if (m.topic != base + "zz-marker")
            topics.push_back(m.topic.substr(base.size()));
    std::sort(topics.begin(), topics.end());
    EXPECT_EQ(topics, c.remaining);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubRemoveRetained,
    ::testing::Values(RemoveCase{"EveryRetainedIsCleared",
                                 {"-t", "{b}#", "--remove-retained", "-C", "2"},
                                 {{"a", "1"}, {"b", "2"}},
                                 {}},
                      RemoveCase{"FilteredOutOnesStay",
                                 {"-t", "{b}#", "--remove-retained", "-T", "{b}keep", "-C", "1"},
                                 {{"gone", "g"}, {"keep", "k"}},
                                 {"keep"}},
                      RemoveCase{"WithRetainedOnly",
                                 {"-t", "{b}#", "--remove-retained", "--retained-only"},
                                 {{"a", "1"}, {"b", "2"}},
                                 {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- refusals through the scripted broker ----

struct RefusalCase {
    const char* name;
    std::vector<std::string> args;
    int code;
    bool closeAfterRefusal;
    std::string err;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class SubRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(SubRefusal, ReportsTheCodeAndReturnsIt) {
    const RefusalCase& c = GetParam();
    FakeBrokerScript script;
    script.connackCode = c.code;
    script.closeAfterRefusal = c.closeAfterRefusal;
    FakeBroker fake(script);
    Recorder::instance().install();
    void* ctx = poolContext(11);

    CaptureBoth cap;
    SubThread run(concat({"-h", "127.0.0.1", "-p", std::to_string(fake.port()), "-t", "a", "-i",
                          uniqueId("refused")},
                         c.args),
                  ctx);
    const int code = run.join();
    EXPECT_EQ(cap.out.take(), "");
    EXPECT_EQ(cap.err.take(), c.err);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(Recorder::instance().statuses(ctx), std::vector<int>{c.code});
    EXPECT_TRUE(fake.subscriptions().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubRefusal,
    ::testing::Values(
        RefusalCase{"NotAuthorised",
                    {},
                    5,
                    true,
                    "Connection error: Connection Refused: not authorised.\n"},
        RefusalCase{"IdentifierRejectedLeftOpen",
                    {"-V", "mqttv311"},
                    2,
                    false,
                    "Connection error: Connection Refused: identifier rejected.\n"},
        RefusalCase{"UnsupportedProtocolV5",
                    {"-V", "mqttv5"},
                    132,
                    true,
                    "Connection error: Unsupported Protocol Version. Try connecting to an MQTT v5 "
                    "broker, or use MQTT v3.x mode.\n"},
        RefusalCase{"NotAuthorizedV5LeftOpen",
                    {"-V", "mqttv5"},
                    135,
                    false,
                    "Connection error: Not authorized\n"},
        RefusalCase{"QuietStillReturnsTheCode", {"--quiet"}, 4, true, ""}),
    [](const auto& info) { return std::string(info.param.name); });

class SubDenied : public ::testing::TestWithParam<const char*> {};

TEST_P(SubDenied, EveryTopicDeniedEndsTheRunWithZero) {
    FakeBrokerScript script;
    script.connackCode = 0;
    script.subackCode = 0x80;
    FakeBroker fake(script);
    Recorder::instance().install();
    void* ctx = poolContext(11);

    CaptureBoth cap;
    SubThread run({"-h", "127.0.0.1", "-p", std::to_string(fake.port()), "-V", GetParam(), "-t",
                   "a", "-t", "b/#", "-i", uniqueId("denied")},
                  ctx);
    const int code = run.join();
    EXPECT_EQ(cap.out.take(), "");
    EXPECT_EQ(cap.err.take(), "All subscription requests were denied.\n");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Recorder::instance().statuses(ctx), std::vector<int>{0});
    // Both topics went out in one request (the scripted broker may record it
    // only after answering).
    EXPECT_TRUE(fake.waitSubscriptions(1, kSubWait));
    EXPECT_EQ(fake.subscriptions(), (std::vector<std::vector<std::string>>{{"a", "b/#"}}));
}

INSTANTIATE_TEST_SUITE_P(Protocols, SubDenied, ::testing::Values("mqttv311", "mqttv5"),
                         [](const auto& info) {
                             return std::string(info.param == std::string("mqttv5") ? "V5"
                                                                                    : "V311");
                         });

// ---- reconnection ----

TEST(SubReconnect, TheLossAndEveryConnackAreReportedAndTheTopicsSubscribedAgain) {
    Broker broker;
    Recorder::instance().install();
    const std::string id = uniqueId("reconnect");
    const std::string topic = "kro/sub/" + id + "/t";
    void* ctx = poolContext(12);

    SubThread run(concat(brokerArgs(broker, id), {"-t", topic, "-q", "1"}), ctx);
    ASSERT_TRUE(waitSubscribed(broker, id));
    ASSERT_TRUE(kro::test::publish(broker.port(), topic, "before", 1));
    ASSERT_TRUE(Recorder::instance().waitDeliveries(ctx, 1, kSubWait));

    broker.stop();
    broker.start();
    ASSERT_TRUE(Recorder::instance().waitStatuses(ctx, 3, kSubWait));
    ASSERT_TRUE(waitSubscribed(broker, id, 2));
    ASSERT_TRUE(kro::test::publish(broker.port(), topic, "after", 1));
    ASSERT_TRUE(Recorder::instance().waitDeliveries(ctx, 2, kSubWait));

    // The loss shows until the new connection's CONNACK.
    EXPECT_EQ(Recorder::instance().statuses(ctx), (std::vector<int>{0, MOSQ_ERR_CONN_LOST, 0}));
    EXPECT_EQ(Recorder::instance().deliveries(ctx),
              (std::vector<Delivery>{{topic, "before", ctx}, {topic, "after", ctx}}));
    EXPECT_EQ(sub_client_stop(ctx), 1);
    EXPECT_EQ(run.join(3s), 0);
}

// ---- -W ----

struct TimeoutCase {
    const char* name;
    int seconds;
    bool killBroker; // the run is reconnecting when its time runs out
};

void PrintTo(const TimeoutCase& c, std::ostream* os) {
    *os << c.name;
}

class SubTimeout : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(SubTimeout, EndsWhenTheTimeIsUp) {
    const TimeoutCase& c = GetParam();
    Broker broker;
    Recorder::instance().install();
    const std::string id = uniqueId("timeout");
    void* ctx = poolContext(13);

    CaptureBoth cap;
    const auto start = steady::now();
    SubThread run(
        concat(brokerArgs(broker, id), {"-t", "kro/sub/" + id, "-W", std::to_string(c.seconds)}),
        ctx);
    ASSERT_TRUE(waitSubscribed(broker, id));
    if (c.killBroker)
        broker.kill();
    const int code = run.join(std::chrono::seconds(c.seconds + 5));
    const auto took = steady::now() - start;
    EXPECT_EQ(cap.out.take(), "");
    EXPECT_EQ(cap.err.take(), "Timed out\n");
    EXPECT_EQ(code, MOSQ_ERR_TIMEOUT);
    EXPECT_GE(took, std::chrono::seconds(c.seconds) - 100ms);
    EXPECT_LT(took, std::chrono::seconds(c.seconds + 2));
}

INSTANTIATE_TEST_SUITE_P(Cases, SubTimeout,
                         ::testing::Values(TimeoutCase{"Connected", 1, false},
                                           TimeoutCase{"Reconnecting", 2, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A connect that never completes (the listener's backlog is full) still ends
// at the -W deadline, and at once on a stop.
TEST(SubConnectWait, DeadlineAndStopEndAConnectThatNeverCompletes) {
    kro::test::SilentListener listener(true);
    Recorder::instance().install();
    void* ctx = poolContext(13);
    const std::vector<std::string> args{
        "-h", "127.0.0.1", "-p", std::to_string(listener.port()), "-t", "kro/sub/connect"};
    CaptureBoth cap;
    auto start = steady::now();
    SubThread timed(concat(args, {"-W", "2"}), ctx);
    EXPECT_EQ(timed.join(6s), MOSQ_ERR_TIMEOUT);
    EXPECT_GE(steady::now() - start, 2s - 100ms);
    EXPECT_LT(steady::now() - start, 3s);
    EXPECT_EQ(cap.err.take(), "Timed out\n");

    SubThread stopped(args, ctx);
    std::this_thread::sleep_for(500ms);
    start = steady::now();
    EXPECT_EQ(sub_client_stop(ctx), 1);
    EXPECT_EQ(stopped.join(3s), 0);
    EXPECT_LT(steady::now() - start, 1s);
    EXPECT_EQ(cap.err.take(), "");
    EXPECT_TRUE(Recorder::instance().statuses(ctx).empty());
}

// ---- stopping from another thread ----

enum class StopBy { Context, NullContext, Thread };

struct StopCase {
    const char* name;
    StopBy by;
    bool killBroker;
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class SubStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(SubStop, EndsTheLiveRunWithinASecond) {
    const StopCase& c = GetParam();
    Broker broker;
    Recorder::instance().install();
    const std::string id = uniqueId("stop");
    void* ctx = c.by == StopBy::NullContext ? nullptr : poolContext(14);

    CaptureBoth cap;
    SubThread run(concat(brokerArgs(broker, id), {"-t", "kro/sub/" + id}), ctx);
    ASSERT_TRUE(waitSubscribed(broker, id));
    if (c.killBroker) {
        broker.kill();
        // Long enough for the first reconnection attempt to fail.
        std::this_thread::sleep_for(1500ms);
        EXPECT_FALSE(run.wait(0ms));
    }
    const auto asked = steady::now();
    int stopped = 0;
    if (c.by == StopBy::Thread)
        stopped = sub_client_stop_thread(run.threadId());
    else
        stopped = sub_client_stop(ctx);
    EXPECT_EQ(stopped, 1);
    EXPECT_TRUE(run.wait(1500ms));
    EXPECT_LT(steady::now() - asked, 1500ms);
    EXPECT_EQ(run.join(), 0);
    EXPECT_EQ(cap.err.take(), "");
    EXPECT_EQ(sub_client_stop(ctx), 0);
    if (!c.killBroker) { // a clean end: the broker got a DISCONNECT
        EXPECT_TRUE(waitBrokerLog(broker, "Client " + id + " disconnected.\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SubStop,
                         ::testing::Values(StopCase{"Connected", StopBy::Context, false},
                                           StopCase{"Reconnecting", StopBy::Context, true},
                                           StopCase{"NullContext", StopBy::NullContext, false},
                                           StopCase{"ByThread", StopBy::Thread, false},
                                           StopCase{"ByThreadReconnecting", StopBy::Thread, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- runs that end before the loop ----

struct FailCase {
    const char* name;
    std::vector<std::string> args; // "{b}" stands for a port nobody listens on
    std::string err;
};

void PrintTo(const FailCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kHint = "\nUse 'mosquitto_sub --help' to see usage.\n";

class SubFailsEarly : public ::testing::TestWithParam<FailCase> {};

TEST_P(SubFailsEarly, ReportsReturnsOneAndReleasesEverything) {
    const FailCase& c = GetParam();
    Recorder::instance().install();
    void* ctx = poolContext(15);
    const int refs = client_lib_refcount();

    CaptureBoth cap;
    SubThread run(expand(c.args, std::to_string(deadPort())), ctx);
    const int code = run.join();
    EXPECT_EQ(cap.out.take(), "");
    EXPECT_EQ(cap.err.take(), c.err);
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(Recorder::instance().statuses(ctx).empty());
    EXPECT_EQ(client_lib_refcount(), refs);
    for (const sub_para_t& s : sub_para) {
        EXPECT_FALSE(s.live);
        EXPECT_EQ(s.g_mosq, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubFailsEarly,
    ::testing::Values(
        FailCase{"Version", {"--version"}, ""},
        FailCase{"UnknownOption", {"-t", "a", "-z"}, "Error: Unknown option '-z'.\n" + kHint},
        FailCase{"NoTopic", {}, "Error: You must specify a topic to subscribe to.\n" + kHint},
        FailCase{"WillPayloadWithoutTopic",
                 {"-t", "a", "--will-payload", "x"},
                 "Error: Will payload given, but no will topic given.\n" + kHint},
        FailCase{"RetainCombination",
                 {"-t", "a", "-R", "--retained-only"},
                 "\nError: Combining '-R' and '--retained-only' makes no sense.\n"},
        FailCase{"RetainCombinationNotSilenced",
                 {"-t", "a", "--quiet", "-R", "--retained-only"},
                 "\nError: Combining '-R' and '--retained-only' makes no sense.\n"},
        FailCase{"NoIdWithoutCleanSession",
                 {"-t", "a", "-c", "-V", "mqttv5", "-x", "60"},
                 "Error: Invalid id and/or clean_session.\n"},
        FailCase{"NoIdWithoutCleanSessionQuiet",
                 {"-t", "a", "-c", "-V", "mqttv5", "-x", "60", "--quiet"},
                 ""},
        FailCase{"MissingCaFile",
                 {"-t", "a", "--cafile", "/nonexistent/kro-ca.pem"},
                 "Error: Problem setting TLS options: File not found.\n"},
        FailCase{"NobodyListening",
                 {"-t", "a", "-h", "127.0.0.1", "-p", "{b}"},
                 "Error: Connection refused\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- usage ----

const std::vector<std::string> kSynopsis = {
    "mosquitto_sub is a simple mqtt client that will subscribe to a set of topics and print all "
    "messages it receives.",
    "Usage: mosquitto_sub {[-h host] [--unix path] [-p port] [-u username] [-P password] -t topic "
    "| -L URL [-t topic]}",
    "                     [-c] [-k keepalive] [-q qos] [-x session-expiry-interval]",
    "                     [-C msg_count] [-E] [-R] [--retained-only] [--remove-retained] [-T "
    "filter_out] [-U topic ...]",
    "                     [-F format]",
    "                     [-A bind_address] [--nodelay]",
    "                     [-i id] [-I id_prefix]",
    "                     [-d] [-N] [--quiet] [-v]",
    "                     [--will-topic [--will-payload payload] [--will-qos qos] [--will-retain]]",
    "                     [{--cafile file | --capath dir} [--cert file] [--key file]",
    "                       [--ciphers ciphers] [--insecure]",
    "                       [--tls-alpn protocol]",
    "                       [--tls-engine engine] [--keyform keyform] [--tls-engine-kpass-sha1]]",
    "                       [--tls-use-os-certs]",
    "                     [-D command identifier value]",
    "       mosquitto_sub --help",
    "",
};

const std::vector<std::string> kEntryOrder = {
    "-A",
    "-c",
    "-C",
    "-d",
    "-D",
    "-E",
    "-F",
    "-h",
    "-i",
    "-I",
    "-k",
    "-L",
    "-N",
    "-p",
    "-P",
    "-q",
    "-R",
    "-t",
    "-T",
    "-u",
    "-U",
    "-v",
    "-V",
    "-x",
    "--help",
    "--nodelay",
    "--pretty",
    "--quiet",
    "--random-filter",
    "--retained-only",
    "--remove-retained",
    "--unix",
    "--will-payload",
    "--will-qos",
    "--will-retain",
    "--will-topic",
    "--cafile",
    "--capath",
    "--cert",
    "--key",
    "--keyform",
    "--ciphers",
    "--tls-version",
    "--insecure",
    "--tls-engine",
    "--tls-engine-kpass-sha1",
    "--tls-use-os-certs",
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

class SubUsage : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(SubUsage, PrintsTheUsageTextAndReturnsOne) {
    CaptureBoth cap;
    SubThread run(GetParam(), poolContext(15));
    const int code = run.join();
    const std::string out = cap.out.take();
    EXPECT_EQ(cap.err.take(), "");
    EXPECT_EQ(code, 1);

    const std::string closing = "\nSee https://mosquitto.org/ for more information.\n\n";
    ASSERT_GT(out.size(), closing.size());
    EXPECT_EQ(out.substr(out.size() - closing.size()), closing);
    const std::vector<std::string> all = lines(out.substr(0, out.size() - closing.size()));
    ASSERT_GT(all.size(), kSynopsis.size());
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + kSynopsis.size()), kSynopsis);

    // Entries: " option : text", continuation lines indented to the text.
    std::vector<std::string> order;
    size_t textColumn = 0;
    for (size_t i = kSynopsis.size(); i < all.size(); ++i) {
        const std::string& line = all[i];
        SCOPED_TRACE(line);
        if (line.rfind(" -", 0) == 0) {
            size_t colon = line.find(" : ");
            ASSERT_NE(colon, std::string::npos);
            order.push_back(line.substr(1, colon - 1));
            textColumn = colon + 3;
            EXPECT_NE(line[textColumn], ' ');
        } else {
            ASSERT_GT(line.size(), textColumn);
            EXPECT_EQ(line.find_first_not_of(' '), textColumn);
        }
    }
    EXPECT_EQ(order, kEntryOrder);
    for (const char* entry :
         {" -h : mqtt host to connect to. Defaults to localhost.",
          " -k : keep alive in seconds for this client. Defaults to 60.",
          " -p : network port to connect to. Defaults to 1883 for plain MQTT and 8883 for MQTT "
          "over TLS.",
          " -q : quality of service level to use for the subscription. Defaults to 0.",
          "      Can be mqttv5, mqttv311 or mqttv31. Defaults to mqttv311."})
        EXPECT_NE(std::find(all.begin(), all.end(), entry), all.end()) << entry;
}

INSTANTIATE_TEST_SUITE_P(Cases, SubUsage,
                         ::testing::Values(std::vector<std::string>{"--help"},
                                           // Parsing stops at --help: no error, no connection.
                                           std::vector<std::string>{"-t", "a", "-p", "1", "--help",
                                                                    "-z"}));

} // namespace
