// The subscriber program: a process of its own against the broker, printing
// what it receives.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include "support/broker.h"
#include "support/mqtt_probe.h"
#include "support/subprocess.h"
#include "test_sub_support.h"

namespace {

using namespace std::chrono_literals;
using kro::test::Broker;
using kro::test::kSubWait;
using kro::test::uniqueId;
using kro::test::waitSubscribed;

const std::string kProgram = std::string(KRO_BUILD_DIR) + "/tools/mosquitto_sub";

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size()))
        s.replace(pos, from.size(), to);
    return s;
}

struct ProgramCase {
    const char* name;
    std::vector<std::string> args; // after the broker arguments; "{t}" is the test's topic
    std::vector<std::string> payloads;
    int exitCode;
    std::string output; // standard output and error together, "{t}" as above
};

void PrintTo(const ProgramCase& c, std::ostream* os) {
    *os << c.name;
}

class SubProgram : public ::testing::TestWithParam<ProgramCase> {
protected:
    void SetUp() override { m_dir = kro::test::makeTempDir("kro_sub_program"); }
    void TearDown() override { kro::test::removeTree(m_dir); }
    std::string m_dir;
};

TEST_P(SubProgram, PrintsWhatItReceives) {
    const ProgramCase& c = GetParam();
    Broker broker;
    const std::string id = uniqueId("program");
    const std::string topic = "kro/sub/" + id + "/t";
    std::vector<std::string> argv = {
        kProgram, "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-i", id};
    for (const std::string& a : c.args)
        argv.push_back(replaceAll(a, "{t}", topic));
    const std::string log = m_dir + "/out.log";

    const pid_t pid = kro::test::spawnProgram(argv, log);
    ASSERT_GT(pid, 0);
    if (!waitSubscribed(broker, id)) {
        ::kill(pid, SIGKILL);
        kro::test::waitExit(pid, 5s);
        FAIL() << "the program did not subscribe:\n" << kro::test::readFile(log);
    }
    for (const std::string& p : c.payloads)
        EXPECT_TRUE(kro::test::publish(broker.port(), topic, p, 1));
    int status = 0;
    if (!kro::test::waitExit(pid, kSubWait, &status)) {
        ::kill(pid, SIGKILL);
        kro::test::waitExit(pid, 5s);
        FAIL() << "the program did not end:\n" << kro::test::readFile(log);
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode);
    EXPECT_EQ(kro::test::readFile(log), replaceAll(c.output, "{t}", topic));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubProgram,
    ::testing::Values(
        ProgramCase{"Verbose",
                    {"-t", "{t}", "-v", "-C", "2"},
                    {"hello", "world"},
                    0,
                    "{t} hello\n{t} world\n"},
        ProgramCase{"Format", {"-t", "{t}", "-F", "%t %p", "-C", "1"}, {"xyz"}, 0, "{t} xyz\n"},
        ProgramCase{"FormatWithoutEndOfLine",
                    {"-t", "{t}", "-F", "[%p|%l]", "-N", "-C", "2"},
                    {"ab", "cde"},
                    0,
                    "[ab|2][cde|3]"},
        // Without a context the default output has no receiver: only the line ends remain.
        ProgramCase{"DefaultOutput", {"-t", "{t}", "-C", "2"}, {"a", "b"}, 0, "\n\n"},
        ProgramCase{"Timeout", {"-t", "{t}", "-W", "1"}, {}, MOSQ_ERR_TIMEOUT, "Timed out\n"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
