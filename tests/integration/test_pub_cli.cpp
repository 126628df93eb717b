// The publisher's command-line behaviour that needs no broker: usage and
// version texts, refused option combinations, input and set-up failures and
// their exit codes.
#include <gtest/gtest.h>

#include <sstream>
#include <unistd.h>

#include <mosquitto.h>

#include "client/lib_init.h"
#include "test_pub_support.h"

namespace {

using kro::test::closedPort;
using kro::test::PubRun;
using kro::test::runPub;

std::string versionLine() {
    int major = 0, minor = 0, revision = 0;
    mosquitto_lib_version(&major, &minor, &revision);
    std::ostringstream s;
    s << "mosquitto_pub version 1.0 running on libmosquitto " << major << '.' << minor << '.'
      << revision << ".\n";
    return s.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::string usageText() {
    return runPub({"--help"}).out;
}

// ---------------------------------------------------------------------------
// Usage text

TEST(PubUsage, OpensWithDescriptionVersionAndSynopsis) {
    auto lines = splitLines(usageText());
    ASSERT_GT(lines.size(), 25u);
    EXPECT_EQ(lines[0], "mosquitto_pub is a simple mqtt client that will publish a message on a "
                        "single topic and exit.");
    EXPECT_EQ(lines[1] + "\n", versionLine());
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "Usage: mosquitto_pub {[-h host] [--unix path] [-p port] [-u username] "
                        "[-P password] -t topic | -L URL}");

    const std::vector<std::pair<int, std::string>> synopsis = {
        {21, "{-f file | -l | -n | -m message}"},
        {21, "[-c] [-k keepalive] [-q qos] [-r] [--repeat N] [--repeat-delay time] [-x "
             "session-expiry]"},
        {21, "[-A bind_address] [--nodelay]"},
        {21, "[-i id] [-I id_prefix]"},
        {21, "[-d] [--quiet]"},
        {21, "[-M max_inflight]"},
        {21, "[-u username [-P password]]"},
        {21, "[--will-topic [--will-payload payload] [--will-qos qos] [--will-retain]]"},
        {21, "[{--cafile file | --capath dir} [--cert file] [--key file]"},
        {23, "[--ciphers ciphers] [--insecure]"},
        {23, "[--tls-alpn protocol]"},
        {23, "[--tls-engine engine] [--keyform keyform] [--tls-engine-kpass-sha1]]"},
        {23, "[--tls-use-os-certs]"},
        {21, "[--property command identifier value]"},
        {21, "[-D command identifier value]"},
    };
    for (size_t i = 0; i < synopsis.size(); ++i) {
        SCOPED_TRACE("synopsis line " + std::to_string(i + 1));
        EXPECT_EQ(lines[4 + i], std::string(synopsis[i].first, ' ') + synopsis[i].second);
    }
    EXPECT_EQ(lines[19], "       mosquitto_pub --help");
    EXPECT_EQ(lines[20], "");
}

// One entry per option, in a fixed order, continuation lines aligned with the
// text; the closing line points at the library's web site.
TEST(PubUsage, OptionEntriesInOrderWithTheirLineCounts) {
    auto lines = splitLines(usageText());
    ASSERT_GT(lines.size(), 21u);
    struct Entry {
        std::string option;
        int lines;
    };
    std::vector<Entry> entries;
    size_t i = 21;
    for (; i < lines.size() && !lines[i].empty(); ++i) {
        const std::string& line = lines[i];
        if (line.rfind(" -", 0) == 0) {
            size_t colon = line.find(" : ");
            ASSERT_NE(colon, std::string::npos) << line;
            entries.push_back({line.substr(1, colon - 1), 1});
            continue;
        }
        ASSERT_FALSE(entries.empty()) << line;
        // Continuation: indented to the column of the entry's text.
        const size_t column = entries.back().option.size() + 4;
        EXPECT_EQ(line.find_first_not_of(' '), column) << line;
        entries.back().lines++;
    }
    const std::vector<Entry> expected = {
        {"-A", 2},
        {"-d", 1},
        {"-c", 5},
        {"-D", 1},
        {"-f", 1},
        {"-h", 1},
        {"-i", 1},
        {"-I", 2},
        {"-k", 1},
        {"-L", 2},
        {"-l", 1},
        {"-m", 1},
        {"-M", 1},
        {"-n", 1},
        {"-p", 1},
        {"-P", 1},
        {"-q", 1},
        {"-r", 1},
        {"-s", 1},
        {"-t", 1},
        {"-u", 1},
        {"-V", 2},
        {"-x", 4},
        {"--help", 1},
        {"--nodelay", 2},
        {"--quiet", 1},
        {"--repeat", 1},
        {"--repeat-delay", 1},
        {"--unix", 2},
        {"--will-payload", 3},
        {"--will-qos", 1},
        {"--will-retain", 1},
        {"--will-topic", 1},
        {"--cafile", 2},
        {"--capath", 2},
        {"--cert", 1},
        {"--key", 1},
        {"--keyform", 1},
        {"--ciphers", 1},
        {"--tls-version", 2},
        {"--insecure", 4},
        {"--tls-engine", 1},
        {"--tls-engine-kpass-sha1", 1},
        {"--tls-use-os-certs", 1},
    };
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(entries[k].option, expected[k].option) << "entry " << k;
        EXPECT_EQ(entries[k].lines, expected[k].lines) << expected[k].option;
    }
    // An empty line, the closing line, an empty line, and nothing more.
    ASSERT_EQ(lines.size(), i + 3);
    EXPECT_NE(lines[i + 1].find("https://mosquitto.org/"), std::string::npos);
    EXPECT_EQ(lines[i + 2], "");
}

TEST(PubUsage, EntriesWithFixedWording) {
    const std::string usage = usageText();
    const char* quoted[] = {
        " -f : send the contents of a file as the message.\n",
        " -l : read messages from stdin, sending a separate message for each line.\n",
        " -m : message payload to send.\n",
        " -n : send a null (zero length) message.\n",
        " -r : message should be retained.\n",
        " -s : read message from stdin, sending the entire input as a message.\n",
        " -t : mqtt topic to publish to.\n",
        " --repeat : if publish mode is -f, -m, or -s, then repeat the publish N times.\n",
        " --repeat-delay : if using --repeat, wait time seconds between publishes. Defaults to "
        "0.\n",
        " -h : mqtt host to connect to. Defaults to localhost.\n",
        " -i : id to use for this client. Defaults to mosquitto_pub_ appended with the process "
        "id.\n",
        " -k : keep alive in seconds for this client. Defaults to 60.\n",
        " -p : network port to connect to. Defaults to 1883 for plain MQTT and 8883 for MQTT over "
        "TLS.\n",
        " -q : quality of service level to use for all messages. Defaults to 0.\n",
        "      mqtt(s)://[username[:password]@]host[:port]/topic\n",
    };
    for (const char* q : quoted)
        EXPECT_NE(usage.find(q), std::string::npos) << q;
}

// ---------------------------------------------------------------------------
// Runs that end before any connection, or at the connection

struct CliCase {
    const char* name;
    std::vector<std::string> args;
    std::string out; // "<usage>" for the usage text
    std::string err;
    int code;
};
void PrintTo(const CliCase& c, std::ostream* os) {
    *os << c.name;
}

class PubCli : public ::testing::TestWithParam<CliCase> {};

TEST_P(PubCli, PrintsAndExits) {
    const CliCase& tc = GetParam();
    std::vector<std::string> args;
    for (const std::string& a : tc.args)
        args.push_back(a == "<closed>" ? std::to_string(closedPort()) : a);
    PubRun run = runPub(args);
    EXPECT_EQ(run.code, tc.code);
    EXPECT_EQ(run.out, tc.out == "<usage>"     ? usageText()
                       : tc.out == "<version>" ? versionLine()
                                               : tc.out);
    EXPECT_EQ(run.err, tc.err);
    // Whatever way the run ended, it gave its library reference back.
    EXPECT_EQ(client_lib_refcount(), 0);
}

const char* const kHint = "\nUse 'mosquitto_pub --help' to see usage.\n";
const char* const kBoth = "Error: Both topic and message must be supplied.\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, PubCli,
    ::testing::Values(
        CliCase{"help", {"--help"}, "<usage>", "", 1},
        CliCase{"help_after_options", {"-t", "a", "--help", "-m", "x"}, "<usage>", "", 1},
        CliCase{"version", {"--version"}, "<version>", "", 1},
        CliCase{"stdin_line_mode",
                {"-t", "a", "-l"},
                "",
                "Error: '-l' mode not available, threading support has not been compiled in.\n",
                1},
        CliCase{"stdin_line_mode_quiet",
                {"--quiet", "-t", "a", "-l"},
                "",
                "Error: '-l' mode not available, threading support has not been compiled in.\n",
                1},
        CliCase{"message_without_topic", {"-m", "x"}, "<usage>", kBoth, 1},
        CliCase{"topic_without_message", {"-t", "a"}, "<usage>", kBoth, 1},
        CliCase{"nothing", {}, "<usage>", kBoth, 1},
        CliCase{"unknown_option",
                {"--bogus"},
                "",
                std::string("Error: Unknown option '--bogus'.\n") + kHint,
                1},
        CliCase{"wildcard_topic",
                {"-t", "a/#", "-m", "x"},
                "",
                std::string("Error: Invalid publish topic 'a/#', does it contain '+' or '#'?\n") +
                    kHint,
                1},
        CliCase{"missing_file",
                {"-t", "a", "-f", "/nonexistent/kro/msg"},
                "",
                "Error: Unable to open file \"/nonexistent/kro/msg\".\nError loading input file "
                "\"/nonexistent/kro/msg\".\n",
                1},
        CliCase{
            "missing_file_quiet", {"-t", "a", "--quiet", "-f", "/nonexistent/kro/msg"}, "", "", 1},
        CliCase{"unreachable_broker",
                {"-h", "127.0.0.1", "-p", "<closed>", "-t", "a", "-m", "x"},
                "",
                "Error: Connection refused\n",
                1},
        CliCase{"unreachable_broker_quiet",
                {"-h", "127.0.0.1", "-p", "<closed>", "-t", "a", "-m", "x", "--quiet"},
                "",
                "",
                1},
        CliCase{"missing_ca_file",
                {"-p", "<closed>", "-t", "a", "-m", "x", "--cafile", "/nonexistent/kro/ca.pem"},
                "",
                "Error: Problem setting TLS options: File not found.\n",
                1},
        CliCase{"bad_key_form",
                {"-p", "<closed>", "-t", "a", "-m", "x", "--cert", "c.pem", "--key", "k.pem",
                 "--keyform", "der"},
                "",
                "Error: Problem setting key form, it must be one of 'pem' or 'engine'.\n",
                1}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
