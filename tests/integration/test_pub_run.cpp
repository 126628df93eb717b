// The publisher entry against a real broker: message sources, QoS, retained
// messages, repeats, MQTT v5 properties and exit codes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>

#include "client/lib_init.h"
#include "support/broker.h"
#include "support/fake_broker.h"
#include "support/mqtt_probe.h"
#include "support/subprocess.h"
#include "test_pub_support.h"

namespace {

using namespace std::chrono_literals;
using kro::test::Broker;
using kro::test::FakeBroker;
using kro::test::FakeBrokerScript;
using kro::test::Message;
using kro::test::Probe;
using kro::test::publishLines;
using kro::test::PubRun;
using kro::test::runPub;
using kro::test::StdinFrom;

constexpr auto kWait = 10s;

class PubBroker : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = kro::test::makeTempDir("kro_pub_run");
        m_topic = std::string("kro/pub/") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : m_topic)
            if (c == '#' || c == '+')
                c = '_';
    }
    void TearDown() override {
        kro::test::removeTree(m_dir);
        // Every run gives its library reference back, whatever way it ended.
        EXPECT_EQ(client_lib_refcount(), 0);
    }
    std::string file(const std::string& name, const std::string& content) const {
        kro::test::writeFile(m_dir + "/" + name, content);
        return m_dir + "/" + name;
    }
    std::string sparse(const std::string& name, off_t size) const {
        std::string path = m_dir + "/" + name;
        int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, size), 0);
        close(fd);
        return path;
    }
    std::unique_ptr<Probe> probe(int protocol = 4, int qos = 2) {
        auto p = std::make_unique<Probe>(kro::test::ProbeOptions{
            kro::test::plainConnection(m_broker.port(), protocol), {m_topic}, qos});
        EXPECT_TRUE(p->waitConnected(kWait));
        return p;
    }
    std::vector<std::string> to(std::vector<std::string> args) const {
        std::vector<std::string> all{"-h", "127.0.0.1", "-p", std::to_string(m_broker.port()),
                                     "-t", m_topic};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    Broker m_broker;
    std::string m_dir, m_topic;
};

// ---------------------------------------------------------------------------
// One message from each source, at each QoS

struct SourceCase {
    const char* name;
    std::vector<std::string> args;
    std::string payload;
    int qos;
    int protocol;
    // Written to a file that is given with -f, or put on standard input.
    std::optional<std::string> file_content, stdin_content;
};
void PrintTo(const SourceCase& c, std::ostream* os) {
    *os << c.name;
}

class PubSource : public PubBroker, public ::testing::WithParamInterface<SourceCase> {};

TEST_P(PubSource, OneMessageArrives) {
    const SourceCase& tc = GetParam();
    auto sub = probe(tc.protocol);
    std::vector<std::string> args = tc.args;
    if (tc.file_content) {
        args.push_back("-f");
        args.push_back(file("message", *tc.file_content));
    }
    PubRun run;
    if (tc.stdin_content) {
        StdinFrom in(file("stdin", *tc.stdin_content));
        run = runPub(to(args));
    } else {
        run = runPub(to(args));
    }
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, publishLines(1, 1));
    EXPECT_EQ(run.err, "");

    ASSERT_TRUE(sub->waitFor(1, kWait));
    std::this_thread::sleep_for(200ms); // nothing more may follow
    auto msgs = sub->messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].topic, m_topic);
    EXPECT_EQ(msgs[0].payload, tc.payload);
    EXPECT_EQ(msgs[0].qos, tc.qos);
    EXPECT_FALSE(msgs[0].retain);
}

const std::string kBinary("bin\0ary\xff\r\n", 10);

INSTANTIATE_TEST_SUITE_P(
    Cases, PubSource,
    ::testing::Values(
        SourceCase{"message_qos0", {"-m", "hello"}, "hello", 0, 4, {}, {}},
        SourceCase{"message_qos1", {"-m", "one", "-q", "1"}, "one", 1, 4, {}, {}},
        SourceCase{"message_qos2", {"-q", "2", "-m", "two"}, "two", 2, 4, {}, {}},
        SourceCase{"message_v5_qos2", {"-V", "5", "-q", "2", "-m", "v5"}, "v5", 2, 5, {}, {}},
        SourceCase{"message_v31", {"-V", "31", "-m", "old"}, "old", 0, 4, {}, {}},
        SourceCase{"null_message", {"-n"}, "", 0, 4, {}, {}},
        SourceCase{"file", {"-q", "1"}, kBinary, 1, 4, kBinary, {}},
        SourceCase{"empty_file", {}, "", 0, 4, std::string(), {}},
        SourceCase{"stdin", {"-s", "-q", "1"}, kBinary, 1, 4, {}, kBinary},
        SourceCase{"id_prefix", {"-I", "kro-pub-", "-m", "id"}, "id", 0, 4, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PubBroker, CredentialsOnThePasswordListener) {
    auto sub = std::make_unique<Probe>(
        kro::test::ProbeOptions{kro::test::plainConnection(m_broker.port()), {m_topic}, 1});
    ASSERT_TRUE(sub->waitConnected(kWait));
    PubRun run = runPub({"-h", "127.0.0.1", "-p", std::to_string(m_broker.authPort()), "-u",
                         m_broker.user(), "-P", m_broker.password(), "-t", m_topic, "-m", "auth"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, publishLines(1, 1));
    ASSERT_TRUE(sub->waitFor(1, kWait));
    EXPECT_EQ(sub->messages()[0].payload, "auth");
}

TEST_F(PubBroker, DebugWritesLibraryLogBetweenTheLines) {
    PubRun run = runPub(to({"-d", "-m", "logged"}));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const size_t connect = run.out.find(" sending CONNECT\n");
    const size_t publish = run.out.find(" sending PUBLISH ");
    const size_t lines = run.out.find(publishLines(1, 1));
    const size_t disconnect = run.out.find(" sending DISCONNECT\n");
    ASSERT_NE(connect, std::string::npos) << run.out;
    ASSERT_NE(lines, std::string::npos) << run.out;
    EXPECT_LT(connect, publish);
    EXPECT_LT(publish, lines);
    EXPECT_LT(lines, disconnect);
}

TEST_F(PubBroker, RetainedMessageSeenByALaterSubscriber) {
    PubRun run = runPub(to({"-r", "-q", "1", "-m", "kept"}));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, publishLines(1, 1));

    auto sub = probe();
    ASSERT_TRUE(sub->waitFor(1, kWait));
    auto msgs = sub->messages();
    EXPECT_EQ(msgs[0].payload, "kept");
    EXPECT_TRUE(msgs[0].retain);
}

TEST_F(PubBroker, TwoRunsInOneProcessBehaveAlike) {
    auto sub = probe();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("run " + std::to_string(i + 1));
        PubRun run = runPub(to({"-q", "1", "--repeat", "2", "-m", "again"}));
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(run.out, publishLines(2, 2));
        EXPECT_EQ(run.err, "");
    }
    ASSERT_TRUE(sub->waitFor(4, kWait));
    // A refused run in between leaves nothing behind for the next one.
    FakeBrokerScript refuse;
    refuse.connackCode = 5;
    FakeBroker fake(refuse);
    PubRun refused =
        runPub({"-h", "127.0.0.1", "-p", std::to_string(fake.port()), "-t", "x", "-m", "no"});
    EXPECT_EQ(refused.code, 5);
    PubRun after = runPub(to({"-m", "after"}));
    EXPECT_EQ(after.code, 0) << after.err;
    EXPECT_EQ(after.out, publishLines(1, 1));
    ASSERT_TRUE(sub->waitFor(5, kWait));
}

// ---------------------------------------------------------------------------
// Repeats

// Records when each message arrived, by watching the probe.
class ArrivalClock {
public:
    explicit ArrivalClock(Probe& probe, size_t expected) {
        m_thread = std::thread([this, &probe, expected] {
            auto deadline = std::chrono::steady_clock::now() + 20s;
            size_t seen = 0;
            while (seen < expected && std::chrono::steady_clock::now() < deadline) {
                size_t now = probe.messages().size();
                std::lock_guard<std::mutex> lock(m_mutex);
                for (; seen < now; ++seen)
                    m_times.push_back(std::chrono::steady_clock::now());
                if (seen >= expected)
                    break;
                m_mutex.unlock();
                std::this_thread::sleep_for(5ms);
                m_mutex.lock();
            }
        });
    }
    ~ArrivalClock() {
        if (m_thread.joinable())
            m_thread.join();
    }
    std::vector<std::chrono::steady_clock::time_point> times() {
        if (m_thread.joinable())
            m_thread.join();
        return m_times;
    }

private:
    std::mutex m_mutex;
    std::vector<std::chrono::steady_clock::time_point> m_times;
    std::thread m_thread;
};

struct RepeatCase {
    const char* name;
    std::vector<std::string> args;
    int count;
    std::string payload;
    std::chrono::milliseconds min_gap;
};
void PrintTo(const RepeatCase& c, std::ostream* os) {
    *os << c.name;
}

class PubRepeat : public PubBroker, public ::testing::WithParamInterface<RepeatCase> {};

TEST_P(PubRepeat, SendsEachRepeatAfterTheDelay) {
    const RepeatCase& tc = GetParam();
    auto sub = probe();
    ArrivalClock clock(*sub, static_cast<size_t>(tc.count));
    PubRun run = runPub(to(tc.args));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, publishLines(tc.count, tc.count));
    EXPECT_EQ(run.err, "");

    ASSERT_TRUE(sub->waitFor(static_cast<size_t>(tc.count), kWait));
    std::this_thread::sleep_for(300ms);
    auto msgs = sub->messages();
    ASSERT_EQ(msgs.size(), static_cast<size_t>(tc.count));
    for (const Message& m : msgs) {
        EXPECT_EQ(m.topic, m_topic);
        EXPECT_EQ(m.payload, tc.payload);
    }
    auto times = clock.times();
    ASSERT_EQ(times.size(), static_cast<size_t>(tc.count));
    // Seen from the subscriber, each delivery adds its own latency and the
    // watcher polls; allow a fifth of the delay for that. The run itself
    // cannot be shorter than all delays together.
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i] - times[i - 1], tc.min_gap - tc.min_gap / 5)
            << "between " << i << " and " << i + 1;
    EXPECT_GE(run.took, tc.min_gap * (tc.count - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PubRepeat,
    ::testing::Values(
        RepeatCase{"three_half_a_second_apart",
                   {"--repeat", "3", "--repeat-delay", "0.5", "-m", "r"},
                   3,
                   "r",
                   500ms},
        RepeatCase{
            "four_without_delay", {"--repeat", "4", "-q", "1", "-m", "fast"}, 4, "fast", 0ms},
        RepeatCase{"null_message_repeated", {"-n", "--repeat", "2"}, 2, "", 0ms},
        RepeatCase{
            "whole_seconds", {"--repeat", "2", "--repeat-delay", "1", "-m", "s"}, 2, "s", 1000ms}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// MQTT v5 properties

TEST_F(PubBroker, PublishPropertiesArrive) {
    auto sub = probe(5);
    PubRun run = runPub(to({"-V",
                            "5",
                            "-D",
                            "publish",
                            "user-property",
                            "origin",
                            "kro",
                            "-D",
                            "publish",
                            "content-type",
                            "text/plain",
                            "-D",
                            "publish",
                            "correlation-data",
                            "corr-42",
                            "-D",
                            "publish",
                            "topic-alias",
                            "3",
                            "-q",
                            "1",
                            "-m",
                            "props"}));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, publishLines(1, 1));
    ASSERT_TRUE(sub->waitFor(1, kWait));
    Message m = sub->messages()[0];
    EXPECT_EQ(m.topic, m_topic);
    EXPECT_EQ(m.payload, "props");
    ASSERT_EQ(m.userProperties.size(), 1u);
    EXPECT_EQ(m.userProperties[0], (std::pair<std::string, std::string>{"origin", "kro"}));
    EXPECT_EQ(m.contentType, std::optional<std::string>("text/plain"));
    EXPECT_EQ(m.correlationData, std::optional<std::string>("corr-42"));
}

struct AliasCase {
    const char* name;
    std::vector<std::string> args;
    int count;
};
void PrintTo(const AliasCase& c, std::ostream* os) {
    *os << c.name;
}

class PubTopicAlias : public PubBroker, public ::testing::WithParamInterface<AliasCase> {};

// Only the first publish names the topic; the repeats use the alias, and the
// broker must still deliver every one on the right topic.
TEST_P(PubTopicAlias, RepeatsArriveOnTheTopic) {
    const AliasCase& tc = GetParam();
    auto sub = probe(5);
    std::vector<std::string> args{"-V", "5", "-D", "publish", "topic-alias", "1", "-m", "alias"};
    args.insert(args.end(), tc.args.begin(), tc.args.end());
    PubRun run = runPub(to(args));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, publishLines(tc.count, tc.count));
    EXPECT_EQ(run.err, "");
    ASSERT_TRUE(sub->waitFor(static_cast<size_t>(tc.count), kWait));
    for (const Message& m : sub->messages()) {
        EXPECT_EQ(m.topic, m_topic);
        EXPECT_EQ(m.payload, "alias");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PubTopicAlias,
    ::testing::Values(AliasCase{"twice", {"--repeat", "2"}, 2},
                      AliasCase{"three_times_qos1", {"--repeat", "3", "-q", "1"}, 3},
                      AliasCase{"with_delay", {"--repeat", "2", "--repeat-delay", "0.2"}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Refusals and failures

TEST_F(PubBroker, WrongPasswordIsConnackFive) {
    PubRun run = runPub({"-h", "127.0.0.1", "-p", std::to_string(m_broker.authPort()), "-u",
                         m_broker.user(), "-P", "wrong", "-t", m_topic, "-m", "x"});
    EXPECT_EQ(run.code, 5);
    EXPECT_EQ(run.out, "");
    const std::string refusal =
        std::string("Connection error: ") + mosquitto_connack_string(5) + "\n";
    EXPECT_EQ(run.err.substr(0, refusal.size()), refusal);
    // Whatever else follows is the library's reason for ending the loop.
    EXPECT_TRUE(run.err.size() == refusal.size() ||
                run.err.substr(refusal.size()).rfind("Error: ", 0) == 0)
        << run.err;
}

struct ConnackCase {
    const char* name;
    std::vector<std::string> version;
    int code;
    std::string message;
    bool close_after;
};
void PrintTo(const ConnackCase& c, std::ostream* os) {
    *os << c.name;
}

class PubConnack : public PubBroker, public ::testing::WithParamInterface<ConnackCase> {};

TEST_P(PubConnack, RefusalBecomesTheExitCode) {
    const ConnackCase& tc = GetParam();
    FakeBrokerScript script;
    script.connackCode = tc.code;
    script.closeAfterRefusal = tc.close_after;
    FakeBroker fake(script);
    std::vector<std::string> args{"-h", "127.0.0.1", "-p", std::to_string(fake.port()),
                                  "-t", "t",         "-m", "x"};
    args.insert(args.end(), tc.version.begin(), tc.version.end());
    for (bool quiet : {false, true}) {
        SCOPED_TRACE(quiet ? "quiet" : "not quiet");
        std::vector<std::string> all = args;
        if (quiet)
            all.push_back("--quiet");
        PubRun run = runPub(all);
        EXPECT_EQ(run.code, tc.code);
        EXPECT_EQ(run.out, "");
        if (quiet) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_EQ(run.err.substr(0, tc.message.size()), tc.message) << run.err;
        }
        EXPECT_LT(run.took, 8s);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PubConnack,
    ::testing::Values(
        ConnackCase{"v5_unsupported_version",
                    {"-V", "5"},
                    132,
                    std::string("Connection error: ") + mosquitto_reason_string(132) +
                        ". Try connecting to an MQTT v5 broker, or use MQTT v3.x mode.\n",
                    true},
        ConnackCase{"v5_not_authorized",
                    {"-V", "5"},
                    135,
                    std::string("Connection error: ") + mosquitto_reason_string(135) + "\n",
                    true},
        ConnackCase{"v311_not_authorised",
                    {},
                    5,
                    std::string("Connection error: ") + mosquitto_connack_string(5) + "\n",
                    true},
        ConnackCase{"v311_bad_credentials_left_open",
                    {},
                    4,
                    std::string("Connection error: ") + mosquitto_connack_string(4) + "\n",
                    false},
        ConnackCase{"v5_refusal_left_open",
                    {"-V", "5"},
                    132,
                    std::string("Connection error: ") + mosquitto_reason_string(132) +
                        ". Try connecting to an MQTT v5 broker, or use MQTT v3.x mode.\n",
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

// The largest payload the loaders accept is still more than one PUBLISH can
// carry once a topic is added, so the library refuses to send it: the run
// says so and ends with the library's code instead of reporting success.
TEST_F(PubBroker, FileOfTheLoaderLimitIsLoadedThenRefusedBySending) {
    const std::string max = sparse("max", 268435455);
    PubRun run = runPub(to({"-f", max}));
    EXPECT_EQ(run.code, MOSQ_ERR_PAYLOAD_SIZE);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Error: Message payload is too large.\n");
}

TEST_F(PubBroker, FileOneByteOverTheLimitNeverConnects) {
    auto sub = probe();
    const std::string big = sparse("big", 268435456);
    PubRun run = runPub(to({"-f", big}));
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "Error: File must be less than 268435455 bytes.\n\nError loading input file \"" +
                  big + "\".\n");
    EXPECT_FALSE(sub->waitFor(1, 300ms));
}

TEST_F(PubBroker, EmptyStdinIsRefused) {
    StdinFrom in(file("empty", ""));
    PubRun run = runPub(to({"-s"}));
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Error: Zero length input.\nError loading input from stdin.\n");
}

TEST_F(PubBroker, BrokerGoneMidRunEndsWithTheLibraryCode) {
    // The broker disappears while the publisher waits between repeats.
    std::thread killer([this] {
        std::this_thread::sleep_for(700ms);
        m_broker.kill();
    });
    PubRun run = runPub(to({"--repeat", "3", "--repeat-delay", "2", "-m", "x"}));
    killer.join();
    EXPECT_NE(run.code, 0);
    EXPECT_EQ(run.out, publishLines(1, 3));
    EXPECT_EQ(run.err, std::string("Error: ") + mosquitto_strerror(run.code) + "\n");
}

} // namespace
