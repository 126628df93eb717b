// The publish loop end to end: posted variables, the publisher process (a
// recording stand-in), "pubstate", reports, and stopping.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "drivers/CommonMqttClient.h"
#include "drivers/driver_state.h"
#include "kro_host.h"
#include "publish/publish_process.h"
#include "support/capture.h"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using kro::host::VarSpec;
using kro::test::Capture;

// Polls until `done` holds, for at most `limit`.
template <typename Pred>
bool waitUntil(Pred done, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Runs each test in a fresh working directory, where the publisher program is
// the recording helper, and records every "pubstate" write.
class PublishLoop : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldCwd = fs::current_path();
        char tmpl[] = "/tmp/kro_publish_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        fs::current_path(m_dir);
        m_observer = kro::host::addObserver([this](const kro::host::Event& e) {
            if (e.kind == kro::host::Event::Kind::RuntimeInt && e.name == "pubstate") {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_states.push_back(std::stoi(e.value));
            }
        });
    }

    void TearDown() override {
        stopLoop();
        kro::host::removeObserver(m_observer);
        fs::current_path(m_oldCwd);
        fs::remove_all(m_dir);
    }

    static void installPublisher() {
        fs::create_directory("Debug");
        fs::create_symlink(KRO_RECORD_ARGS, CommonMqttClient::kPublisherPath);
    }
    static void setExitCode(int code) { std::ofstream("exit_code") << code; }

    std::shared_ptr<kro::host::DvcVariable>
    var(const std::string& addrType, const std::string& topic, const std::string& value) {
        return m_dev.addVariable(
            VarSpec{"v" + std::to_string(++m_vars), 256, addrType, topic, value});
    }

    void startLoop(CommonMqttClient& client) {
        m_client = &client;
        m_loop = std::thread([&client] { client.publishLoop(); });
    }
    void stopLoop() {
        if (m_loop.joinable()) {
            m_client->requestStop();
            m_loop.join();
        }
    }

    std::vector<int> states() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states;
    }

    // Every run of the recording helper, as argument vectors.
    static std::vector<Args> records() {
        std::ifstream in("record_args.log", std::ios::binary);
        std::vector<Args> runs;
        size_t argc = 0;
        while (in >> argc) {
            Args args;
            for (size_t i = 0; i < argc; ++i) {
                size_t len = 0;
                in >> len;
                in.get();
                std::string arg(len, '\0');
                in.read(arg.data(), static_cast<std::streamsize>(len));
                in.get();
                args.push_back(arg);
            }
            if (!in)
                break; // a record still being written
            runs.push_back(args);
        }
        return runs;
    }

    bool waitForRuns(size_t runs, size_t stateWrites) {
        return waitUntil(
            [&] { return records().size() >= runs && states().size() >= stateWrites; });
    }

    fs::path m_oldCwd, m_dir;
    kro::host::Device m_dev{"dev"};
    kro::host::DeviceManager m_dm;
    std::atomic<int> m_vars{0};
    int m_observer = 0;
    std::mutex m_mutex;
    std::vector<int> m_states;
    CommonMqttClient* m_client = nullptr;
    std::thread m_loop;
};

const char* const kSettings = R"({"host":"h","port":"1883","password":"pw"})";
const std::string kPrefix = "./Debug/mosquitto_pub.exe -h h -p 1883 -P ";

TEST_F(PublishLoop, PublishesInPostingOrderOneProcessEach) {
    installPublisher();
    CommonMqttClient client(&m_dm, kSettings);
    client.postData(var("PubVariable", "t/1", "one"));
    client.postData(var("PubVariable", "t/2", "two words"));
    client.postData(var("PubVariable", "t/3", "3 --retain"));
    Capture out(Capture::Stream::Out);
    startLoop(client);
    ASSERT_TRUE(waitForRuns(3, 6));
    stopLoop();

    const Args base{"./Debug/mosquitto_pub.exe", "-h", "h", "-p", "1883", "-P", "pw"};
    auto run = [&base](Args tail) {
        Args a = base;
        a.insert(a.end(), tail.begin(), tail.end());
        return a;
    };
    EXPECT_EQ(records(), (std::vector<Args>{run({"-t", "t/1", "-m", "one"}),
                                            run({"-t", "t/2", "-m", "two words"}),
                                            run({"-t", "t/3", "-m", "3", "-r"})}));
    EXPECT_EQ(states(), (std::vector<int>{101, 0, 101, 0, 101, 0}));
    EXPECT_EQ(out.take(), kPrefix + "\"****\" -t t/1 -m \"one\"\n" + kPrefix +
                              "\"****\" -t t/2 -m \"two words\"\n" + kPrefix +
                              "\"****\" -t t/3 -m \"3\" -r\n");
}

TEST_F(PublishLoop, OtherAddressTypesAreDroppedWithoutStateChange) {
    installPublisher();
    CommonMqttClient client(&m_dm, "{}");
    client.postData(var("SubVariable", "s/1", "x"));
    client.postData(var("SubTopic", "s/2", "y"));
    client.postData(nullptr);
    client.postData(var("PubVariable", "p/1", "z"));
    startLoop(client);
    ASSERT_TRUE(waitForRuns(1, 2));
    stopLoop();
    EXPECT_EQ(records(),
              (std::vector<Args>{{"./Debug/mosquitto_pub.exe", "-t", "p/1", "-m", "z"}}));
    EXPECT_EQ(states(), (std::vector<int>{101, 0}));
    EXPECT_TRUE(client.m_postQueue.empty());
}

// A NUL would shorten the topic or the credential the publisher gets.
TEST_F(PublishLoop, NulInAnAddressOrASettingIsRefusedWithALine) {
    installPublisher();
    Capture out(Capture::Stream::Out);
    CommonMqttClient client(&m_dm, R"({"host":"h","port":"1","password":"p\u0000w"})");
    client.postData(var("PubVariable", std::string("adv/o\0ut", 8), "x"));
    client.postData(var("PubVariable", "p/1", "z"));
    startLoop(client);
    ASSERT_TRUE(waitUntil([&] { return states().size() >= 2; }));
    stopLoop();
    EXPECT_EQ(runSubscriber(client.buildSubArgs({"t"}), nullptr).code, 1);
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(states(), (std::vector<int>{101, 0}));
    EXPECT_EQ(out.take(),
              "[kro error]setting \"password\" holds a NUL character: the driver does not connect "
              "with it\n"
              "[kro error]publish refused: the address holds a NUL character: adv/o\\x00ut\n"
              "[kro error]publish failed: a setting holds a NUL character: p/1\n"
              "[kro error]mqtt subscribe not started: the value of -P holds a NUL character\n");
}

TEST_F(PublishLoop, FailedPublicationIsReported) {
    installPublisher();
    setExitCode(3);
    CommonMqttClient client(&m_dm, "{}");
    client.postData(var("PubVariable", "t/x", "v"));
    Capture out(Capture::Stream::Out);
    startLoop(client);
    ASSERT_TRUE(waitForRuns(1, 2));
    stopLoop();
    EXPECT_EQ(out.take(), "./Debug/mosquitto_pub.exe -t t/x -m \"v\"\n"
                          "[kro error]publish failed with exit code 3: t/x\n");
    EXPECT_EQ(states(), (std::vector<int>{101, 0}));
}

TEST_F(PublishLoop, MissingPublisherIsReportedAndTheNextVariableStillRuns) {
    CommonMqttClient client(&m_dm, "{}");
    client.postData(var("PubVariable", "a", "1"));
    client.postData(var("PubVariable", "b", "2"));
    kro::test::CaptureBoth io;
    startLoop(client);
    ASSERT_TRUE(waitUntil([&] { return states().size() >= 4; }));
    stopLoop();
    const std::string missing = "[kro error]can't find file: ./Debug/mosquitto_pub.exe\n";
    const std::string failed = "[kro error]publish failed: the publisher could not be started: ";
    EXPECT_EQ(io.out.take(), missing + "./Debug/mosquitto_pub.exe -t a -m \"1\"\n" + failed +
                                 "a\n" + missing + "./Debug/mosquitto_pub.exe -t b -m \"2\"\n" +
                                 failed + "b\n");
    EXPECT_EQ(io.err.take(), "CreateProcess failed with error code: 2\n"
                             "CreateProcess failed with error code: 2\n");
    EXPECT_EQ(states(), (std::vector<int>{101, 0, 101, 0}));
}

TEST_F(PublishLoop, ShellSyntaxReachesThePublisherAsPlainText) {
    installPublisher();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"t;touch${IFS}T1|touch${IFS}T2&`touch${IFS}T3`$(touch${IFS}T4)", "$(touch M1)"},
        {"a b; touch T5", "x; touch M2 | touch M3 & `touch M4`"},
        {"q\"; touch T6; echo \"", "\"; touch M5; echo \"\\"},
        {"t", "$(touch M6) --retain"},
    };
    CommonMqttClient client(&m_dm, "{}");
    for (const auto& c : cases)
        client.postData(var("PubVariable", c.first, c.second));
    Capture out(Capture::Stream::Out);
    startLoop(client);
    ASSERT_TRUE(waitForRuns(cases.size(), 2 * cases.size()));
    stopLoop();

    const std::vector<Args> runs = records();
    ASSERT_EQ(runs.size(), cases.size());
    EXPECT_EQ(runs[0],
              (Args{"./Debug/mosquitto_pub.exe", "-t", cases[0].first, "-m", "$(touch M1)"}));
    EXPECT_EQ(runs[1],
              (Args{"./Debug/mosquitto_pub.exe", "-t", cases[1].first, "-m", cases[1].second}));
    EXPECT_EQ(runs[2],
              (Args{"./Debug/mosquitto_pub.exe", "-t", cases[2].first, "-m", cases[2].second}));
    EXPECT_EQ(runs[3], (Args{"./Debug/mosquitto_pub.exe", "-t", "t", "-m", "$(touch M6)", "-r"}));
    std::set<std::string> entries;
    for (const auto& e : fs::directory_iterator("."))
        entries.insert(e.path().filename().string());
    EXPECT_EQ(entries, (std::set<std::string>{"Debug", "record_args.log"}));
}

TEST_F(PublishLoop, StopEndsAnIdleLoopWithinAboutOnePoll) {
    CommonMqttClient client(&m_dm, "{}");
    std::promise<void> ended;
    std::thread loop([&] {
        client.publishLoop();
        ended.set_value();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let it sleep in its poll
    client.requestStop();
    const bool inTime =
        ended.get_future().wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    loop.join();
    EXPECT_TRUE(inTime);
}

TEST_F(PublishLoop, StopCutsALongWaitShort) {
    CommonMqttClient client(&m_dm, "{}");
    EXPECT_FALSE(client.waitForStop(std::chrono::milliseconds(1)));
    auto waiting = std::async(std::launch::async,
                              [&] { return client.waitForStop(std::chrono::minutes(10)); });
    client.requestStop();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_TRUE(waiting.get());
    EXPECT_TRUE(client.waitForStop(std::chrono::minutes(10)));
}

// The shared machinery with another driver's builder, one that prints no
// command line: failures are still reported, and a stop between publications
// leaves the rest queued in order.
TEST_F(PublishLoop, StopBetweenPublicationsKeepsTheRestQueued) {
    installPublisher();
    setExitCode(5);
    CommonMqttClient client(&m_dm, "{}");
    std::vector<std::shared_ptr<kro::host::DvcVariable>> vars;
    for (int i = 1; i <= 4; ++i) {
        vars.push_back(var("PubVariable", "t/" + std::to_string(i), "v"));
        client.postData(vars.back());
    }
    StopSignal stop;
    int built = 0;
    Capture out(Capture::Stream::Out);
    publishQueued(
        client,
        [&](const std::string& topic, const std::string&, int64_t) {
            if (++built == 2)
                stop.request();
            return PubCommand{"./Debug/mosquitto_pub.exe " + topic, "hidden", false, {}};
        },
        stop);
    EXPECT_EQ(out.take(), "[kro error]publish failed with exit code 5: t/1\n"
                          "[kro error]publish failed with exit code 5: t/2\n");
    EXPECT_EQ(records(), (std::vector<Args>{{"./Debug/mosquitto_pub.exe", "t/1"},
                                            {"./Debug/mosquitto_pub.exe", "t/2"}}));
    ASSERT_EQ(client.m_postQueue.size(), 2u);
    EXPECT_EQ(client.m_postQueue.front(), vars[2]);
    EXPECT_EQ(client.m_postQueue.back(), vars[3]);
}

// Hosts post from threads of their own while the loop publishes.
class PublishConcurrency : public PublishLoop {};

TEST_F(PublishConcurrency, PostersRacingTheLoopKeepEveryPostingInOrder) {
    installPublisher();
    CommonMqttClient client(&m_dm, "{}");
    Capture out(Capture::Stream::Out);
    startLoop(client);
    constexpr int kThreads = 4, kPerThread = 6;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                client.postData(var("PubVariable", "w" + std::to_string(t), std::to_string(i)));
                std::this_thread::sleep_for(std::chrono::milliseconds(7));
            }
        });
    for (auto& p : posters)
        p.join();
    ASSERT_TRUE(waitForRuns(kThreads * kPerThread, 2 * kThreads * kPerThread));
    stopLoop();

    std::vector<int> next(kThreads, 0);
    for (const Args& run : records()) {
        ASSERT_EQ(run.size(), 5u);
        const int t = std::stoi(run[2].substr(1));
        EXPECT_EQ(run[4], std::to_string(next[t]++)) << "poster " << t;
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kPerThread));
    const std::vector<int> seen = states();
    ASSERT_EQ(seen.size(), 2u * kThreads * kPerThread);
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], i % 2 == 0 ? 101 : 0);
}

} // namespace
