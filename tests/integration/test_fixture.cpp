// The test support itself: the real broker with its four listeners, the subscriber probe and
// publish helper, and the scripted fake broker.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include "support/broker.h"
#include "support/certs.h"
#include "support/fake_broker.h"
#include "support/mqtt_probe.h"
#include "support/subprocess.h"

namespace {

using namespace std::chrono_literals;
using kro::test::Broker;
using kro::test::Certs;
using kro::test::Connection;
using kro::test::FakeBroker;
using kro::test::FakeBrokerScript;
using kro::test::Probe;

constexpr auto kWait = 10s;

enum class Listener { Plain, Tls, MutualTls, Password };

Connection connectionTo(const Broker& b, Listener listener, int protocol) {
    switch (listener) {
    case Listener::Plain:
        return kro::test::plainConnection(b.port(), protocol);
    case Listener::Tls:
        return kro::test::tlsConnection(b.tlsPort(), false, protocol);
    case Listener::MutualTls:
        return kro::test::tlsConnection(b.mtlsPort(), true, protocol);
    case Listener::Password:
        break;
    }
    Connection c = kro::test::plainConnection(b.authPort(), protocol);
    c.user = b.user();
    c.password = b.password();
    return c;
}

bool processGone(pid_t pid) {
    return ::kill(pid, 0) == -1 && errno == ESRCH;
}

// ---- certificates ----

struct Verification {
    const char* name;
    std::string Certs::*cert;
    std::string Certs::*ca;
    std::vector<std::string> checks; // extra openssl verify options
    bool valid;
};
void PrintTo(const Verification& p, std::ostream* os) {
    *os << p.name;
}

class FixtureCerts : public ::testing::TestWithParam<Verification> {};

TEST_P(FixtureCerts, ChainAndNamesAsIntended) {
    const Verification& p = GetParam();
    const Certs& certs = kro::test::testCerts();
    std::vector<std::string> argv{kro::test::findProgram("openssl"), "verify", "-CAfile",
                                  certs.*p.ca};
    argv.insert(argv.end(), p.checks.begin(), p.checks.end());
    argv.push_back(certs.*p.cert);
    const std::string log = certs.dir + "/verify.log";
    const int rc = kro::test::runProgram(argv, log);
    EXPECT_EQ(rc == 0, p.valid) << kro::test::readFile(log);
}

INSTANTIATE_TEST_SUITE_P(
    Generated, FixtureCerts,
    ::testing::Values(
        Verification{"server_for_localhost",
                     &Certs::serverCert,
                     &Certs::caCert,
                     {"-purpose", "sslserver", "-verify_hostname", "localhost"},
                     true},
        Verification{"server_for_loopback_ip",
                     &Certs::serverCert,
                     &Certs::caCert,
                     {"-purpose", "sslserver", "-verify_ip", "127.0.0.1"},
                     true},
        Verification{"server_not_for_other_names",
                     &Certs::serverCert,
                     &Certs::caCert,
                     {"-verify_hostname", "example.com"},
                     false},
        Verification{"client", &Certs::clientCert, &Certs::caCert, {"-purpose", "sslclient"}, true},
        Verification{"client_is_no_server",
                     &Certs::clientCert,
                     &Certs::caCert,
                     {"-purpose", "sslserver"},
                     false},
        Verification{
            "server_unknown_to_other_ca", &Certs::serverCert, &Certs::otherCaCert, {}, false},
        Verification{
            "stranger_unknown_to_test_ca", &Certs::strangerCert, &Certs::caCert, {}, false},
        Verification{"stranger_from_other_ca",
                     &Certs::strangerCert,
                     &Certs::otherCaCert,
                     {"-purpose", "sslclient"},
                     true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- round trips through every listener ----

struct RoundTrip {
    const char* name;
    Listener listener;
    int protocol;
    int qos;
    bool retained; // published before the probe subscribes, so it arrives flagged retained
};
void PrintTo(const RoundTrip& p, std::ostream* os) {
    *os << p.name;
}

class FixtureRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(FixtureRoundTrip, MessageArrivesWhole) {
    const RoundTrip& p = GetParam();
    Broker broker;
    const Connection conn = connectionTo(broker, p.listener, p.protocol);
    const std::string topic = std::string("kro/fixture/") + p.name;
    const char raw[] = "bytes \0 \xff\xfe and a line\n";
    const std::string payload(raw, sizeof raw - 1);

    if (p.retained) {
        ASSERT_TRUE(kro::test::publish(conn, topic, payload, p.qos, true));
    }
    Probe probe({conn, {"kro/fixture/#"}, p.qos});
    ASSERT_TRUE(probe.waitConnected(kWait)) << "connack " << probe.connackCode();
    if (!p.retained) {
        ASSERT_TRUE(kro::test::publish(conn, topic, payload, p.qos, false));
    }

    ASSERT_TRUE(probe.waitFor(1, kWait));
    const auto messages = probe.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].topic, topic);
    EXPECT_EQ(messages[0].payload, payload);
    EXPECT_EQ(messages[0].qos, p.qos);
    EXPECT_EQ(messages[0].retain, p.retained);
}

INSTANTIATE_TEST_SUITE_P(
    Listeners, FixtureRoundTrip,
    ::testing::Values(RoundTrip{"plain_v311_qos0", Listener::Plain, 4, 0, false},
                      RoundTrip{"plain_v31_retained", Listener::Plain, 3, 1, true},
                      RoundTrip{"tls_v311_qos1", Listener::Tls, 4, 1, false},
                      RoundTrip{"mtls_v5_qos2", Listener::MutualTls, 5, 2, false},
                      RoundTrip{"password_v5_retained", Listener::Password, 5, 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FixtureProbe, RecordsV5Properties) {
    Broker broker;
    const Connection conn = kro::test::plainConnection(broker.port(), 5);
    Probe probe({conn, {"kro/props"}, 1});
    ASSERT_TRUE(probe.waitConnected(kWait));

    mosquitto_property* props = nullptr;
    const std::string correlation("\x00\x01\xff", 3);
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "k", "first");
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "k", "second");
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "other", "");
    mosquitto_property_add_string(&props, MQTT_PROP_CONTENT_TYPE, "text/plain");
    mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, "kro/reply");
    mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(), 3);
    mosquitto_property_add_byte(&props, MQTT_PROP_PAYLOAD_FORMAT_INDICATOR, 1);
    const bool sent = kro::test::publish(conn, "kro/props", "p", 1, false, props);
    mosquitto_property_free_all(&props);
    ASSERT_TRUE(sent);
    ASSERT_TRUE(kro::test::publish(conn, "kro/props", "bare", 1));

    ASSERT_TRUE(probe.waitFor(2, kWait));
    const auto messages = probe.messages();
    const auto& m = messages[0];
    using Pair = std::pair<std::string, std::string>;
    EXPECT_EQ(m.userProperties,
              (std::vector<Pair>{{"k", "first"}, {"k", "second"}, {"other", ""}}));
    EXPECT_EQ(m.contentType, "text/plain");
    EXPECT_EQ(m.responseTopic, "kro/reply");
    EXPECT_EQ(m.correlationData, correlation);
    EXPECT_EQ(m.payloadFormat, 1);
    EXPECT_FALSE(m.messageExpiry.has_value());

    const auto& bare = messages[1];
    EXPECT_EQ(bare.payload, "bare");
    EXPECT_TRUE(bare.userProperties.empty());
    EXPECT_FALSE(bare.contentType || bare.responseTopic || bare.correlationData ||
                 bare.payloadFormat);
}

// ---- refusals ----

// Polls the broker's log (bounded) until it holds `text`.
bool waitForLog(const Broker& broker, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (broker.log().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

struct Refusal {
    const char* name;
    Listener listener;
    int protocol;
    void (*change)(Connection&);
    int connack; // expected CONNACK code, or -1 when TLS refuses the client
    // With connack -1: why the broker refused, from its log, and the client's own error report
    // (null where libmosquitto 2.0.11 may miss the TLS 1.3 alert that arrives after its
    // handshake and then waits for a CONNACK that never comes).
    const char* brokerLog;
    const char* clientError;
};
void PrintTo(const Refusal& p, std::ostream* os) {
    *os << p.name;
}

class FixtureRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(FixtureRefusal, ConnectionIsRefused) {
    const Refusal& p = GetParam();
    Broker broker;
    Connection conn = connectionTo(broker, p.listener, p.protocol);
    p.change(conn);
    Probe probe({conn, {"kro/#"}, 0});

    if (p.connack >= 0) {
        ASSERT_TRUE(probe.waitConnack(kWait));
        EXPECT_EQ(probe.connackCode(), p.connack);
        EXPECT_FALSE(kro::test::publish(conn, "kro/x", "never", 1));
        return;
    }
    ASSERT_TRUE(waitForLog(broker, p.brokerLog));
    if (p.clientError) {
        ASSERT_TRUE(probe.waitError(kWait));
        const auto errors = probe.errors();
        EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [&](const std::string& e) {
            return e.find(p.clientError) != std::string::npos;
        })) << ::testing::PrintToString(errors);
        EXPECT_FALSE(kro::test::publish(conn, "kro/x", "never", 1));
    }
    EXPECT_EQ(probe.connackCode(), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Listeners, FixtureRefusal,
    ::testing::Values(Refusal{"wrong_password_v311", Listener::Password, 4,
                              [](Connection& c) { c.password = "wrong"; }, 5, nullptr, nullptr},
                      Refusal{"wrong_password_v5", Listener::Password, 5,
                              [](Connection& c) { c.password += "x"; }, 135, nullptr, nullptr},
                      Refusal{"anonymous_on_password_listener", Listener::Password, 4,
                              [](Connection& c) { c.user.clear(); }, 5, nullptr, nullptr},
                      Refusal{"server_from_unknown_ca", Listener::Tls, 4,
                              [](Connection& c) { c.caFile = kro::test::testCerts().otherCaCert; },
                              -1, "tlsv1 alert unknown ca", "certificate verify failed"},
                      Refusal{"mtls_without_client_cert", Listener::MutualTls, 4,
                              [](Connection& c) { c.certFile = c.keyFile = ""; }, -1,
                              "peer did not return a certificate", nullptr},
                      Refusal{"mtls_client_from_unknown_ca", Listener::MutualTls, 5,
                              [](Connection& c) {
                                  c.certFile = kro::test::testCerts().strangerCert;
                                  c.keyFile = kro::test::testCerts().strangerKey;
                              },
                              -1, "certificate verify failed", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the broker's life cycle ----

class FixtureRestart : public ::testing::TestWithParam<bool> {};

TEST_P(FixtureRestart, SamePortsAcceptAgain) {
    const bool abrupt = GetParam();
    Broker broker;
    Probe probe({kro::test::plainConnection(broker.port()), {"kro/restart"}, 1});
    ASSERT_TRUE(probe.waitConnected(kWait));
    const pid_t first = broker.pid();
    const int ports[] = {broker.port(), broker.tlsPort(), broker.mtlsPort(), broker.authPort()};

    abrupt ? broker.kill() : broker.stop();
    EXPECT_FALSE(broker.running());
    EXPECT_TRUE(processGone(first));
    EXPECT_FALSE(kro::test::publish(broker.port(), "kro/restart", "lost", 1));

    broker.start();
    EXPECT_NE(broker.pid(), first);
    const int again[] = {broker.port(), broker.tlsPort(), broker.mtlsPort(), broker.authPort()};
    EXPECT_TRUE(std::equal(std::begin(ports), std::end(ports), std::begin(again)));
    ASSERT_TRUE(probe.waitConnected(kWait, 2));
    ASSERT_TRUE(kro::test::publish(broker.port(), "kro/restart", "back", 1));
    ASSERT_TRUE(probe.waitFor(1, kWait));
    EXPECT_EQ(probe.messages()[0].payload, "back");
}

INSTANTIATE_TEST_SUITE_P(Stops, FixtureRestart, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "kill" : "stop"; });

TEST(FixtureProbe, ConnectsOnceItsBrokerComesUp) {
    Broker broker;
    broker.stop();
    Probe probe({kro::test::plainConnection(broker.port()), {"kro/late"}, 1});
    EXPECT_FALSE(probe.waitConnected(300ms));
    broker.start();
    ASSERT_TRUE(probe.waitConnected(kWait));
    ASSERT_TRUE(kro::test::publish(broker.port(), "kro/late", "hello", 1));
    ASSERT_TRUE(probe.waitFor(1, kWait));
    EXPECT_EQ(probe.messages()[0].payload, "hello");
}

TEST(FixtureBroker, DestructorLeavesNothingBehind) {
    pid_t pid = -1;
    std::string dir;
    {
        Broker broker;
        pid = broker.pid();
        dir = broker.dir();
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(std::filesystem::exists(broker.logPath()));
    }
    EXPECT_TRUE(processGone(pid));
    EXPECT_FALSE(std::filesystem::exists(dir));
}

// ---- the fake broker ----

struct FakeRefusal {
    const char* name;
    int protocol;
    int code;
};
void PrintTo(const FakeRefusal& p, std::ostream* os) {
    *os << p.name;
}

class FixtureFakeConnack : public ::testing::TestWithParam<FakeRefusal> {};

TEST_P(FixtureFakeConnack, ChosenCodeReachesClientEveryTime) {
    const FakeRefusal& p = GetParam();
    FakeBrokerScript script;
    script.connackCode = p.code;
    FakeBroker fake(script);
    Connection conn = kro::test::plainConnection(fake.port(), p.protocol);
    conn.user = "someone";
    conn.password = "secret";
    Probe probe({conn, {"kro/#"}, 0});

    ASSERT_TRUE(probe.waitConnack(kWait));
    EXPECT_EQ(probe.connackCode(), p.code);
    // A second client, while the first may still be connected or retrying, is answered the
    // same way.
    Probe second({conn, {"kro/#"}, 0});
    ASSERT_TRUE(second.waitConnack(kWait));
    EXPECT_EQ(second.connackCode(), p.code);
    ASSERT_TRUE(fake.waitConnects(2, kWait));
    const auto connects = fake.connects();
    EXPECT_EQ(connects[0].protocolLevel, p.protocol);
    EXPECT_EQ(connects[0].user, "someone");
    EXPECT_EQ(connects[0].password, "secret");
    EXPECT_TRUE(fake.subscriptions().empty());
}

INSTANTIATE_TEST_SUITE_P(Codes, FixtureFakeConnack,
                         ::testing::Values(FakeRefusal{"v5_quota_exceeded", 5, 132},
                                           FakeRefusal{"v5_not_authorized", 5, 135},
                                           FakeRefusal{"v311_not_authorized", 4, 5},
                                           FakeRefusal{"v31_identifier_rejected", 3, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

class FixtureFakeSuback : public ::testing::TestWithParam<int> {};

TEST_P(FixtureFakeSuback, EveryFilterIsDenied) {
    const int protocol = GetParam();
    FakeBroker fake;
    const std::vector<std::string> topics{"kro/a", "kro/+/b", "kro/#"};
    Probe probe({kro::test::plainConnection(fake.port(), protocol), topics, 1});

    ASSERT_TRUE(probe.waitSuback(kWait));
    EXPECT_EQ(probe.connackCode(), 0);
    EXPECT_EQ(probe.grantedQos(), (std::vector<int>{0x80, 0x80, 0x80}));
    EXPECT_FALSE(probe.waitConnected(0ms));
    ASSERT_EQ(fake.subscriptions().size(), 1u);
    EXPECT_EQ(fake.subscriptions()[0], topics);
}

INSTANTIATE_TEST_SUITE_P(Protocols, FixtureFakeSuback, ::testing::Values(4, 5),
                         [](const auto& info) { return "level" + std::to_string(info.param); });

// Byte-level exchanges, written one byte at a time so replies must wait for whole packets.
struct Exchange {
    const char* name;
    std::string send;
    std::string reply;
};
void PrintTo(const Exchange& p, std::ostream* os) {
    *os << p.name;
}

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b)
        s += static_cast<char>(c);
    return s;
}

const std::string kConnect311 =
    bytes({0x10, 0x0e, 0, 4, 'M', 'Q', 'T', 'T', 4, 0x02, 0, 60, 0, 2, 'i', 'd'});
const std::string kConnect5 =
    bytes({0x10, 0x0f, 0, 4, 'M', 'Q', 'T', 'T', 5, 0x02, 0, 60, 0, 0, 2, 'i', 'd'});

class FixtureFakeWire : public ::testing::TestWithParam<Exchange> {};

TEST_P(FixtureFakeWire, AnswersByteForByte) {
    const Exchange& p = GetParam();
    FakeBroker fake;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(fake.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    for (char c : p.send)
        if (send(fd, &c, 1, MSG_NOSIGNAL) != 1)
            break; // closed by the broker, as some cases expect

    std::string got;
    char buf[256];
    ssize_t n;
    while (got.size() < p.reply.size() && (n = recv(fd, buf, sizeof buf, 0)) > 0)
        got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(::testing::PrintToString(got), ::testing::PrintToString(p.reply));
    // Nothing more than expected: the next read sees the end (closed) or times out.
    shutdown(fd, SHUT_WR);
    n = recv(fd, buf, sizeof buf, 0);
    EXPECT_LE(n, 0);
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, FixtureFakeWire,
    ::testing::Values(
        Exchange{"connect_v311", kConnect311, bytes({0x20, 2, 0, 0})},
        Exchange{"connect_v5", kConnect5, bytes({0x20, 3, 0, 0, 0})},
        Exchange{"ping", kConnect311 + bytes({0xc0, 0}), bytes({0x20, 2, 0, 0, 0xd0, 0})},
        Exchange{"subscribe_two_v311",
                 kConnect311 + bytes({0x82, 10, 0, 7, 0, 1, 'a', 1, 0, 1, 'b', 0}),
                 bytes({0x20, 2, 0, 0, 0x90, 4, 0, 7, 0x80, 0x80})},
        Exchange{"subscribe_v5_with_properties",
                 kConnect5 + bytes({0x82, 9, 1, 2, 2, 0x0b, 5, 0, 1, 'a', 1}),
                 bytes({0x20, 3, 0, 0, 0, 0x90, 4, 1, 2, 0, 0x80})},
        Exchange{"unsubscribe_v5", kConnect5 + bytes({0xa2, 6, 0, 9, 0, 0, 1, 'a'}),
                 bytes({0x20, 3, 0, 0, 0, 0xb0, 4, 0, 9, 0, 0})},
        Exchange{"publish_qos1", kConnect311 + bytes({0x32, 5, 0, 1, 't', 0, 7}),
                 bytes({0x20, 2, 0, 0, 0x40, 2, 0, 7})},
        Exchange{"publish_qos2_and_release",
                 kConnect311 + bytes({0x34, 6, 0, 1, 't', 0, 8, 'x', 0x62, 2, 0, 8}),
                 bytes({0x20, 2, 0, 0, 0x50, 2, 0, 8, 0x70, 2, 0, 8})},
        Exchange{"disconnect_closes", kConnect311 + bytes({0xe0, 0, 0xc0, 0}),
                 bytes({0x20, 2, 0, 0})},
        // A PINGREQ after a malformed packet must find the connection closed.
        Exchange{"overlong_length_closes", bytes({0x10, 0xff, 0xff, 0xff, 0xff, 0x01, 0xc0, 0}),
                 ""},
        Exchange{"truncated_connect_closes", bytes({0x10, 3, 0, 9, 'M', 0xc0, 0}), ""}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
