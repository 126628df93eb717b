// What the drivers hand the subscriber and the publisher: the Common
// driver's topics and argument vector, the AWS driver's parameters, argument
// vector and publisher command line, and the printed form of an argument
// vector.

#include <gtest/gtest.h>

#include "drivers/AwsMqttClient.h"
#include "drivers/CommonMqttClient.h"
#include "drivers/driver_run.h"
#include "kro_host.h"
#include "platform/cmdline.h"

namespace {

using Args = std::vector<std::string>;
using kro::host::VarSpec;

// ---- Common: topics from the device ----------------------------------------

struct TopicCase {
    const char* name;
    std::vector<VarSpec> vars;
    std::string joined;
    Args split; // as the subscription thread splits it
};
void PrintTo(const TopicCase& c, std::ostream* os) {
    *os << c.name;
}

class CommonTopics : public ::testing::TestWithParam<TopicCase> {};

TEST_P(CommonTopics, FromSubVariableAddressesInListOrder) {
    kro::host::Device dev("d");
    for (const VarSpec& def : GetParam().vars)
        dev.addVariable(def);
    const std::string joined = CommonMqttClient::collectSubTopics(&dev);
    EXPECT_EQ(joined, GetParam().joined);
    Args split;
    kro::util::StringUtil::split(joined, "|", split);
    EXPECT_EQ(split, GetParam().split);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommonTopics,
    ::testing::Values(
        TopicCase{"None", {}, "", {}},
        TopicCase{"TwoInOrder",
                  {{"A", 8, "SubVariable", "a/b", ""},
                   {"T", 8, "SubTopic", "ignored", ""},
                   {"B", 8, "SubVariable", "c", ""}},
                  "a/b|c",
                  {"a/b", "c"}},
        TopicCase{"EmptyAddressSkipped",
                  {{"A", 8, "SubVariable", "", ""}, {"B", 8, "SubVariable", "x", ""}},
                  "x",
                  {"x"}},
        TopicCase{"OtherTypesIgnored",
                  {{"P", 8, "PubVariable", "p", ""}, {"Q", 8, "subvariable", "q", ""}},
                  "",
                  {}},
        TopicCase{"BarInAddressGivesTwoTopics",
                  {{"A", 8, "SubVariable", "a|b", ""}, {"B", 8, "SubVariable", "c", ""}},
                  "a|b|c",
                  {"a", "b", "c"}},
        TopicCase{"WildcardsAndSpacesKept",
                  {{"A", 8, "SubVariable", "s/+/x y", ""}, {"B", 8, "SubVariable", "#", ""}},
                  "s/+/x y|#",
                  {"s/+/x y", "#"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommonTopicsWithoutDevice, AreEmpty) {
    EXPECT_EQ(CommonMqttClient::collectSubTopics(nullptr), "");
}

// ---- Common: the subscriber's argument vector ------------------------------

struct CommonArgsCase {
    const char* name;
    std::string settings;
    Args topics;
    Args expected;
    std::string shown;
};
void PrintTo(const CommonArgsCase& c, std::ostream* os) {
    *os << c.name;
}

class CommonSubArgs : public ::testing::TestWithParam<CommonArgsCase> {};

TEST_P(CommonSubArgs, InTheDocumentedOrder) {
    kro::host::DeviceManager dm;
    CommonMqttClient client(&dm, GetParam().settings);
    const Args args = client.buildSubArgs(GetParam().topics);
    EXPECT_EQ(args, GetParam().expected);
    EXPECT_EQ(showArguments(args), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommonSubArgs,
    ::testing::Values(
        CommonArgsCase{"Minimal",
                       R"({"host":"h","port":1883})",
                       {"a/b", "c"},
                       {"mqttclinet_sub", "-h", "h", "-p", "1883", "-t", "a/b", "-t", "c"},
                       "mqttclinet_sub -h h -p 1883 -t a/b -t c \n"},
        CommonArgsCase{"AddrFallback",
                       R"({"addr":"broker.lan","port":"8883"})",
                       {"t"},
                       {"mqttclinet_sub", "-h", "broker.lan", "-p", "8883", "-t", "t"},
                       "mqttclinet_sub -h broker.lan -p 8883 -t t \n"},
        CommonArgsCase{
            "Everything",
            R"({"host":"h","port":"1","username":"u s","password":"p w","clientid":"id",)"
            R"("oneConnetTime":"30","cafile":"/c a","cert":"/ce","key":"/k",)"
            R"("AdditionSubArgs":"-q 1  -F \"%t %p\""})",
            {"t1", "t2"},
            {"mqttclinet_sub",
             "-h",
             "h",
             "-p",
             "1",
             "-u",
             "u s",
             "-P",
             "p w",
             "-i",
             "id",
             "-k",
             "30",
             "--cafile",
             "/c a",
             "--cert",
             "/ce",
             "--key",
             "/k",
             "-t",
             "t1",
             "-t",
             "t2",
             "-q",
             "1",
             "-F",
             "\"%t %p\""},
            "mqttclinet_sub -h h -p 1 -u u s -P **** -i id -k 30 --cafile /c a --cert /ce --key /k "
            "-t t1 -t t2 -q 1 -F \"%t %p\" \n"},
        // Only what is set is passed; the password is passed as it is.
        CommonArgsCase{"PasswordOnly",
                       R"({"host":"h","port":"1","password":"-P"})",
                       {"t"},
                       {"mqttclinet_sub", "-h", "h", "-p", "1", "-P", "-P", "-t", "t"},
                       "mqttclinet_sub -h h -p 1 -P **** **** t \n"},
        CommonArgsCase{"ExtraArgumentsHidePassword",
                       R"({"host":"h","port":"1","AdditionSubArgs":"--pw secret -v"})",
                       {"t"},
                       {"mqttclinet_sub", "-h", "h", "-p", "1", "-t", "t", "--pw", "secret", "-v"},
                       "mqttclinet_sub -h h -p 1 -t t --pw **** -v \n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The session's vector: the publisher's options, no topic or message; the
// extra tokens as the publisher program would read them from its command line.
class CommonSessionArgs : public ::testing::TestWithParam<CommonArgsCase> {};

TEST_P(CommonSessionArgs, PublisherOptionsWithoutTopicOrMessage) {
    kro::host::DeviceManager dm;
    CommonMqttClient client(&dm, GetParam().settings);
    const Args args = client.buildSessionArgs();
    EXPECT_EQ(args, GetParam().expected);
    EXPECT_EQ(showArguments(args), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommonSessionArgs,
    ::testing::Values(
        CommonArgsCase{"NoClientId",
                       R"({"host":"h","port":1883,"oneConnetTime":"30"})",
                       {},
                       {"mqttclinet_pub", "-h", "h", "-p", "1883"},
                       "mqttclinet_pub -h h -p 1883 \n"},
        CommonArgsCase{
            "Everything",
            R"({"host":"h","port":"1","username":"u s","password":"p w","clientid":"id",)"
            R"("cafile":"/c a","cert":"/ce","key":"/k",)"
            R"("AdditionPubArgs":"-q 1 -D publish user-property \"a b\" c"})",
            {},
            {"mqttclinet_pub",
             "-h",
             "h",
             "-p",
             "1",
             "-u",
             "u s",
             "-P",
             "p w",
             "-i",
             "id-pub",
             "--cafile",
             "/c a",
             "--cert",
             "/ce",
             "--key",
             "/k",
             "-q",
             "1",
             "-D",
             "publish",
             "user-property",
             "a b",
             "c"},
            "mqttclinet_pub -h h -p 1 -u u s -P **** -i id-pub --cafile /c a --cert /ce "
            "--key /k -q 1 -D publish user-property a b c \n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- AWS: parameters from runtime variables --------------------------------

const char* const kAwsNames[] = {"cafilePath", "certPath", "keyPath", "host", "port", "topics"};

struct AwsReadCase {
    const char* name;
    int missing; // index into kAwsNames, -1 for none
    bool stopAtMissing;
    bool expectAll;
    AwsMqttClient::Settings expected;
};
void PrintTo(const AwsReadCase& c, std::ostream* os) {
    *os << c.name;
}

class AwsReadSettings : public ::testing::TestWithParam<AwsReadCase> {};

TEST_P(AwsReadSettings, InOrderUntilOneIsMissing) {
    auto& vars = kro::host::runtime().vars();
    vars.clear();
    const std::string values[] = {"/ca", "/cert", "", "h", "8883", "a|b"};
    for (int i = 0; i < 6; ++i)
        if (i != GetParam().missing)
            vars.setStrVar(kAwsNames[i], values[i], 0);
    AwsMqttClient::Settings s;
    s.port = "stale";
    EXPECT_EQ(AwsMqttClient::readSettings(s, GetParam().stopAtMissing), GetParam().expectAll);
    const AwsMqttClient::Settings& e = GetParam().expected;
    if (GetParam().stopAtMissing && !GetParam().expectAll) {
        // Read up to the missing one; what comes after is not looked at.
        const std::string* got[] = {&s.cafile, &s.cert, &s.key, &s.host, &s.port, &s.topics};
        const std::string* want[] = {&e.cafile, &e.cert, &e.key, &e.host, &e.port, &e.topics};
        for (int i = 0; i < GetParam().missing; ++i)
            EXPECT_EQ(*got[i], *want[i]) << kAwsNames[i];
        EXPECT_EQ(*got[GetParam().missing], "") << kAwsNames[GetParam().missing];
        return;
    }
    EXPECT_EQ(s.cafile, e.cafile);
    EXPECT_EQ(s.cert, e.cert);
    EXPECT_EQ(s.key, e.key);
    EXPECT_EQ(s.host, e.host);
    EXPECT_EQ(s.port, e.port);
    EXPECT_EQ(s.topics, e.topics);
}

const AwsMqttClient::Settings kAll{"/ca", "/cert", "", "h", "8883", "a|b"};

INSTANTIATE_TEST_SUITE_P(
    Cases, AwsReadSettings,
    ::testing::Values(AwsReadCase{"AllPresentEmptyAccepted", -1, true, true, kAll},
                      AwsReadCase{"MissingCaFile", 0, true, false, kAll},
                      AwsReadCase{"MissingHost", 3, true, false, kAll},
                      AwsReadCase{"MissingPort", 4, true, false, kAll},
                      AwsReadCase{"MissingTopics", 5, true, false, kAll},
                      AwsReadCase{"MissingPortLeftEmptyWhenNotStopping", 4, false, false,
                                  AwsMqttClient::Settings{"/ca", "/cert", "", "h", "", "a|b"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- AWS: the subscriber's argument vector ---------------------------------

struct AwsArgsCase {
    const char* name;
    AwsMqttClient::Settings settings;
    Args expected;
};
void PrintTo(const AwsArgsCase& c, std::ostream* os) {
    *os << c.name;
}

class AwsSubArgs : public ::testing::TestWithParam<AwsArgsCase> {};

TEST_P(AwsSubArgs, HostPortFilesThenTopics) {
    Args topics;
    kro::util::StringUtil::split(GetParam().settings.topics, "|", topics);
    EXPECT_EQ(AwsMqttClient::buildSubArgs(GetParam().settings, topics), GetParam().expected);
}

const std::string kLong(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, AwsSubArgs,
    ::testing::Values(
        AwsArgsCase{"ThreeTopics",
                    {"/ca", "/cert", "/key", "iot.example", "8883", "x/1|x/2|x/3"},
                    {"mqttclinet_sub", "-h", "iot.example", "-p", "8883", "--cafile", "/ca",
                     "--cert", "/cert", "--key", "/key", "-t", "x/1", "-t", "x/2", "-t", "x/3"}},
        // The subscriber then rejects the run for want of a topic.
        AwsArgsCase{"NoTopics",
                    {"/ca", "/cert", "/key", "h", "1", "||"},
                    {"mqttclinet_sub", "-h", "h", "-p", "1", "--cafile", "/ca", "--cert", "/cert",
                     "--key", "/key"}},
        // An empty port leaves the TLS default to the subscriber.
        AwsArgsCase{"EmptyPortLeftOut",
                    {"/ca", "/cert", "/key", "h", "", "t"},
                    {"mqttclinet_sub", "-h", "h", "--cafile", "/ca", "--cert", "/cert", "--key",
                     "/key", "-t", "t"}},
        AwsArgsCase{"LongValuesWhole",
                    {"/" + kLong, "/c d", "/k", kLong, "1", kLong + "|t"},
                    {"mqttclinet_sub", "-h", kLong, "-p", "1", "--cafile", "/" + kLong, "--cert",
                     "/c d", "--key", "/k", "-t", kLong, "-t", "t"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- AWS: the publisher command line ---------------------------------------

struct AwsPubCase {
    const char* name;
    AwsMqttClient::Settings settings;
    std::string topic, value;
    std::string line;
};
void PrintTo(const AwsPubCase& c, std::ostream* os) {
    *os << c.name;
}

class AwsPubCommand : public ::testing::TestWithParam<AwsPubCase> {};

TEST_P(AwsPubCommand, EveryOptionPresentEveryValueWhole) {
    const AwsPubCase& c = GetParam();
    const PubCommand cmd = AwsMqttClient::buildPubCommand(c.settings, c.topic, c.value);
    EXPECT_EQ(cmd.line, c.line);
    EXPECT_FALSE(cmd.print);
    // The publisher reads back exactly the values given.
    const Args expected{"./res/other/mosquitto_pub.exe",
                        "-h",
                        c.settings.host,
                        "-p",
                        c.settings.port,
                        "--cafile",
                        c.settings.cafile,
                        "--cert",
                        c.settings.cert,
                        "--key",
                        c.settings.key,
                        "-t",
                        c.topic,
                        "-m",
                        c.value};
    EXPECT_EQ(splitCommandLine(cmd.line), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AwsPubCommand,
    ::testing::Values(
        AwsPubCase{"Ordinary",
                   {"/ca.pem", "/c.pem", "/k.pem", "iot.example", "8883", "x/1|x/2"},
                   "dev/out",
                   "21.5",
                   "./res/other/mosquitto_pub.exe -h iot.example -p 8883 --cafile /ca.pem --cert "
                   "/c.pem --key /k.pem -t dev/out -m \"21.5\""},
        AwsPubCase{"EmptyValuesStayArguments",
                   {"", "", "", "", "", ""},
                   "",
                   "",
                   "./res/other/mosquitto_pub.exe -h \"\" -p \"\" --cafile \"\" --cert \"\" --key "
                   "\"\" -t \"\" -m \"\""},
        AwsPubCase{"SpacesQuoted",
                   {"C:\\certs dir\\ca.pem", "/c", "/k", "h", "1", ""},
                   "a topic",
                   "v",
                   "./res/other/mosquitto_pub.exe -h h -p 1 --cafile \"C:\\certs dir\\ca.pem\" "
                   "--cert /c --key /k -t \"a topic\" -m \"v\""},
        // No retain handling here: the suffix is part of the message.
        AwsPubCase{"MessageEscaped",
                   {"/ca", "/c", "/k", "h", "1", ""},
                   "t",
                   "say \"hi\"\\\t\n --retain",
                   "./res/other/mosquitto_pub.exe -h h -p 1 --cafile /ca --cert /c --key /k -t t "
                   "-m \"say \\\"hi\\\"\\\t\n --retain\""},
        AwsPubCase{"TrailingBackslashes",
                   {"/ca", "/c", "/k", "h", "1", ""},
                   "t",
                   "dir\\\\",
                   "./res/other/mosquitto_pub.exe -h h -p 1 --cafile /ca --cert /c --key /k -t t "
                   "-m \"dir\\\\\\\\\""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The printed argument vector -------------------------------------------

struct ShowCase {
    const char* name;
    Args args;
    std::string shown;
};
void PrintTo(const ShowCase& c, std::ostream* os) {
    *os << c.name;
}

class ShowArguments : public ::testing::TestWithParam<ShowCase> {};

TEST_P(ShowArguments, SpaceAfterEachPasswordHidden) {
    EXPECT_EQ(showArguments(GetParam().args), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShowArguments,
    ::testing::Values(
        ShowCase{"Empty", {}, "\n"}, ShowCase{"One", {"p"}, "p \n"},
        ShowCase{"EmptyArgument", {"p", "", "x"}, "p  x \n"},
        ShowCase{"Password", {"p", "-P", "s", "-t", "t"}, "p -P **** -t t \n"},
        ShowCase{"LongForm", {"p", "--pw", "s"}, "p --pw **** \n"},
        // Whatever follows a -P is hidden, even where it is none.
        ShowCase{"PasswordIsDashP", {"p", "-P", "-P", "-t"}, "p -P **** **** \n"},
        ShowCase{"AfterAValue", {"p", "-t", "-P", "--pw", "s"}, "p -t -P **** **** \n"},
        ShowCase{"Urls",
                 {"p", "-L", "mqtt://u:s@h:1/t", "--url", "mqtts://u@h/x:y@z"},
                 "p -L mqtt://u:****@h:1/t --url mqtts://u@h/x:y@z \n"},
        // -L misreads these; the printed line hides all that was meant.
        ShowCase{"UrlPasswordsWithSlashAtColon",
                 {"p", "-L", "mqtt://u:ab/PWXa@h:1/t", "-L", "mqtt://u:ab@PWXc@h/t", "--url",
                  "mqtts://u:a:b@h/t"},
                 "p -L mqtt://u:****@h:1/t -L mqtt://u:****@h/t --url "
                 "mqtts://u:****@h/t \n"},
        ShowCase{
            "ControlsEscaped", {"p", "-i", "a\nb\x1b", "-t", "\t"}, "p -i a\\nb\\x1b -t \\t \n"},
        ShowCase{"DanglingOption", {"p", "-P"}, "p -P \n"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
