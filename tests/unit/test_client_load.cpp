// Loading a record: the per-user configuration file, the command line over it,
// the final checks, the session rules and property validation.

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include <mqtt_protocol.h>

#include "client/broker_list.h"
#include "client/client_connect.h"
#include "test_client_args.h"

using kro::test::list;
using kro::test::load;
using kro::test::Outcome;
using kro::test::Record;
using kro::test::str;

namespace {

using V = std::vector<std::string>;

// Points USERPROFILE and HOME at fresh temporary directories (or unsets them)
// and puts both variables back afterwards.
class ClientConfigHome : public ::testing::Test {
protected:
    void SetUp() override {
        save("USERPROFILE", m_userprofile);
        save("HOME", m_home);
        m_dir = make_dir();
        m_other = make_dir();
        unsetenv("USERPROFILE");
        setenv("HOME", m_dir.c_str(), 1);
    }
    void TearDown() override {
        restore("USERPROFILE", m_userprofile);
        restore("HOME", m_home);
        for (const std::string& d : {m_dir, m_other}) {
            for (const char* f : {"mosquitto_pub.conf", "mosquitto_sub.conf", "mosquitto_rr.conf"})
                unlink((d + "/" + f).c_str());
            rmdir(d.c_str());
        }
    }

    static std::string make_dir() {
        char tmpl[] = "/tmp/kro_cfg_XXXXXX";
        const char* d = mkdtemp(tmpl);
        EXPECT_NE(d, nullptr);
        return d ? d : "";
    }
    static void write(const std::string& dir, const char* name, const std::string& content) {
        std::ofstream(dir + "/" + name, std::ios::binary) << content;
    }

    std::string m_dir, m_other;

private:
    static void save(const char* name, std::optional<std::string>& slot) {
        const char* v = std::getenv(name);
        if (v)
            slot = v;
    }
    static void restore(const char* name, const std::optional<std::string>& slot) {
        if (slot)
            setenv(name, slot->c_str(), 1);
        else
            unsetenv(name);
    }
    std::optional<std::string> m_userprofile, m_home;
};

// ---- the configuration file ------------------------------------------------

struct FileCase {
    const char* name;
    std::string content;
    V args;
    int rc;
    std::string message;
    std::function<void(const mosq_config&)> check;
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientConfigFile : public ClientConfigHome, public ::testing::WithParamInterface<FileCase> {};

TEST_P(ClientConfigFile, LinesBecomeOptions) {
    const FileCase& f = GetParam();
    write(m_dir, "mosquitto_sub.conf", f.content);
    Record r(CLIENT_SUB);
    Outcome o = load(r.c, CLIENT_SUB, f.args);
    EXPECT_EQ(o.rc, f.rc);
    EXPECT_EQ(o.err, f.message);
    if (f.check)
        f.check(r.c);
}

const V kTopic{"-t", "cli/t"};

INSTANTIATE_TEST_SUITE_P(
    Table, ClientConfigFile,
    ::testing::Values(
        FileCase{"Empty", "", kTopic, 0, "",
                 [](const mosq_config& c) { EXPECT_EQ(str(c.host), "localhost"); }},
        FileCase{"CommentAndOptions", "# a comment\n-h filehost\n-p 1884\n-v\n", kTopic, 0, "",
                 [](const mosq_config& c) {
                     EXPECT_EQ(str(c.host), "filehost");
                     EXPECT_EQ(c.port, 1884);
                     EXPECT_TRUE(c.verbose);
                 }},
        FileCase{"CrLfAndBlankLines", "-h filehost\r\n\r\n   \n\n-k 30\r\r\n", kTopic, 0, "",
                 [](const mosq_config& c) {
                     EXPECT_EQ(str(c.host), "filehost");
                     EXPECT_EQ(c.keepalive, 30);
                 }},
        FileCase{"LastLineWithoutNewline", "-h filehost", kTopic, 0, "",
                 [](const mosq_config& c) { EXPECT_EQ(str(c.host), "filehost"); }},
        FileCase{"LeadingSpacesSkipped", "   -h filehost\n", kTopic, 0, "",
                 [](const mosq_config& c) { EXPECT_EQ(str(c.host), "filehost"); }},
        FileCase{"RestOfLineKeptWhole", "-h   spaced host  \n", kTopic, 0, "",
                 [](const mosq_config& c) { EXPECT_EQ(str(c.host), "  spaced host  "); }},
        FileCase{"IndentedHashIsNotAComment", "  # not a comment\n", kTopic, 1,
                 "Error: Unknown option '#'.\n", nullptr},
        FileCase{"TabDoesNotSeparate", "-h\tfilehost\n", kTopic, 1,
                 "Error: Unknown option '-h\tfilehost'.\n", nullptr},
        FileCase{"OptionWithoutValue", "-h\n", kTopic, 1,
                 "Error: -h argument given but no host specified.\n\n", nullptr},
        FileCase{"OptionWithOneTrailingSpace", "-h \n", kTopic, 1,
                 "Error: -h argument given but no host specified.\n\n", nullptr},
        FileCase{"PropertyLineIsOneArgument", "-D CONNECT user-property k v\n", kTopic, 1,
                 "Error: --property argument given but not enough arguments specified.\n\n",
                 nullptr},
        // --help ends the load before the command line, whose bad option is
        // never reported.
        FileCase{"HelpBeforeCommandLine", "--help\n-h x\n", V{"--bogus"}, 2, "", nullptr},
        FileCase{"VersionBeforeCommandLine", "--version\n", V{"--bogus"}, 3, "", nullptr},
        FileCase{"ErrorStopsAtTheLine", "-q 5\n-h filehost\n", kTopic, 1,
                 "Error: Invalid QoS given: 5\n",
                 [](const mosq_config& c) { EXPECT_EQ(c.host, nullptr); }},
        FileCase{"PropertyOptionAlone", "-h filehost\n-D\n", kTopic, 1,
                 "Error: --property argument given but not enough arguments specified.\n\n",
                 nullptr},
        FileCase{"CommandLineOverridesSingleValuesAndAddsToLists",
                 "-h filehost\n-t file/t\n-T file/x\n-U file/u\n-q 1\n-u fileuser\n",
                 V{"-h", "clihost", "-t", "cli/t", "-T", "cli/x", "-U", "cli/u", "-q", "2"}, 0, "",
                 [](const mosq_config& c) {
                     EXPECT_EQ(str(c.host), "clihost");
                     EXPECT_EQ(c.qos, 2);
                     EXPECT_EQ(str(c.username), "fileuser");
                     EXPECT_EQ(list(c.topics, c.topic_count), (V{"file/t", "cli/t"}));
                     EXPECT_EQ(list(c.filter_outs, c.filter_out_count), (V{"file/x", "cli/x"}));
                     EXPECT_EQ(list(c.unsub_topics, c.unsub_topic_count), (V{"file/u", "cli/u"}));
                 }},
        FileCase{
            "TopicFromFileIsEnough", "-t file/t\n", V{}, 0, "",
            [](const mosq_config& c) { EXPECT_EQ(list(c.topics, c.topic_count), (V{"file/t"})); }},
        // Refused whole rather than read on in pieces, each taken for a line.
        FileCase{"OverlongLineRefused", "#\n-h " + std::string(1020, 'a') + "-q 2\n", kTopic, 1,
                 "Error: Line 2 of the configuration file is too long.\n",
                 [](const mosq_config& c) { EXPECT_EQ(c.host, nullptr); }},
        FileCase{"LongestLine", "-h " + std::string(1020, 'a') + "\n", kTopic, 0, "",
                 [](const mosq_config& c) { EXPECT_EQ(str(c.host), std::string(1020, 'a')); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ClientConfigHome, NoDirectoryMeansNoFile) {
    write(m_dir, "mosquitto_sub.conf", "--help\n");
    unsetenv("HOME");
    Record r(CLIENT_SUB);
    Outcome o = load(r.c, CLIENT_SUB, kTopic);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "");
}

TEST_F(ClientConfigHome, MissingFileIsNotAnError) {
    Record r(CLIENT_PUB);
    Outcome o = load(r.c, CLIENT_PUB, {"-t", "x"});
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.err, "");
}

TEST_F(ClientConfigHome, UserProfileComesBeforeHome) {
    write(m_dir, "mosquitto_pub.conf", "-h fromhome\n");
    write(m_other, "mosquitto_pub.conf", "-h fromprofile\n");
    setenv("USERPROFILE", m_other.c_str(), 1);
    Record r(CLIENT_PUB);
    ASSERT_EQ(load(r.c, CLIENT_PUB, {}).rc, 0);
    EXPECT_EQ(str(r.c.host), "fromprofile");
}

// A directory name must have 1 to 1023 characters; otherwise no file is read
// (and HOME is not tried instead).
TEST_F(ClientConfigHome, DirectoryNameLengthRule) {
    write(m_dir, "mosquitto_pub.conf", "--help\n");
    for (const std::string& profile : {std::string(), std::string(1024, 'd')}) {
        setenv("USERPROFILE", profile.c_str(), 1);
        Record r(CLIENT_PUB);
        EXPECT_EQ(load(r.c, CLIENT_PUB, {}).rc, 0) << profile.size();
    }
    // 1023 characters still count: the path is built and tried (it does not
    // exist, so nothing is read and nothing fails).
    setenv("USERPROFILE", ("/" + std::string(1022, 'd')).c_str(), 1);
    Record r(CLIENT_PUB);
    EXPECT_EQ(load(r.c, CLIENT_PUB, {}).rc, 0);
}

TEST_F(ClientConfigHome, EachKindReadsItsOwnFile) {
    write(m_dir, "mosquitto_pub.conf", "-h pubhost\n");
    write(m_dir, "mosquitto_sub.conf", "-h subhost\n");
    write(m_dir, "mosquitto_rr.conf", "-h rrhost\n");
    struct {
        int kind;
        const char* host;
    } kinds[] = {{CLIENT_PUB, "pubhost"}, {CLIENT_SUB, "subhost"}, {CLIENT_RR, "rrhost"}};
    for (auto& k : kinds) {
        Record r(k.kind);
        ASSERT_EQ(load(r.c, k.kind, {"-t", "t"}).rc, 0);
        EXPECT_EQ(str(r.c.host), k.host);
    }
}

TEST_F(ClientConfigHome, LoadStartsFromDefaults) {
    Record r(CLIENT_SUB);
    r.c.qos = 2;
    r.c.pDevice = &r;
    ASSERT_EQ(load(r.c, CLIENT_SUB, {"-t", "t"}).rc, 0);
    EXPECT_EQ(r.c.qos, 0);
    EXPECT_EQ(r.c.pDevice, nullptr);
    EXPECT_EQ(r.c.port, PORT_UNDEFINED);
}

// ---- final checks, session rules and the rest ------------------------------

struct CheckCase {
    const char* name;
    int kind;
    V args;
    int rc;
    std::string message;
    std::function<void(const mosq_config&)> check;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientFinalChecks : public ClientConfigHome,
                          public ::testing::WithParamInterface<CheckCase> {};

TEST_P(ClientFinalChecks, ResultMessageAndRecord) {
    const CheckCase& k = GetParam();
    Record r(k.kind);
    Outcome o = load(r.c, k.kind, k.args);
    EXPECT_EQ(o.rc, k.rc);
    EXPECT_EQ(o.err, k.message);
    if (k.check)
        k.check(r.c);
}

// The session-expiry-interval CONNECT properties of a record, in order.
std::vector<uint32_t> expiry_props(const mosq_config& c) {
    std::vector<uint32_t> out;
    for (const mosquitto_property* p = c.connect_props; p; p = mosquitto_property_next(p)) {
        uint32_t v = 0;
        if (mosquitto_property_read_int32(p, MQTT_PROP_SESSION_EXPIRY_INTERVAL, &v, false))
            out.push_back(v);
    }
    return out;
}

std::string props_error(const char* packet, int code) {
    return std::string("Error in ") + packet + " properties: " + mosquitto_strerror(code) + "\n";
}

// The brokers of `hosts` as "HOST:PORT " each, or why they are refused.
std::string brokers(const char* hosts, int port) {
    std::vector<broker_addr> list;
    std::string error, out;
    if (!broker_list_parse(hosts, port, &list, &error))
        return error;
    for (const broker_addr& b : list)
        out += broker_addr_text(b) + " ";
    return out;
}
std::string brokers(const mosq_config& c) {
    return brokers(c.host, client_connect_port(&c));
}

// Port boundaries and texts without a comma, with 1999 for entries that name
// no port: the brokers, or why the text is refused.
TEST(BrokerList, SingleTextsAndPortBoundaries) {
    const std::pair<const char*, const char*> rows[] = {
        {"[::1]:65535", "[::1]:65535 "},
        {"::1", "[::1]:1999 "}, // a bare IPv6 address stays a host
        {"h:x", "[h:x]:1999 "}, // no port: the text stays a host
        {"h:0", "\"h:0\" has no valid port (1 to 65535)"},
        {"h:12345678901234567890", "\"h:12345678901234567890\" has no valid port (1 to 65535)"},
        {"[::1]:0", "\"[::1]:0\" has no valid port after its address"},
    };
    for (const auto& [hosts, want] : rows)
        EXPECT_EQ(brokers(hosts, 1999), want) << hosts;
}

const char* kNeedIdC = "Error: You must provide a client id if you are using the -c option.\n";
const char* kNeedIdInf =
    "Error: You must provide a client id if you are using an infinite session expiry interval.\n";
const char* kNoTopic = "Error: You must specify a topic to subscribe to.\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ClientFinalChecks,
    ::testing::Values(
        CheckCase{"WillPayloadWithoutTopic",
                  CLIENT_PUB,
                  {"--will-payload", "x"},
                  1,
                  "Error: Will payload given, but no will topic given.\n",
                  nullptr},
        CheckCase{"WillRetainWithoutTopic",
                  CLIENT_PUB,
                  {"--will-retain"},
                  1,
                  "Error: Will retain given, but no will topic given.\n",
                  nullptr},
        CheckCase{"WillPayloadCheckedFirst",
                  CLIENT_PUB,
                  {"--will-retain", "--will-payload", "x", "--cert", "c"},
                  1,
                  "Error: Will payload given, but no will topic given.\n",
                  nullptr},
        CheckCase{"WillWithTopic",
                  CLIENT_PUB,
                  {"--will-topic", "w", "--will-payload", "x", "--will-retain"},
                  0,
                  "",
                  nullptr},
        CheckCase{"CertWithoutKey",
                  CLIENT_PUB,
                  {"--cert", "c.pem"},
                  1,
                  "Error: Both certfile and keyfile must be provided if one of them is set.\n",
                  nullptr},
        CheckCase{"KeyWithoutCert",
                  CLIENT_PUB,
                  {"--key", "k.pem"},
                  1,
                  "Error: Both certfile and keyfile must be provided if one of them is set.\n",
                  nullptr},
        CheckCase{"CertAndKey", CLIENT_PUB, {"--cert", "c.pem", "--key", "k.pem"}, 0, "", nullptr},
        CheckCase{"BrokerList",
                  CLIENT_PUB,
                  {"-h", "a,b:1884,[::1]:1885,::2", "-p", "1999"},
                  0,
                  "",
                  [](const mosq_config& c) {
                      EXPECT_EQ(brokers(c), "a:1999 b:1884 [::1]:1885 [::2]:1999 ");
                  }},
        CheckCase{"OneHostPortIsAnEntry",
                  CLIENT_PUB,
                  {"-h", "h:1"},
                  0,
                  "",
                  [](const mosq_config& c) { EXPECT_EQ(brokers(c), "h:1 "); }},
        CheckCase{"BrokerListEmptyEntry",
                  CLIENT_PUB,
                  {"-h", "a,,b"},
                  1,
                  "Error: Invalid broker list: an entry is empty.\n",
                  nullptr},
        CheckCase{"BrokerListBadPort",
                  CLIENT_SUB,
                  {"-t", "t", "-h", "a,b:65536"},
                  1,
                  "Error: Invalid broker list: \"b:65536\" has no valid port (1 to 65535).\n",
                  nullptr},
        CheckCase{"BrokerListOpenBracket",
                  CLIENT_PUB,
                  {"-h", "a,[::1:80"},
                  1,
                  "Error: Invalid broker list: \"[::1:80\" has no closing bracket or no "
                  "address.\n",
                  nullptr},
        CheckCase{"KeyformWithoutKey",
                  CLIENT_PUB,
                  {"--keyform", "pem"},
                  1,
                  "Error: If keyform is set, keyfile must be also specified.\n",
                  nullptr},
        CheckCase{
            "KpassWithoutEngine",
            CLIENT_PUB,
            {"--cert", "c", "--key", "k", "--keyform", "engine", "--tls-engine-kpass-sha1", "ab"},
            1,
            "Error: when using tls-engine-kpass-sha1, both tls-engine and keyform must also "
            "be provided.\n",
            nullptr},
        CheckCase{"KpassWithoutKeyform",
                  CLIENT_PUB,
                  {"--tls-engine", "e", "--tls-engine-kpass-sha1", "ab"},
                  1,
                  "Error: when using tls-engine-kpass-sha1, both tls-engine and keyform must also "
                  "be provided.\n",
                  nullptr},
        CheckCase{"KpassComplete",
                  CLIENT_PUB,
                  {"--cert", "c", "--key", "k", "--keyform", "engine", "--tls-engine", "e",
                   "--tls-engine-kpass-sha1", "ab"},
                  0,
                  "",
                  nullptr},
        // Session rules below protocol level 5.
        CheckCase{"NoCleanSessionNeedsAnId", CLIENT_PUB, {"-c"}, 1, kNeedIdC, nullptr},
        CheckCase{"NoCleanSessionWithId",
                  CLIENT_PUB,
                  {"-c", "-i", "me"},
                  0,
                  "",
                  [](const mosq_config& c) { EXPECT_EQ(c.connect_props, nullptr); }},
        CheckCase{"NoCleanSessionPrefixIsNotAnId",
                  CLIENT_SUB,
                  {"-c", "-I", "pre", "-t", "t"},
                  1,
                  kNeedIdC,
                  nullptr},
        CheckCase{"NoCleanSessionMqtt31", CLIENT_PUB, {"-c", "-V", "31"}, 1, kNeedIdC, nullptr},
        CheckCase{"ExpiryIgnoredBelowFive",
                  CLIENT_PUB,
                  {"-x", "60"},
                  0,
                  "",
                  [](const mosq_config& c) { EXPECT_EQ(c.connect_props, nullptr); }},
        // Session rules at level 5.
        CheckCase{
            "NoCleanSessionV5NeedsAnId", CLIENT_PUB, {"-c", "-V", "5"}, 1, kNeedIdInf, nullptr},
        CheckCase{"NoCleanSessionV5PrefixIsNotAnId",
                  CLIENT_PUB,
                  {"-c", "-V", "5", "-I", "p"},
                  1,
                  kNeedIdInf,
                  nullptr},
        CheckCase{"NoCleanSessionV5WithId",
                  CLIENT_PUB,
                  {"-c", "-V", "5", "-i", "x"},
                  0,
                  "",
                  [](const mosq_config& c) {
                      EXPECT_EQ(expiry_props(c), std::vector<uint32_t>{4294967295u});
                      EXPECT_EQ(c.session_expiry_interval, 4294967295LL);
                  }},
        CheckCase{
            "ExpiryV5",
            CLIENT_PUB,
            {"-V", "5", "-x", "60"},
            0,
            "",
            [](const mosq_config& c) { EXPECT_EQ(expiry_props(c), std::vector<uint32_t>{60}); }},
        CheckCase{"ExpiryZeroAddsNothing",
                  CLIENT_PUB,
                  {"-V", "5", "-x", "0", "-c", "-i", "x"},
                  0,
                  "",
                  [](const mosq_config& c) { EXPECT_EQ(c.connect_props, nullptr); }},
        CheckCase{
            "InfiniteExpiryNeedsAnId", CLIENT_PUB, {"-V", "5", "-x", "-1"}, 1, kNeedIdInf, nullptr},
        CheckCase{"V5AloneAddsNothing",
                  CLIENT_PUB,
                  {"-V", "5"},
                  0,
                  "",
                  [](const mosq_config& c) {
                      EXPECT_EQ(c.connect_props, nullptr);
                      EXPECT_EQ(c.session_expiry_interval, -1);
                  }},
        CheckCase{"RequestResponseIsV5",
                  CLIENT_RR,
                  {"-c", "-i", "rr"},
                  0,
                  "",
                  [](const mosq_config& c) {
                      EXPECT_EQ(expiry_props(c), std::vector<uint32_t>{4294967295u});
                  }},
        // Topics and host.
        CheckCase{"SubscriberNeedsATopic", CLIENT_SUB, {"-h", "h"}, 1, kNoTopic, nullptr},
        CheckCase{"SubscriberTopicFromUrl", CLIENT_SUB, {"-L", "mqtt://h/a"}, 0, "", nullptr},
        CheckCase{"PublisherWithoutTopicPasses", CLIENT_PUB, {}, 0, "", nullptr},
        CheckCase{"DefaultHost",
                  CLIENT_PUB,
                  {},
                  0,
                  "",
                  [](const mosq_config& c) { EXPECT_EQ(str(c.host), "localhost"); }},
        CheckCase{"GivenHostKept",
                  CLIENT_PUB,
                  {"-h", "b"},
                  0,
                  "",
                  [](const mosq_config& c) { EXPECT_EQ(str(c.host), "b"); }},
        // Whole-list property checks, reported per packet in packet order.
        CheckCase{"ConnectProperties",
                  CLIENT_PUB,
                  {"-D", "CONNECT", "receive-maximum", "0"},
                  1,
                  props_error("CONNECT", MOSQ_ERR_PROTOCOL),
                  nullptr},
        CheckCase{"ConnectExpiryTwice",
                  CLIENT_PUB,
                  {"-x", "60", "-D", "CONNECT", "session-expiry-interval", "5"},
                  1,
                  props_error("CONNECT", MOSQ_ERR_DUPLICATE_PROPERTY),
                  nullptr},
        CheckCase{"PublishProperties",
                  CLIENT_PUB,
                  {"-D", "PUBLISH", "content-type", "a", "-D", "PUBLISH", "content-type", "b"},
                  1,
                  props_error("PUBLISH", MOSQ_ERR_DUPLICATE_PROPERTY),
                  nullptr},
        CheckCase{"SubscribeProperties",
                  CLIENT_SUB,
                  {"-t", "t", "-D", "SUBSCRIBE", "subscription-identifier", "1", "-D", "SUBSCRIBE",
                   "subscription-identifier", "2"},
                  1,
                  props_error("SUBSCRIBE", MOSQ_ERR_DUPLICATE_PROPERTY),
                  nullptr},
        CheckCase{
            "DisconnectProperties",
            CLIENT_PUB,
            {"-D", "DISCONNECT", "reason-string", "a", "-D", "DISCONNECT", "reason-string", "b"},
            1,
            props_error("DISCONNECT", MOSQ_ERR_DUPLICATE_PROPERTY),
            nullptr},
        CheckCase{"WillProperties",
                  CLIENT_PUB,
                  {"-D", "will", "content-type", "a", "-D", "will", "content-type", "b"},
                  1,
                  props_error("Will", MOSQ_ERR_DUPLICATE_PROPERTY),
                  nullptr},
        CheckCase{"ConnectReportedBeforeWill",
                  CLIENT_PUB,
                  {"-D", "will", "content-type", "a", "-D", "will", "content-type", "b", "-D",
                   "CONNECT", "receive-maximum", "0"},
                  1,
                  props_error("CONNECT", MOSQ_ERR_PROTOCOL),
                  nullptr},
        CheckCase{"RepeatedUserPropertiesAreFine",
                  CLIENT_PUB,
                  {"-D", "UNSUBSCRIBE", "user-property", "a", "1", "-D", "UNSUBSCRIBE",
                   "user-property", "a", "2"},
                  0,
                  "",
                  nullptr},
        // Parser results pass through untouched.
        CheckCase{"HelpFromCommandLine", CLIENT_SUB, {"--help"}, 2, "", nullptr},
        CheckCase{"VersionFromCommandLine", CLIENT_SUB, {"--version"}, 3, "", nullptr},
        CheckCase{"ParserErrorFirst",
                  CLIENT_SUB,
                  {"-q", "9"},
                  1,
                  "Error: Invalid QoS given: 9\n",
                  nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- --quiet ---------------------------------------------------------------

struct QuietCase {
    const char* name;
    int kind;
    V args;
    std::string loud; // what is printed without --quiet
    bool silenced;    // whether --quiet removes it
};

void PrintTo(const QuietCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientQuiet : public ClientConfigHome, public ::testing::WithParamInterface<QuietCase> {};

TEST_P(ClientQuiet, SilencesOnlyTheErrorPrinter) {
    const QuietCase& q = GetParam();
    Record loud(q.kind);
    Outcome o = load(loud.c, q.kind, q.args);
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.err, q.loud);

    V quiet_args{"--quiet"};
    quiet_args.insert(quiet_args.end(), q.args.begin(), q.args.end());
    Record quiet(q.kind);
    o = load(quiet.c, q.kind, quiet_args);
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.err, q.silenced ? "" : q.loud);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClientQuiet,
    ::testing::Values(
        QuietCase{"PropertyValidation",
                  CLIENT_PUB,
                  {"-D", "CONNECT", "receive-maximum", "0"},
                  props_error("CONNECT", MOSQ_ERR_PROTOCOL),
                  true},
        QuietCase{"ParserMessage",
                  CLIENT_PUB,
                  {"-p", "70000"},
                  "Error: Invalid port given: 70000\n",
                  false},
        QuietCase{"TopicMessage",
                  CLIENT_SUB,
                  {"-t", "a/#/b"},
                  "Error: Invalid subscription topic 'a/#/b', are all '+' and '#' wildcards "
                  "correct?\n",
                  false},
        QuietCase{"PropertyArgument",
                  CLIENT_PUB,
                  {"-D", "CONNECT"},
                  "Error: --property argument given but not enough arguments specified.\n\n",
                  false},
        QuietCase{"FinalCheck",
                  CLIENT_PUB,
                  {"--cert", "c"},
                  "Error: Both certfile and keyfile must be provided if one of them is set.\n",
                  false},
        QuietCase{"SessionRule", CLIENT_PUB, {"-c"}, kNeedIdC, false},
        QuietCase{"NoTopic", CLIENT_SUB, {}, kNoTopic, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClientErrPrintf, PrintsUnlessQuiet) {
    Record r(CLIENT_PUB);
    for (bool quiet : {false, true}) {
        r.c.quiet = quiet;
        kro::test::Capture err(kro::test::Capture::Stream::Err);
        err_printf(&r.c, "Error: %s %d%%\n", "text", 7);
        EXPECT_EQ(err.take(), quiet ? "" : "Error: text 7%\n");
    }
}

// ---- nothing is lost on any path ---------------------------------------------

// Each load fills the record as far as it gets and stops; releasing it must
// free everything (the leak checker watches every test).
class ClientErrorPaths : public ClientConfigHome, public ::testing::WithParamInterface<V> {};

TEST_P(ClientErrorPaths, CleanupReleasesEverything) {
    write(m_dir, "mosquitto_sub.conf", "-h filehost\n-T file/x\n-u user\n");
    V args{"-t",
           "a",
           "-t",
           "b",
           "-T",
           "c",
           "-U",
           "d",
           "-P",
           "pw",
           "--cafile",
           "ca",
           "--will-topic",
           "w",
           "--will-payload",
           "p",
           "-F",
           "%p",
           "-D",
           "CONNECT",
           "user-property",
           "k",
           "v",
           "-D",
           "will",
           "content-type",
           "x",
           "-D",
           "SUBSCRIBE",
           "user-property",
           "k",
           "v",
           "-D",
           "UNSUBSCRIBE",
           "user-property",
           "k",
           "v",
           "-D",
           "DISCONNECT",
           "reason-string",
           "r"};
    const V& tail = GetParam();
    args.insert(args.end(), tail.begin(), tail.end());
    Record r(CLIENT_SUB);
    Outcome o = load(r.c, CLIENT_SUB, args);
    EXPECT_NE(o.rc, 0);
    EXPECT_NE(r.c.topics, nullptr);
    EXPECT_NE(r.c.connect_props, nullptr);
    // A second cleanup (a caller's own error path) must release nothing twice.
    client_config_cleanup(&r.c);
}

INSTANTIATE_TEST_SUITE_P(Table, ClientErrorPaths,
                         ::testing::Values(V{"--bogus"}, V{"-q", "9"},
                                           V{"-D", "CONNECT", "receive-maximum", "0"},
                                           V{"-D", "CONNECT", "receive-maximum", "70000"},
                                           V{"--key", "k"}, V{"-c", "-V", "5"}, V{"-c"},
                                           V{"--help"}, V{"--version"},
                                           V{"-L", "mqtt://u:p@h/+/#", "-T", "#/x"}, V{"-F", "%k"},
                                           V{"-D", "SUBSCRIBE", "subscription-identifier", "1",
                                             "-D", "SUBSCRIBE", "subscription-identifier", "2"}),
                         [](const auto& info) { return std::to_string(info.index); });

TEST_F(ClientConfigHome, EveryFieldOfAFullRecordIsReleased) {
    Record r(CLIENT_PUB);
    Outcome o = load(r.c, CLIENT_PUB,
                     {"-i",
                      "id",
                      "-h",
                      "h",
                      "-f",
                      "file",
                      "-t",
                      "t",
                      "-A",
                      "a",
                      "-u",
                      "u",
                      "-P",
                      "p",
                      "--will-topic",
                      "w",
                      "--will-payload",
                      "wp",
                      "--cafile",
                      "ca",
                      "--capath",
                      "cp",
                      "--cert",
                      "c",
                      "--key",
                      "k",
                      "--keyform",
                      "engine",
                      "--tls-engine",
                      "e",
                      "--tls-engine-kpass-sha1",
                      "s",
                      "--ciphers",
                      "x",
                      "--tls-alpn",
                      "al",
                      "--tls-version",
                      "v",
                      "-D",
                      "PUBLISH",
                      "content-type",
                      "t",
                      "-V",
                      "5",
                      "-x",
                      "10"});
    ASSERT_EQ(o.rc, 0) << o.err;
    // Fields of other kinds, filled by hand so that their release is covered too.
    r.c.message = strdup("m");
    r.c.format = strdup("%p");
    r.c.response_topic = strdup("r");
    r.c.id_prefix = strdup("pre");
}

// ---- loads on several threads at once ---------------------------------------

class ClientConfigLoadConcurrency : public ClientConfigHome {};

TEST_F(ClientConfigLoadConcurrency, LoadsDoNotShareLineState) {
    write(m_dir, "mosquitto_sub.conf", "-h   filehost\n-T one/x\n-U two/y\n-q 1\n");
    std::vector<std::thread> threads;
    std::vector<int> results(4, -1);
    std::vector<std::string> hosts(4);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t, &results, &hosts] {
            for (int round = 0; round < 20; round++) {
                mosq_config c;
                std::string topic = "t/" + std::to_string(t);
                kro::test::Args a({"-t", topic});
                int rc = client_config_load(&c, CLIENT_SUB, a.argc(), a.argv());
                if (rc == 0 && (c.topic_count != 1 || topic != c.topics[0] ||
                                c.filter_out_count != 1 || c.unsub_topic_count != 1))
                    rc = -2;
                results[t] = rc;
                hosts[t] = c.host ? c.host : "";
                client_config_cleanup(&c);
                if (rc != 0)
                    break;
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    for (int t = 0; t < 4; t++) {
        EXPECT_EQ(results[t], 0) << t;
        EXPECT_EQ(hosts[t], "  filehost") << t;
    }
}

} // namespace
