// Both drivers with "PubMode": "session" through the plug-in: one lasting
// connection, values as they were posted and in posting order, an outage with
// a small buffer, and a stop with values still waiting.
#include <algorithm>
#include <csignal>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/broker.h"
#include "support/capture.h"
#include "support/fake_broker.h"
#include "support/mqtt_probe.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using kro::host::VarSpec;
using kro::test::Broker;
using kro::test::Capture;
using kro::test::commonSettings;
using kro::test::Plugin;
using kro::test::Probe;
using kro::test::RunningDriver;
using kro::test::StateLog;
using kro::test::waitUntil;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A Common driver's settings in session mode for dev1 at 127.0.0.1:port, and
// `more`.
std::string sessionSettings(int port, std::map<std::string, std::string> more = {}) {
    more.insert({{"DeviceId", "dev1"},
                 {"host", "127.0.0.1"},
                 {"port", std::to_string(port)},
                 {"PubMode", "session"}});
    return commonSettings(more);
}

struct DriverCase {
    const char* name;
    bool aws;
};

class DriverSession : public ::testing::TestWithParam<DriverCase> {};

// No publisher program is in the working directory: nothing is started per
// value. Every value of a fast series arrives once, in order, byte for byte.
// Run with the concurrency tests under ThreadSanitizer: the host's posts, the
// library's network thread and the publish thread meet here.
TEST_P(DriverSession, ValuesArriveAsPostedAndInOrder) {
    const bool aws = GetParam().aws;
    Broker broker;
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    auto p = dev->addVariable(VarSpec{"P", 2 << 20, "PubVariable", "s/p", ""});
    // Never sendable: set aside, counted, and not held in flight.
    auto w = dev->addVariable(VarSpec{"W", 8, "PubVariable", "s/#", "x"});
    const std::string port = std::to_string(broker.port());
    kro::test::configureAws(broker, "s/in");
    // The 1 MiB value is over AWS IoT Core's message limit, which this broker is not.
    const std::string settings =
        aws ? R"({"Protocol":"AWSMQTT","PubMode":"session","PubMaxBytes":0})"
            : commonSettings({{"DeviceId", "dev1"},
                              {"host", "127.0.0.1"},
                              {"port", port},
                              {"clientid", "drv"},
                              {"PubMode", "session"},
                              {"AdditionPubArgs", "-q 1"}});
    Probe probe({kro::test::plainConnection(broker.port()), {"s/#"}, 1});
    ASSERT_TRUE(probe.waitConnected(10s));

    Capture out(Capture::Stream::Out);
    RunningDriver driver(
        plugin, aws ? "libAwsMqttDriver_loadDriver" : "libTlsMqttDriver_loadDriver", &dm, settings);
    std::vector<std::string> posted;
    for (int i = 0; i < 50; ++i)
        posted.push_back("v" + std::to_string(i));
    posted.insert(posted.end(), {"", kro::test::everyByteValue(1 << 20), "kept --retain"});
    for (const std::string& v : posted) {
        p->setStrValue(v.c_str(), true);
        driver->postData(p);
        if (v == "v9")
            driver->postData(w);
    }
    ASSERT_TRUE(probe.waitFor(posted.size(), 20s));
    ASSERT_TRUE(log.waitFor("pubstate", 0, 10s));
    EXPECT_TRUE(log.waitFor(aws ? "pubdropped" : "dev1.pubdropped", 1, 5s));
    EXPECT_TRUE(log.waitFor(aws ? "pubwaiting" : "dev1.pubwaiting", 0, 5s));
    EXPECT_LT(driver.destroy(), 2s);
    const std::string printed = out.take();

    // The Common driver strips the suffix and retains; the AWS driver has no
    // such rule. QoS as the extra arguments give it.
    if (!aws)
        posted.back() = "kept";
    const auto messages = probe.messages();
    ASSERT_EQ(messages.size(), posted.size());
    for (size_t i = 0; i < posted.size(); ++i) {
        EXPECT_TRUE(messages[i].payload == posted[i]) << "message " << i;
        EXPECT_EQ(messages[i].qos, aws ? 0 : 1);
    }
    if (!aws) {
        Probe late({kro::test::plainConnection(broker.port()), {"s/p"}, 0});
        ASSERT_TRUE(late.waitFor(1, 10s));
        EXPECT_EQ(late.messages()[0].payload, "kept");
        EXPECT_TRUE(
            contains(printed, "mqttclinet_pub -h 127.0.0.1 -p " + port + " -i drv-pub -q 1 \n"))
            << printed;
    }
    // The value that can never go out is the only fault, and is no value sent.
    size_t errors = 0;
    for (size_t at = printed.find("[kro error]"); at != std::string::npos;
         at = printed.find("[kro error]", at + 1))
        ++errors;
    EXPECT_EQ(errors, 2u) << printed;
    EXPECT_TRUE(
        std::regex_search(printed, std::regex(R"(\[kro error\]publish failed: [^\n]*: s/#\n)")))
        << printed;
    const std::string setAside =
        "[kro error]publish session closed: 1 value set aside, every other value sent\n";
    EXPECT_TRUE(contains(printed, setAside)) << printed;
}

INSTANTIATE_TEST_SUITE_P(Concurrency, DriverSession,
                         ::testing::Values(DriverCase{"Common", false}, DriverCase{"Aws", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// QoS 0 values the library had taken but not yet written when the connection
// died (a frozen broker fills the socket, then is killed) go out again before
// the values posted after them: the broker's log shows every length once at
// most, in increasing order.
TEST(DriverSessionOutage, QoS0ValuesTakenBackGoBeforeNewerOnes) {
    Broker broker;
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    auto p = dm.addDevice("dev1")->addVariable(VarSpec{"P", 1 << 16, "PubVariable", "s/z", ""});
    Capture out(Capture::Stream::Out);
    RunningDriver driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                         sessionSettings(broker.port(), {{"clientid", "drv"}}));
    auto post = [&](size_t length) {
        p->setStrValue(std::string(length, 'z').c_str(), true);
        driver->postData(p);
    };
    post(1);
    ASSERT_TRUE(log.waitFor("pubstate", 0, 10s));
    ASSERT_EQ(::kill(broker.pid(), SIGSTOP), 0);
    // Far more than the socket and the 1000-value window hold.
    constexpr size_t kValues = 3000;
    for (size_t i = 0; i < kValues; ++i)
        post(20000 + i);
    std::this_thread::sleep_for(1s);
    broker.kill();
    ASSERT_NO_THROW(broker.start());
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::vector<int> waiting = log.ints("dev1.pubwaiting");
            return contains(out.peek(), "publish connection restored") && !waiting.empty() &&
                   waiting.back() == 0;
        },
        60s));
    EXPECT_LT(driver.destroy(), 2s);
    const std::regex received(
        R"(Received PUBLISH from drv-pub \(d0, q0, r0, m0, 's/z', \.\.\. \((\d+) bytes\)\))");
    const std::string brokerLog = broker.log();
    std::vector<int> lengths;
    for (auto it = std::sregex_iterator(brokerLog.begin(), brokerLog.end(), received);
         it != std::sregex_iterator(); ++it)
        lengths.push_back(std::stoi((*it)[1]));
    ASSERT_GT(lengths.size(), 1000u) << "the restarted broker got too little to tell";
    EXPECT_EQ(lengths.back(), static_cast<int>(20000 + kValues - 1));
    EXPECT_TRUE(std::is_sorted(lengths.begin(), lengths.end()) &&
                std::adjacent_find(lengths.begin(), lengths.end()) == lengths.end());
}

// Values posted while the connection is down wait in the buffer; beyond
// "PubBuffer" the oldest are dropped and counted; the rest go out in order
// once the connection is back (seen in the broker's log: no subscriber has to
// win the race to the restarted broker).
TEST(DriverSessionOutage, OldestBeyondTheBufferAreDroppedTheRestSentInOrder) {
    Broker broker;
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    auto p = dm.addDevice("dev1")->addVariable(VarSpec{"P", 64, "PubVariable", "s/o", ""});
    Capture out(Capture::Stream::Out);
    RunningDriver driver(
        plugin, "libTlsMqttDriver_loadDriver", &dm,
        sessionSettings(broker.port(),
                        {{"clientid", "drv"}, {"PubBuffer", "5"}, {"AdditionPubArgs", "-q 1"}}));
    auto post = [&](const std::string& v) {
        p->setStrValue(v.c_str(), true);
        driver->postData(p);
    };
    post("x");
    ASSERT_TRUE(log.waitFor("pubstate", 0, 10s));
    broker.stop();
    ASSERT_TRUE(waitUntil([&] { return contains(out.peek(), "publish connection lost"); }, 10s));
    // Told apart in the log by their lengths: 1 to 8 bytes.
    for (int i = 1; i <= 8; ++i)
        post(std::string(static_cast<size_t>(i), 'o'));
    ASSERT_TRUE(log.waitFor("pubstate", 102, 10s));
    const std::string failed = "[kro error]publish connection failed: Connection refused\n";
    ASSERT_TRUE(waitUntil([&] { return contains(out.peek(), failed); }, 10s));
    ASSERT_NO_THROW(broker.start());
    ASSERT_TRUE(log.waitFor("pubstate", 0, 20s, 2));
    // A second outage after the recovery says why its connects fail again.
    const auto told = [&] {
        const std::string text = out.peek();
        return text.find(failed) != text.rfind(failed);
    };
    broker.stop();
    EXPECT_TRUE(waitUntil(told, 20s)) << out.peek();
    EXPECT_LT(driver.destroy(), 2s);
    const std::string printed = out.take();

    const std::regex received(
        R"(Received PUBLISH from drv-pub \(d0, q1, r0, m\d+, 's/o', \.\.\. \((\d+) bytes\)\))");
    const std::string brokerLog = broker.log();
    std::vector<int> lengths;
    for (auto it = std::sregex_iterator(brokerLog.begin(), brokerLog.end(), received);
         it != std::sregex_iterator(); ++it)
        lengths.push_back(std::stoi((*it)[1]));
    EXPECT_EQ(lengths, (std::vector<int>{1, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(contains(printed,
                         "[kro error]publish connection lost: 0 values waiting\n"
                         "[kro error]publish buffer full (5 values): dropping the oldest\n"))
        << printed;
    EXPECT_TRUE(contains(printed, "[kro info]publish connection restored\n")) << printed;
    EXPECT_TRUE(contains(printed, "[kro error]publish buffer full: 3 oldest values dropped\n"))
        << printed;
    EXPECT_TRUE(contains(printed, "[kro info]publish session closed: every value sent\n"));
}

// A stop gives the connection one second to take what is waiting, never
// more: values in flight to a live broker go out at once; a frozen broker
// acknowledges nothing; with no broker at all nothing can be handed over.
TEST(DriverSessionStop, WaitingValuesGetASecondAndTheRestIsCounted) {
    enum class Broker_ { Live, Frozen, None };
    for (const Broker_ kind : {Broker_::Live, Broker_::Frozen, Broker_::None}) {
        SCOPED_TRACE(static_cast<int>(kind));
        Broker broker;
        StateLog log;
        Plugin plugin;
        kro::host::DeviceManager dm;
        auto p = dm.addDevice("dev1")->addVariable(VarSpec{"P", 64, "PubVariable", "s/w", ""});
        Capture out(Capture::Stream::Out);
        const int port = broker.port();
        if (kind == Broker_::None)
            broker.stop();
        RunningDriver driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                             sessionSettings(port, {{"AdditionPubArgs", "-q 1"}}));
        p->setStrValue("first", true);
        driver->postData(p);
        ASSERT_TRUE(log.waitFor("pubstate", kind == Broker_::None ? 102 : 0, 10s));
        if (kind == Broker_::Frozen)
            ::kill(broker.pid(), SIGSTOP);
        for (int i = 0; i < 10; ++i)
            driver->postData(p);
        const auto took = driver.destroy();
        if (kind == Broker_::Frozen)
            ::kill(broker.pid(), SIGCONT);
        const std::string printed = out.take();
        EXPECT_GE(took, kind == Broker_::Frozen ? 900ms : 0ms);
        EXPECT_LT(took, kind == Broker_::Live ? 900ms : 2s);
        const char* closed[] = {"[kro info]publish session closed: every value sent\n",
                                "[kro error]publish session closed: 10 values unsent\n",
                                "[kro error]publish session closed: 11 values unsent\n"};
        EXPECT_TRUE(contains(printed, closed[static_cast<int>(kind)])) << printed;
        EXPECT_EQ(contains(printed, "[kro error]publish connection failed: Connection refused\n"),
                  kind == Broker_::None)
            << printed;
    }
}

// A connect that fails after the TCP connect, or gets no CONNACK, says why
// within the connect bound, each reason once while it repeats every second (a
// TLS fault may show in more than one way).
TEST(DriverSessionConnect, FailedAndUnansweredConnectsSayWhy) {
    Broker broker;
    kro::test::SilentListener silent(false);
    const auto& certs = broker.certs();
    const struct {
        int port;
        std::string cafile, reason;
    } rows[] = {
        {broker.tlsPort(), certs.otherCaCert, "certificate verify failed"},
        {broker.port(), certs.caCert, "(unexpected eof while reading|reset by peer)"},
        {broker.mtlsPort(), certs.caCert, "(certificate required|Protocol error|reset by peer)"},
        {silent.port(), "", "no answer from the broker within 10 s\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reason);
        StateLog log;
        Plugin plugin;
        kro::host::DeviceManager dm;
        auto p = dm.addDevice("dev1")->addVariable(VarSpec{"P", 64, "PubVariable", "s/f", ""});
        Capture out(Capture::Stream::Out);
        RunningDriver driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                             sessionSettings(row.port, {{"cafile", row.cafile}}));
        driver->postData(p);
        const std::regex failed("publish connection failed: [^\\n]*" + row.reason);
        // The bound and a little more; the others fail at once.
        const bool told = waitUntil([&] { return std::regex_search(out.peek(), failed); }, 13s);
        const bool waiting = log.waitFor("pubstate", 102, 1s);
        std::this_thread::sleep_for(2500ms); // two more attempts
        const auto took = driver.destroy();
        const std::string printed = out.take();
        EXPECT_TRUE(told && waiting) << printed;
        EXPECT_LT(took, 2s);
        std::istringstream lines(printed);
        std::set<std::string> seen;
        for (std::string line; std::getline(lines, line);)
            EXPECT_TRUE(!contains(line, "connection failed") || seen.insert(line).second)
                << printed;
    }
}

// A list whose first broker never answers, or refuses: both sides use the
// second (within the connect bound), and show it.
TEST(DriverSessionConnect, AListsSilentOrRefusingFirstBrokerIsLeftForTheNext) {
    Broker broker;
    kro::test::SilentListener silent(false);
    for (const int first : {silent.port(), broker.authPort()}) {
        SCOPED_TRACE(first);
        StateLog log;
        Plugin plugin;
        kro::host::DeviceManager dm;
        kro::host::Device* dev = dm.addDevice("dev1");
        auto p = dev->addVariable(VarSpec{"P", 64, "PubVariable", "list/p", ""});
        auto in = dev->addVariable(VarSpec{"In", 64, "SubVariable", "list/in", ""});
        Probe probe({kro::test::plainConnection(broker.port()), {"list/p"}, 1});
        ASSERT_TRUE(probe.waitConnected(10s));
        const std::string second = "127.0.0.1:" + std::to_string(broker.port());
        Capture out(Capture::Stream::Out);
        RunningDriver driver(
            plugin, "libTlsMqttDriver_loadDriver", &dm,
            sessionSettings(broker.port(),
                            {{"host", "127.0.0.1:" + std::to_string(first) + ",127.0.0.1"}}));
        p->setStrValue("v", true);
        driver->postData(p);
        ASSERT_TRUE(probe.waitFor(1, 25s)) << out.peek();
        ASSERT_TRUE(log.waitFor("dev1.substate", 0, 25s));
        EXPECT_TRUE(waitUntil(
            [&] {
                kro::test::publish(broker.port(), "list/in", "x");
                return std::string(in->getStrValue()) == "x";
            },
            10s));
        EXPECT_EQ(log.values("dev1.broker"), std::vector<std::string>{second});
        EXPECT_TRUE(contains(out.take(), "[kro info]broker in use: " + second + "\n"));
    }
}

} // namespace

namespace {

// A v5 broker refuses two values (its access list): each is set aside and
// counted, said once for its topic, and the value between them arrives.
TEST(DriverSessionRefused, ValuesTheBrokerRefusesAreSetAsideTheRestArrive) {
    Broker broker;
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    auto denied = dev->addVariable(VarSpec{"D", 8, "PubVariable", "denied/x", "a"});
    auto ok = dev->addVariable(VarSpec{"K", 8, "PubVariable", "ok/x", "b"});
    Probe probe({kro::test::plainConnection(broker.port()), {"ok/#"}, 1});
    ASSERT_TRUE(probe.waitConnected(10s));
    Capture out(Capture::Stream::Out);
    RunningDriver driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                         sessionSettings(broker.authPort(), {{"username", broker.user()},
                                                             {"password", broker.password()},
                                                             {"AdditionPubArgs", "-q 1 -V 5"}}));
    for (auto& var : {denied, ok, denied})
        driver->postData(var);
    ASSERT_TRUE(probe.waitFor(1, 10s));
    EXPECT_TRUE(log.waitFor("dev1.pubdropped", 2, 5s));
    EXPECT_LT(driver.destroy(), 2s);
    const std::string printed = out.take();
    const std::string refused = "[kro error]publish refused by the broker: Not authorized: "
                                "denied/x; the value is set aside\n";
    EXPECT_TRUE(contains(printed, refused)) << printed;
    EXPECT_EQ(printed.find(refused), printed.rfind(refused));
    EXPECT_TRUE(contains(
        printed,
        "[kro error]publish session closed: 2 values set aside, every other value sent\n"));
    EXPECT_EQ(probe.messages()[0].payload, "b");
}

// A value the broker closes the connection on (here: too large for it) is
// set aside after three closes in a row; the values behind it arrive.
TEST(DriverSessionRefused, AValueTheBrokerClosesOnIsSetAsideTheRestArrive) {
    kro::test::BrokerOptions options;
    options.extraConfig = "max_packet_size 2000\n";
    Broker broker(options);
    StateLog log;
    Plugin plugin;
    kro::host::DeviceManager dm;
    auto p = dm.addDevice("dev1")->addVariable(VarSpec{"P", 8000, "PubVariable", "big/x", ""});
    Probe probe({kro::test::plainConnection(broker.port()), {"big/#"}, 1});
    ASSERT_TRUE(probe.waitConnected(10s));
    Capture out(Capture::Stream::Out);
    RunningDriver driver(
        plugin, "libTlsMqttDriver_loadDriver", &dm,
        sessionSettings(broker.port(), {{"AdditionPubArgs", "-q 1"}, {"PubReconnectMax", "1"}}));
    const auto post = [&](const std::string& v) {
        p->setStrValue(v.c_str(), true);
        driver->postData(p);
    };
    // Alone: the close that starts the search, then three with it alone in flight.
    post(std::string(5000, 'b'));
    ASSERT_TRUE(log.waitFor("dev1.pubdropped", 1, 30s)) << out.peek();
    const auto losses = [&] {
        const std::string text = out.peek();
        size_t n = 0;
        for (size_t at = 0; (at = text.find("publish connection lost", at)) != std::string::npos;
             ++at)
            ++n;
        return n;
    };
    EXPECT_EQ(losses(), 4u) << out.peek();
    for (const std::string& v : {std::string("a"), std::string(5000, 'b'), std::string("c")})
        post(v);
    ASSERT_TRUE(log.waitFor("dev1.pubdropped", 2, 30s)) << out.peek();
    // Bounded: "a" may come more than once before "c".
    for (size_t n = 2; n < 6 && probe.messages().back().payload != "c"; ++n)
        probe.waitFor(n, 10s);
    EXPECT_LT(driver.destroy(), 2s);
    // "a" twice when the close swallowed its acknowledgement: at least once.
    std::vector<std::string> got;
    for (const auto& m : probe.messages())
        if (got.empty() || got.back() != m.payload)
            got.push_back(m.payload);
    EXPECT_EQ(got, (std::vector<std::string>{"a", "c"}));
    EXPECT_TRUE(contains(out.take(), "[kro error]publish set aside: the broker closed the "
                                     "connection on it 3 times: big/x\n"));
}

// Another client with the session's client id takes the connection: a broker
// may say so (MQTT 5: 0x8E), or only close it soon after each CONNACK (Debian's
// does that under both versions).
TEST(DriverSessionConnect, AConnectionTakenOverByAnotherClientIsNamedOnce) {
    Broker broker;
    kro::test::FakeBrokerScript script;
    script.disconnectReason = 0x8E;
    kro::test::FakeBroker fake(script);
    for (const bool said : {true, false}) {
        SCOPED_TRACE(said);
        Plugin plugin;
        kro::host::DeviceManager dm;
        dm.addDevice("dev1");
        Capture out(Capture::Stream::Out);
        RunningDriver driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                             sessionSettings(said ? fake.port() : broker.port(),
                                             {{"clientid", "twin"},
                                              {"PubReconnectMax", "1"},
                                              {"AdditionPubArgs", said ? "-V 5" : ""}}));
        kro::test::Connection twin = kro::test::plainConnection(broker.port());
        twin.clientId = "twin-pub";
        // Reconnects a quarter second after each loss: a fight on one id.
        std::optional<Probe> other;
        if (!said)
            other.emplace(kro::test::ProbeOptions{twin, {}, 0});
        const std::string line =
            "[kro error]publish connection taken over: another client uses client id twin-pub";
        EXPECT_TRUE(waitUntil([&] { return contains(out.peek(), line); }, 15s)) << out.peek();
        std::this_thread::sleep_for(2s);
        EXPECT_LT(driver.destroy(), 2s);
        const std::string printed = out.take();
        EXPECT_EQ(printed.find(line), printed.rfind(line)) << printed;
        EXPECT_TRUE(contains(printed, line + (said ? "\n" : " (likely: "))) << printed;
    }
}

} // namespace
