// The publisher program as the drivers start it: a separate process, at the
// paths the build lays it out at.
#include <gtest/gtest.h>

#include <chrono>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/broker.h"
#include "support/mqtt_probe.h"
#include "support/subprocess.h"
#include "test_pub_support.h"

namespace {

using namespace std::chrono_literals;
using kro::test::Broker;
using kro::test::Probe;
using kro::test::publishLines;

constexpr auto kWait = 10s;

const std::string kBuilt = std::string(KRO_BUILD_DIR) + "/tools/mosquitto_pub";
const std::string kDebugCopy = std::string(KRO_BUILD_DIR) + "/Debug/mosquitto_pub.exe";
const std::string kResCopy = std::string(KRO_BUILD_DIR) + "/res/other/mosquitto_pub.exe";

class PubProgram : public ::testing::Test {
protected:
    void SetUp() override { m_dir = kro::test::makeTempDir("kro_pub_program"); }
    void TearDown() override { kro::test::removeTree(m_dir); }
    std::string log(const std::string& name) const { return m_dir + "/" + name + ".log"; }
    std::string m_dir;
};

TEST_F(PubProgram, LaidOutWhereTheDriversStartIt) {
    const std::string built = kro::test::readFile(kBuilt);
    ASSERT_FALSE(built.empty()) << kBuilt;
    for (const std::string& copy : {kDebugCopy, kResCopy}) {
        SCOPED_TRACE(copy);
        EXPECT_EQ(access(copy.c_str(), X_OK), 0);
        // The copy is the program of this build, not an old one.
        EXPECT_TRUE(kro::test::readFile(copy) == built);
    }
}

class PubProgramPath : public PubProgram, public ::testing::WithParamInterface<std::string> {};

TEST_P(PubProgramPath, PublishesAndExitsZero) {
    Broker broker;
    const std::string topic = "kro/program/" + std::to_string(::getpid());
    Probe sub({kro::test::plainConnection(broker.port()), {topic}, 1});
    ASSERT_TRUE(sub.waitConnected(kWait));

    const std::string out = log("run");
    int code =
        kro::test::runProgram({GetParam(), "-h", "127.0.0.1", "-p", std::to_string(broker.port()),
                               "-t", topic, "-q", "1", "-m", "from a process"},
                              out);
    EXPECT_EQ(code, 0) << kro::test::readFile(out);
    EXPECT_EQ(kro::test::readFile(out), publishLines(1, 1));
    ASSERT_TRUE(sub.waitFor(1, kWait));
    EXPECT_EQ(sub.messages()[0].payload, "from a process");
}

INSTANTIATE_TEST_SUITE_P(Paths, PubProgramPath, ::testing::Values(kBuilt, kDebugCopy, kResCopy),
                         [](const auto& info) { return std::to_string(info.index); });

TEST_F(PubProgram, ExitCodeIsTheRefusal) {
    Broker broker;
    const std::string out = log("refused");
    int code = kro::test::runProgram({kDebugCopy, "-h", "127.0.0.1", "-p",
                                      std::to_string(broker.authPort()), "-u", broker.user(), "-P",
                                      "wrong", "-t", "kro/program/refused", "-m", "x"},
                                     out);
    EXPECT_EQ(code, 5);
    EXPECT_EQ(kro::test::readFile(out).rfind("Connection error: ", 0), 0u)
        << kro::test::readFile(out);
}

TEST_F(PubProgram, UsageExitsOne) {
    const std::string out = log("help");
    EXPECT_EQ(kro::test::runProgram({kBuilt, "--help"}, out), 1);
    EXPECT_EQ(kro::test::readFile(out).rfind("mosquitto_pub is a simple mqtt client", 0), 0u);
}

// Standard output of the program is a file or a pipe, so it is fully
// buffered: the lines of a completed publish must still be readable while the
// program waits for its next repeat.
TEST_F(PubProgram, LinesReachTheReaderAtOnce) {
    Broker broker;
    const std::string out = log("repeat");
    pid_t pid = kro::test::spawnProgram({kBuilt, "-h", "127.0.0.1", "-p",
                                         std::to_string(broker.port()), "-t", "kro/program/flush",
                                         "--repeat", "2", "--repeat-delay", "4", "-m", "x"},
                                        out);
    ASSERT_GT(pid, 0);
    const std::string first = publishLines(1, 2);
    auto deadline = std::chrono::steady_clock::now() + 3s;
    while (kro::test::readFile(out) != first && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(kro::test::readFile(out), first);
    // Still waiting for the repeat: what was read did not come from the exit.
    EXPECT_FALSE(kro::test::waitExit(pid, 0ms));

    int status = 0;
    ASSERT_TRUE(kro::test::waitExit(pid, 15s, &status));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(kro::test::readFile(out), publishLines(2, 2));
}

} // namespace
