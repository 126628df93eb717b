// The publisher command line: quoting by the inverse of the Windows argument
// rules, the splitter that reads it back, and the Common driver's line.

#include <gtest/gtest.h>

#include <random>

#include "drivers/CommonMqttClient.h"
#include "kro_host.h"
#include "platform/cmdline.h"
#include "platform/process.h"
#include "publish/publish_process.h"

namespace {

using Args = std::vector<std::string>;

struct SplitCase {
    const char* name;
    std::string line;
    Args expected;
};

// Short names in test listings instead of byte dumps.
void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << c.name;
}

class SplitCommandLine : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLine, FollowsWindowsRules) {
    EXPECT_EQ(splitCommandLine(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandLine,
    ::testing::Values(
        SplitCase{"Empty", "", {}}, SplitCase{"ProgramOnly", "./p", {"./p"}},
        SplitCase{"SpacesAndTabsSeparate", "p  a\t\tb \t", {"p", "a", "b"}},
        SplitCase{"QuotesGroup", R"(p "a b c" d e)", {"p", "a b c", "d", "e"}},
        SplitCase{"EscapedQuote", R"(p "ab\"c" "\\" d)", {"p", "ab\"c", "\\", "d"}},
        SplitCase{"LiteralBackslashes", R"(p a\\\b d"e f"g h)", {"p", R"(a\\\b)", "de fg", "h"}},
        SplitCase{"OddBackslashesBeforeQuote", R"(p a\\\"b c d)", {"p", R"(a\"b)", "c", "d"}},
        SplitCase{
            "EvenBackslashesBeforeQuote", R"(p a\\\\"b c" d e)", {"p", R"(a\\b c)", "d", "e"}},
        SplitCase{"DoubledQuoteInsideQuotes", R"(p "a""b" c)", {"p", "a\"b", "c"}},
        SplitCase{"EmptyQuotedArgument", R"(p "" x "")", {"p", "", "x", ""}},
        SplitCase{"UnclosedQuoteRunsToEnd", R"(p "a b)", {"p", "a b"}},
        SplitCase{"ProgramPathKeepsBackslashes",
                  R"("C:\Program Files\pub.exe\" -m x)",
                  {R"(C:\Program Files\pub.exe\)", "-m", "x"}},
        SplitCase{"ProgramPathEndsAtTab", "./p\tx", {"./p", "x"}},
        SplitCase{"LineFeedIsNoSeparator", "p a\nb", {"p", "a\nb"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct QuoteCase {
    const char* name;
    std::string value;
    std::string always;   // quoteArgument
    std::string ifNeeded; // quoteArgumentIfNeeded
};

void PrintTo(const QuoteCase& c, std::ostream* os) {
    *os << c.name;
}

class QuoteArgument : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteArgument, Text) {
    EXPECT_EQ(quoteArgument(GetParam().value), GetParam().always);
    EXPECT_EQ(quoteArgumentIfNeeded(GetParam().value), GetParam().ifNeeded);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuoteArgument,
    ::testing::Values(QuoteCase{"Empty", "", R"("")", R"("")"},
                      QuoteCase{"Plain", "t/1", R"("t/1")", "t/1"},
                      QuoteCase{"Space", "a b", R"("a b")", R"("a b")"},
                      QuoteCase{"Tab", "a\tb", "\"a\tb\"", "\"a\tb\""},
                      QuoteCase{"Quote", R"(a"b)", R"("a\"b")", R"("a\"b")"},
                      QuoteCase{"InnerBackslashStays", R"(C:\d\f)", R"("C:\d\f")", R"(C:\d\f)"},
                      QuoteCase{"TrailingBackslashDoubled", R"(a\\)", R"("a\\\\")", R"(a\\)"},
                      QuoteCase{"BackslashBeforeQuote", R"(a\"b)", R"("a\\\"b")", R"("a\\\"b")"},
                      QuoteCase{"LineFeedKept", "a\nb", "\"a\nb\"", "a\nb"}),
    [](const auto& info) { return std::string(info.param.name); });

struct LineCase {
    const char* name;
    const char* settings;
    std::string topic;
    std::string value;
    std::string line;
    std::string shown{}; // empty: the same as line
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class PubCommandLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(PubCommandLine, ExactText) {
    kro::host::DeviceManager dm;
    CommonMqttClient client(&dm, GetParam().settings);
    const PubCommand cmd = client.buildPubCommand(GetParam().topic, GetParam().value);
    EXPECT_EQ(cmd.line, GetParam().line);
    EXPECT_EQ(cmd.shown, GetParam().shown.empty() ? GetParam().line : GetParam().shown);
    EXPECT_TRUE(cmd.print);
}

const char* const kHPU = R"({"host":"h","port":"1883","username":"u"})";

INSTANTIATE_TEST_SUITE_P(
    Cases, PubCommandLine,
    ::testing::Values(
        LineCase{"Plain", kHPU, "t/1", "5",
                 R"(./Debug/mosquitto_pub.exe -h h -p 1883 -u "u" -t t/1 -m "5")"},
        LineCase{"RetainSuffix", kHPU, "t/1", "5 --retain",
                 R"(./Debug/mosquitto_pub.exe -h h -p 1883 -u "u" -t t/1 -m "5" -r)"},
        LineCase{"ExtraRetainNotRepeated",
                 R"({"host":"h","port":"1883","username":"u","AdditionPubArgs":"-q 1 -r"})", "t/1",
                 "5 --retain",
                 R"(./Debug/mosquitto_pub.exe -h h -p 1883 -u "u" -t t/1 -m "5" -q 1 -r)"},
        LineCase{"OnlyRetainSuffix", kHPU, "t/1", " --retain",
                 R"(./Debug/mosquitto_pub.exe -h h -p 1883 -u "u" -t t/1 -m "" -r)"},
        LineCase{"EmptyTopic", kHPU, "", "5",
                 R"(./Debug/mosquitto_pub.exe -h h -p 1883 -u "u" -m "5")"},
        LineCase{
            "QuoteAndBackslashes", kHPU, "t/1", R"(say "hi" C:\dir\)",
            R"(./Debug/mosquitto_pub.exe -h h -p 1883 -u "u" -t t/1 -m "say \"hi\" C:\dir\\")"},
        LineCase{"BackslashBeforeQuote", kHPU, "t/1", R"(a\"b)",
                 R"(./Debug/mosquitto_pub.exe -h h -p 1883 -u "u" -t t/1 -m "a\\\"b")"},
        LineCase{"TabAndLineFeedKept", kHPU, "t/1", "a\tb\nc",
                 "./Debug/mosquitto_pub.exe -h h -p 1883 -u \"u\" -t t/1 -m \"a\tb\nc\""},
        LineCase{
            "EveryOptionPasswordHidden",
            R"({"host":"h","port":"8883","clientid":"c1","username":"u","password":"s3cret",
                     "cafile":"ca.pem","cert":"c.pem","key":"k.pem","oneConnetTime":"30"})",
            "t", "v",
            R"(./Debug/mosquitto_pub.exe -h h -p 8883 -u "u" -P "s3cret" -i "c1" --cafile ca.pem --cert c.pem --key k.pem -t t -m "v")",
            R"(./Debug/mosquitto_pub.exe -h h -p 8883 -u "u" -P "****" -i "c1" --cafile ca.pem --cert c.pem --key k.pem -t t -m "v")"},
        LineCase{
            "SpacesQuoted", R"({"host":"h","cafile":"/tmp/my ca.pem","username":"a \"b\""})", "a b",
            "v",
            R"(./Debug/mosquitto_pub.exe -h h -u "a \"b\"" --cafile "/tmp/my ca.pem" -t "a b" -m "v")"},
        LineCase{
            "ExtraPasswordsHidden",
            R"({"AdditionPubArgs":"-P s1 --pw \"s 2\" -L mqtt://u:s3@h/t -q\t1"})", "t", "v",
            "./Debug/mosquitto_pub.exe -t t -m \"v\" -P s1 --pw \"s 2\" -L mqtt://u:s3@h/t -q\t1",
            R"(./Debug/mosquitto_pub.exe -t t -m "v" -P **** --pw **** -L mqtt://u:****@h/t -q 1)"},
        // Split as the publisher splits it: a tab separates there.
        LineCase{"TabCannotHideAPassword", R"({"AdditionPubArgs":"-P\tsecret"})", "t", "v",
                 "./Debug/mosquitto_pub.exe -t t -m \"v\" -P\tsecret",
                 R"(./Debug/mosquitto_pub.exe -t t -m "v" -P ****)"},
        LineCase{"ExtraTokensAsWritten", R"({"AdditionPubArgs":" -q 2  -x \"a b\" "})", "t", "v",
                 R"(./Debug/mosquitto_pub.exe -t t -m "v" -q 2 -x "a b")"}),
    [](const auto& info) { return std::string(info.param.name); });

// The longest line the system takes still carries the message; one byte more
// sends the message on standard input, the retain suffix still honoured.
TEST(PubCommandLineLength, TooLongForTheSystemTheMessageGoesOnStandardInput) {
    kro::host::DeviceManager dm;
    // The shown line hides the password, so its message sits elsewhere.
    CommonMqttClient client(&dm, R"({"host":"h","password":"secret","AdditionPubArgs":"-q 1"})");
    const std::string empty = client.buildPubCommand("t", "").line;
    const std::string fits(maxCommandLineLength() - empty.size(), 'v');
    const PubCommand longest = client.buildPubCommand("t", fits);
    EXPECT_EQ(longest.line.size(), maxCommandLineLength());
    EXPECT_TRUE(longest.input.empty());

    const PubCommand cmd = client.buildPubCommand("t", fits + "v --retain");
    EXPECT_EQ(cmd.line, "./Debug/mosquitto_pub.exe -h h -P \"secret\" -t t -s -q 1 -r");
    EXPECT_EQ(cmd.input, fits + "v");
    EXPECT_EQ(cmd.shown, "./Debug/mosquitto_pub.exe -h h -P \"****\" -t t -s -q 1 -r (message: " +
                             std::to_string(fits.size() + 1) + " bytes on standard input)");
}

// Random text with every byte but NUL, weighted towards what the quoting
// rules care about so that runs of backslashes before quotes and at the end
// turn up often.
std::string randomValue(std::mt19937& rng) {
    static const std::string special = " \t\"\\\\\\\n\r'$;|&`-";
    std::uniform_int_distribution<int> length(0, 24), pick(0, 3);
    std::uniform_int_distribution<size_t> fromSpecial(0, special.size() - 1);
    std::uniform_int_distribution<int> anyByte(1, 255);
    std::string s;
    for (int n = length(rng); n > 0; --n)
        s += pick(rng) < 2 ? special[fromSpecial(rng)] : static_cast<char>(anyByte(rng));
    return s;
}

TEST(PubCommandLineProperty, EveryValueComesBackWhole) {
    std::mt19937 rng(20240611);
    kro::host::DeviceManager dm;
    CommonMqttClient client(&dm, "{}");
    for (int i = 0; i < 3000; ++i) {
        const std::string single = randomValue(rng);
        ASSERT_EQ(splitCommandLine("p " + quoteArgument(single)), (Args{"p", single}));
        ASSERT_EQ(splitCommandLine("p " + quoteArgumentIfNeeded(single)), (Args{"p", single}));

        client.mhost = randomValue(rng);
        client.mport = randomValue(rng);
        client.musername = randomValue(rng);
        client.mpassword = randomValue(rng);
        client.mclientid = randomValue(rng);
        client.mcafile = randomValue(rng);
        client.mcert = randomValue(rng);
        client.mkey = randomValue(rng);
        const std::string topic = randomValue(rng);
        const std::string value = randomValue(rng) + (i % 10 == 0 ? " --retain" : "");

        Args expected{CommonMqttClient::kPublisherPath}, shown{expected};
        auto add = [&](const char* option, const std::string& v, const std::string& show) {
            if (!v.empty()) {
                expected.insert(expected.end(), {option, v});
                shown.insert(shown.end(), {option, show});
            }
        };
        add("-h", client.mhost, client.mhost);
        add("-p", client.mport, client.mport);
        add("-u", client.musername, client.musername);
        add("-P", client.mpassword, "****");
        add("-i", client.mclientid, client.mclientid);
        add("--cafile", client.mcafile, client.mcafile);
        add("--cert", client.mcert, client.mcert);
        add("--key", client.mkey, client.mkey);
        add("-t", topic, topic);
        const bool retain = i % 10 == 0;
        const std::string message = retain ? value.substr(0, value.size() - 9) : value;
        expected.insert(expected.end(), {"-m", message});
        shown.insert(shown.end(), {"-m", message});
        if (retain) {
            expected.push_back("-r");
            shown.push_back("-r");
        }

        const PubCommand cmd = client.buildPubCommand(topic, value);
        ASSERT_EQ(splitCommandLine(cmd.line), expected) << "iteration " << i;
        ASSERT_EQ(splitCommandLine(cmd.shown), shown) << "iteration " << i;
    }
}

} // namespace
