// The option language: which client kinds take which option, missing values,
// stored values, range checks and the options with rules of their own.

#include <functional>

#include <gtest/gtest.h>

#include "test_client_args.h"

using kro::test::list;
using kro::test::parse;
using kro::test::Record;
using kro::test::str;

namespace {

constexpr unsigned P = 1u << CLIENT_PUB, S = 1u << CLIENT_SUB, R = 1u << CLIENT_RR;
constexpr unsigned ALL = P | S | R;

std::string param_name(std::string name) {
    std::string out;
    for (char ch : name)
        out += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return out;
}

// ---- which kinds accept an option ------------------------------------------

struct KindCase {
    std::vector<std::string> args; // the option, then a value that passes
    unsigned kinds;
    int rc; // result when accepted
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << kro::test::joined(c.args);
}

class ClientOptionKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(ClientOptionKinds, AcceptedKindsOnlyOthersSeeAnUnknownOption) {
    const KindCase& k = GetParam();
    for (int kind : {CLIENT_PUB, CLIENT_SUB, CLIENT_RR}) {
        SCOPED_TRACE("kind " + std::to_string(kind));
        Record r(kind);
        kro::test::Outcome o = parse(r.c, kind, k.args);
        if (k.kinds & (1u << kind)) {
            EXPECT_EQ(o.rc, k.rc);
            EXPECT_EQ(o.err, "");
        } else {
            EXPECT_EQ(o.rc, 1);
            EXPECT_EQ(o.err, "Error: Unknown option '" + k.args[0] + "'.\n");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClientOptionKinds,
    ::testing::Values(
        KindCase{{"-A", "127.0.0.1"}, ALL, 0}, KindCase{{"-h", "h"}, ALL, 0},
        KindCase{{"--host", "h"}, ALL, 0}, KindCase{{"-p", "1"}, ALL, 0},
        KindCase{{"--port", "1"}, ALL, 0}, KindCase{{"--unix", "/s"}, ALL, 0},
        KindCase{{"-L", "mqtt://h/t"}, ALL, 0}, KindCase{{"--url", "mqtt://h/t"}, ALL, 0},
        KindCase{{"-i", "id"}, ALL, 0}, KindCase{{"--id", "id"}, ALL, 0},
        KindCase{{"-I", "p"}, ALL, 0}, KindCase{{"--id-prefix", "p"}, ALL, 0},
        KindCase{{"-u", "u"}, ALL, 0}, KindCase{{"--username", "u"}, ALL, 0},
        KindCase{{"-P", "p"}, ALL, 0}, KindCase{{"--pw", "p"}, ALL, 0},
        KindCase{{"-k", "10"}, ALL, 0}, KindCase{{"--keepalive", "10"}, ALL, 0},
        KindCase{{"-V", "5"}, ALL, 0}, KindCase{{"--protocol-version", "31"}, ALL, 0},
        KindCase{{"-c"}, ALL, 0}, KindCase{{"--disable-clean-session"}, ALL, 0},
        KindCase{{"-x", "5"}, ALL, 0}, KindCase{{"-M", "5"}, ALL, 0},
        KindCase{{"--nodelay"}, ALL, 0}, KindCase{{"-d"}, ALL, 0}, KindCase{{"--debug"}, ALL, 0},
        KindCase{{"--quiet"}, ALL, 0},
        KindCase{{"-D", "CONNECT", "user-property", "k", "v"}, ALL, 0},
        KindCase{{"--property", "CONNECT", "receive-maximum", "5"}, ALL, 0},
        KindCase{{"--help"}, ALL, 2}, KindCase{{"--version"}, ALL, 3},
        KindCase{{"--cafile", "f"}, ALL, 0}, KindCase{{"--capath", "d"}, ALL, 0},
        KindCase{{"--cert", "f"}, ALL, 0}, KindCase{{"--key", "f"}, ALL, 0},
        KindCase{{"--keyform", "pem"}, ALL, 0}, KindCase{{"--ciphers", "c"}, ALL, 0},
        KindCase{{"--tls-alpn", "a"}, ALL, 0}, KindCase{{"--tls-engine", "e"}, ALL, 0},
        KindCase{{"--tls-engine-kpass-sha1", "s"}, ALL, 0},
        KindCase{{"--tls-version", "tlsv1.3"}, ALL, 0}, KindCase{{"--insecure"}, ALL, 0},
        KindCase{{"--tls-use-os-certs"}, ALL, 0}, KindCase{{"--will-topic", "w"}, ALL, 0},
        KindCase{{"--will-payload", "x"}, ALL, 0}, KindCase{{"--will-qos", "1"}, ALL, 0},
        KindCase{{"--will-retain"}, ALL, 0}, KindCase{{"-t", "a/b"}, ALL, 0},
        KindCase{{"--topic", "a/b"}, ALL, 0}, KindCase{{"-q", "1"}, ALL, 0},
        KindCase{{"--qos", "1"}, ALL, 0}, KindCase{{"-m", "x"}, P | R, 0},
        KindCase{{"--message", "x"}, P | R, 0}, KindCase{{"-f", "x"}, P | R, 0},
        KindCase{{"--file", "x"}, P | R, 0}, KindCase{{"-s"}, P | R, 0},
        KindCase{{"--stdin-file"}, P | R, 0}, KindCase{{"-n"}, P | R, 0},
        KindCase{{"--null-message"}, P | R, 0}, KindCase{{"-l"}, P, 0},
        KindCase{{"--stdin-line"}, P, 0}, KindCase{{"-r"}, P, 0}, KindCase{{"--retain"}, P, 0},
        KindCase{{"--repeat", "2"}, P, 0}, KindCase{{"--repeat-delay", "1"}, P, 0},
        KindCase{{"-C", "1"}, S, 0}, KindCase{{"-E"}, S, 0}, KindCase{{"-R"}, S | R, 0},
        KindCase{{"--retain-as-published"}, S | R, 0}, KindCase{{"--retained-only"}, S, 0},
        KindCase{{"--remove-retained"}, S, 0}, KindCase{{"--random-filter", "50"}, S, 0},
        KindCase{{"-T", "a/#"}, S, 0}, KindCase{{"--filter-out", "a/#"}, S, 0},
        KindCase{{"-U", "a/#"}, S, 0}, KindCase{{"--unsubscribe", "a/#"}, S, 0},
        KindCase{{"-N"}, S | R, 0}, KindCase{{"--pretty"}, S | R, 0}, KindCase{{"-v"}, S | R, 0},
        KindCase{{"--verbose"}, S | R, 0}, KindCase{{"-F", "%p"}, S | R, 0},
        KindCase{{"-W", "1"}, S | R, 0}, KindCase{{"-e", "resp"}, R, 0},
        // Not options at all, in any kind: no prefix matching, no joined values.
        KindCase{{"--hos"}, 0, 0}, KindCase{{"-H"}, 0, 0}, KindCase{{"--port=1"}, 0, 0},
        KindCase{{"-vN"}, 0, 0}, KindCase{{"x"}, 0, 0}, KindCase{{""}, 0, 0}),
    [](const auto& info) { return std::to_string(info.index) + param_name(info.param.args[0]); });

// ---- an option that needs a value is the last entry -------------------------

struct MissingCase {
    std::string option;
    int kind;
    std::string message;
};

void PrintTo(const MissingCase& c, std::ostream* os) {
    *os << c.option << " kind " << c.kind;
}

class ClientMissingValue : public ::testing::TestWithParam<MissingCase> {};

TEST_P(ClientMissingValue, PrintsItsOwnMessage) {
    const MissingCase& m = GetParam();
    Record r(m.kind);
    kro::test::Outcome o = parse(r.c, m.kind, {"-d", m.option});
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.err, m.message);
}

#define MISSING(opt, what) "Error: " opt " argument given but no " what " specified.\n\n"

INSTANTIATE_TEST_SUITE_P(
    Table, ClientMissingValue,
    ::testing::Values(
        MissingCase{"-A", CLIENT_PUB, MISSING("-A", "address")},
        MissingCase{"-h", CLIENT_PUB, MISSING("-h", "host")},
        MissingCase{"--host", CLIENT_SUB, MISSING("-h", "host")},
        MissingCase{"-p", CLIENT_PUB, MISSING("-p", "port")},
        MissingCase{"--port", CLIENT_SUB, MISSING("-p", "port")},
        MissingCase{"--unix", CLIENT_PUB, MISSING("--unix", "socket path")},
        MissingCase{"-L", CLIENT_PUB, MISSING("-L", "URL")},
        MissingCase{"--url", CLIENT_SUB, MISSING("-L", "URL")},
        MissingCase{"-i", CLIENT_PUB, MISSING("-i", "id")},
        MissingCase{"--id", CLIENT_SUB, MISSING("-i", "id")},
        MissingCase{"-I", CLIENT_PUB, MISSING("-I", "id prefix")},
        MissingCase{"--id-prefix", CLIENT_SUB, MISSING("-I", "id prefix")},
        MissingCase{"-u", CLIENT_PUB, MISSING("-u", "username")},
        MissingCase{"--username", CLIENT_SUB, MISSING("-u", "username")},
        MissingCase{"-P", CLIENT_PUB, MISSING("-P", "password")},
        MissingCase{"--pw", CLIENT_SUB, MISSING("-P", "password")},
        MissingCase{"-k", CLIENT_PUB, MISSING("-k", "keepalive")},
        MissingCase{"--keepalive", CLIENT_SUB, MISSING("-k", "keepalive")},
        MissingCase{"-V", CLIENT_PUB, MISSING("--protocol-version", "version")},
        MissingCase{"--protocol-version", CLIENT_SUB, MISSING("--protocol-version", "version")},
        MissingCase{"-x", CLIENT_PUB, MISSING("-x", "session expiry interval")},
        MissingCase{"-M", CLIENT_SUB,
                    "Error: -M argument given but max_inflight not specified.\n\n"},
        MissingCase{"--cafile", CLIENT_PUB, MISSING("--cafile", "file")},
        MissingCase{"--capath", CLIENT_PUB, MISSING("--capath", "directory")},
        MissingCase{"--cert", CLIENT_PUB, MISSING("--cert", "file")},
        MissingCase{"--key", CLIENT_PUB, MISSING("--key", "file")},
        MissingCase{"--keyform", CLIENT_PUB, MISSING("--keyform", "keyform")},
        MissingCase{"--ciphers", CLIENT_PUB, MISSING("--ciphers", "ciphers")},
        MissingCase{"--tls-alpn", CLIENT_PUB, MISSING("--tls-alpn", "protocol")},
        MissingCase{"--tls-engine", CLIENT_PUB, MISSING("--tls-engine", "engine_id")},
        MissingCase{"--tls-engine-kpass-sha1", CLIENT_PUB,
                    MISSING("--tls-engine-kpass-sha1", "kpass sha1")},
        MissingCase{"--tls-version", CLIENT_PUB, MISSING("--tls-version", "version")},
        MissingCase{"--will-topic", CLIENT_PUB, MISSING("--will-topic", "will topic")},
        MissingCase{"--will-payload", CLIENT_PUB, MISSING("--will-payload", "will payload")},
        MissingCase{"--will-qos", CLIENT_PUB, MISSING("--will-qos", "will QoS")},
        MissingCase{"-t", CLIENT_PUB, MISSING("-t", "topic")},
        MissingCase{"--topic", CLIENT_SUB, MISSING("-t", "topic")},
        MissingCase{"-q", CLIENT_PUB, MISSING("-q", "QoS")},
        MissingCase{"--qos", CLIENT_SUB, MISSING("-q", "QoS")},
        MissingCase{"-m", CLIENT_PUB, MISSING("-m", "message")},
        MissingCase{"--message", CLIENT_RR, MISSING("-m", "message")},
        MissingCase{"-f", CLIENT_PUB, MISSING("-f", "file")},
        MissingCase{"--file", CLIENT_RR, MISSING("-f", "file")},
        MissingCase{"--repeat", CLIENT_PUB, MISSING("--repeat", "count")},
        MissingCase{"--repeat-delay", CLIENT_PUB, MISSING("--repeat-delay", "time")},
        MissingCase{"-C", CLIENT_SUB, MISSING("-C", "count")},
        MissingCase{"--random-filter", CLIENT_SUB, MISSING("--random-filter", "chance")},
        MissingCase{"-T", CLIENT_SUB, MISSING("-T", "topic filter")},
        MissingCase{"--filter-out", CLIENT_SUB, MISSING("-T", "topic filter")},
        MissingCase{"-U", CLIENT_SUB, MISSING("-U", "unsubscribe topic")},
        MissingCase{"--unsubscribe", CLIENT_SUB, MISSING("-U", "unsubscribe topic")},
        MissingCase{"-F", CLIENT_SUB, MISSING("-F", "format")},
        MissingCase{"-W", CLIENT_RR, MISSING("-W", "timeout")},
        MissingCase{"-e", CLIENT_RR, MISSING("-e", "response topic")},
        MissingCase{"-D", CLIENT_PUB,
                    "Error: --property argument given but not enough arguments specified.\n\n"}),
    [](const auto& info) { return std::to_string(info.index) + param_name(info.param.option); });

// ---- values land in the record ---------------------------------------------

struct StoreCase {
    const char* name;
    int kind;
    std::vector<std::string> args;
    std::function<void(const mosq_config&)> check;
};

void PrintTo(const StoreCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientStoredValue : public ::testing::TestWithParam<StoreCase> {};

TEST_P(ClientStoredValue, IsInTheRecord) {
    const StoreCase& s = GetParam();
    Record r(s.kind);
    kro::test::Outcome o = parse(r.c, s.kind, s.args);
    ASSERT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.err, "");
    s.check(r.c);
}

using V = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Table, ClientStoredValue,
    ::testing::Values(
        StoreCase{"Texts",
                  CLIENT_PUB,
                  {"-A",
                   "10.0.0.1",
                   "-h",
                   "broker",
                   "-u",
                   "user",
                   "-P",
                   "secret",
                   "--cafile",
                   "ca.pem",
                   "--capath",
                   "cadir",
                   "--cert",
                   "c.pem",
                   "--key",
                   "k.pem",
                   "--keyform",
                   "engine",
                   "--ciphers",
                   "HIGH",
                   "--tls-alpn",
                   "x-amzn",
                   "--tls-engine",
                   "eng",
                   "--tls-engine-kpass-sha1",
                   "abc",
                   "--tls-version",
                   "tlsv1.2",
                   "-i",
                   "cid"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(str(c.bind_address), "10.0.0.1");
                      EXPECT_EQ(str(c.host), "broker");
                      EXPECT_EQ(str(c.username), "user");
                      EXPECT_EQ(str(c.password), "secret");
                      EXPECT_EQ(str(c.cafile), "ca.pem");
                      EXPECT_EQ(str(c.capath), "cadir");
                      EXPECT_EQ(str(c.certfile), "c.pem");
                      EXPECT_EQ(str(c.keyfile), "k.pem");
                      EXPECT_EQ(str(c.keyform), "engine");
                      EXPECT_EQ(str(c.ciphers), "HIGH");
                      EXPECT_EQ(str(c.tls_alpn), "x-amzn");
                      EXPECT_EQ(str(c.tls_engine), "eng");
                      EXPECT_EQ(str(c.tls_engine_kpass_sha1), "abc");
                      EXPECT_EQ(str(c.tls_version), "tlsv1.2");
                      EXPECT_EQ(str(c.id), "cid");
                      EXPECT_EQ(c.id_prefix, nullptr);
                  }},
        StoreCase{"GeneralFlags",
                  CLIENT_PUB,
                  {"-c", "--nodelay", "-d", "--quiet", "--insecure", "--tls-use-os-certs",
                   "--will-retain", "-r"},
                  [](const mosq_config& c) {
                      EXPECT_FALSE(c.clean_session);
                      EXPECT_TRUE(c.tcp_nodelay);
                      EXPECT_TRUE(c.debug);
                      EXPECT_TRUE(c.quiet);
                      EXPECT_TRUE(c.insecure);
                      EXPECT_TRUE(c.tls_use_os_certs);
                      EXPECT_TRUE(c.will_retain);
                      EXPECT_TRUE(c.retain);
                  }},
        StoreCase{"SubscriberFlags",
                  CLIENT_SUB,
                  {"-E", "-R", "--retained-only", "--remove-retained", "-N", "--pretty", "-v",
                   "--retain-as-published"},
                  [](const mosq_config& c) {
                      EXPECT_TRUE(c.exit_after_sub);
                      EXPECT_TRUE(c.no_retain);
                      EXPECT_TRUE(c.retained_only);
                      EXPECT_TRUE(c.remove_retained);
                      EXPECT_FALSE(c.eol);
                      EXPECT_TRUE(c.pretty);
                      EXPECT_TRUE(c.verbose);
                      EXPECT_EQ(c.sub_opts, 32 | 8);
                      EXPECT_FALSE(c.retain);
                  }},
        StoreCase{"NoRetainAloneSetsOnlyItsBit",
                  CLIENT_RR,
                  {"-R"},
                  [](const mosq_config& c) { EXPECT_EQ(c.sub_opts, 32); }},
        StoreCase{"Numbers",
                  CLIENT_SUB,
                  {"-p", "8884", "-k", "30", "-q", "2", "--will-qos", "1", "-M", "7", "-C", "3",
                   "-W", "9"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(c.port, 8884);
                      EXPECT_EQ(c.keepalive, 30);
                      EXPECT_EQ(c.qos, 2);
                      EXPECT_EQ(c.will_qos, 1);
                      EXPECT_EQ(c.max_inflight, 7u);
                      EXPECT_EQ(c.msg_count, 3);
                      EXPECT_EQ(c.timeout, 9u);
                  }},
        StoreCase{"NumbersReadLikeAtoi",
                  CLIENT_PUB,
                  {"-p", "12ab", "-q", " 1x", "--repeat", "+4"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(c.port, 12);
                      EXPECT_EQ(c.qos, 1);
                      EXPECT_EQ(c.repeat_count, 4);
                  }},
        StoreCase{"PortWithoutDigitsIsZero",
                  CLIENT_PUB,
                  {"-p", "abc"},
                  [](const mosq_config& c) { EXPECT_EQ(c.port, 0); }},
        StoreCase{"UnixSocket",
                  CLIENT_SUB,
                  {"-p", "1884", "--unix", "/run/b.sock"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(str(c.host), "/run/b.sock");
                      EXPECT_EQ(c.port, PORT_UNIX);
                  }},
        StoreCase{"Message",
                  CLIENT_PUB,
                  {"-m", "h\xC3\xA9llo"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(str(c.message), "h\xC3\xA9llo");
                      EXPECT_EQ(c.msglen, 6);
                      EXPECT_EQ(c.pub_mode, MSGMODE_CMD);
                  }},
        StoreCase{"EmptyMessage",
                  CLIENT_PUB,
                  {"-m", ""},
                  [](const mosq_config& c) {
                      EXPECT_EQ(str(c.message), "");
                      EXPECT_EQ(c.msglen, 0);
                      EXPECT_EQ(c.pub_mode, MSGMODE_CMD);
                  }},
        StoreCase{"File",
                  CLIENT_PUB,
                  {"-f", "data.bin"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(str(c.file_input), "data.bin");
                      EXPECT_EQ(c.pub_mode, MSGMODE_FILE);
                  }},
        StoreCase{"StdinFile",
                  CLIENT_PUB,
                  {"-s"},
                  [](const mosq_config& c) { EXPECT_EQ(c.pub_mode, MSGMODE_STDIN_FILE); }},
        StoreCase{"NullMessage",
                  CLIENT_RR,
                  {"--null-message"},
                  [](const mosq_config& c) { EXPECT_EQ(c.pub_mode, MSGMODE_NULL); }},
        StoreCase{"StdinLine",
                  CLIENT_PUB,
                  {"--stdin-line"},
                  [](const mosq_config& c) { EXPECT_EQ(c.pub_mode, MSGMODE_STDIN_LINE); }},
        StoreCase{"Will",
                  CLIENT_PUB,
                  {"--will-topic", "dead/x", "--will-payload", "gone"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(str(c.will_topic), "dead/x");
                      EXPECT_EQ(str(c.will_payload), "gone");
                      EXPECT_EQ(c.will_payloadlen, 4);
                  }},
        StoreCase{"IdPrefix",
                  CLIENT_SUB,
                  {"-I", "pre"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(str(c.id_prefix), "pre");
                      EXPECT_EQ(c.id, nullptr);
                  }},
        StoreCase{"RepeatedSingleValuesKeepTheLater",
                  CLIENT_PUB,
                  {"-h", "a",    "-h", "b",          "-p",    "1",        "--port",
                   "2",  "-u",   "x",  "--username", "y",     "-t",       "t/1",
                   "-t", "t/2",  "-q", "2",          "-q",    "1",        "-i",
                   "i1", "--id", "i2", "--cafile",   "a.pem", "--cafile", "b.pem"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(str(c.host), "b");
                      EXPECT_EQ(c.port, 2);
                      EXPECT_EQ(str(c.username), "y");
                      EXPECT_EQ(str(c.topic), "t/2");
                      EXPECT_EQ(c.qos, 1);
                      EXPECT_EQ(str(c.id), "i2");
                      EXPECT_EQ(str(c.cafile), "b.pem");
                  }},
        StoreCase{"ListOptionsAppendInOrder",
                  CLIENT_SUB,
                  {"-t", "a/#", "-T", "a/x", "-t", "b/+", "-U", "old/#", "--filter-out", "a/y",
                   "--unsubscribe", "older", "--topic", "c"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(list(c.topics, c.topic_count), (V{"a/#", "b/+", "c"}));
                      EXPECT_EQ(list(c.filter_outs, c.filter_out_count), (V{"a/x", "a/y"}));
                      EXPECT_EQ(list(c.unsub_topics, c.unsub_topic_count), (V{"old/#", "older"}));
                      EXPECT_EQ(c.topic, nullptr);
                  }},
        StoreCase{"TopicTakesTheNextEntryWhateverItIs",
                  CLIENT_PUB,
                  {"-t", "-q"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(str(c.topic), "-q");
                      EXPECT_EQ(c.qos, 0);
                  }},
        StoreCase{"ResponseTopic",
                  CLIENT_RR,
                  {"-e", "reply/me", "-t", "req"},
                  [](const mosq_config& c) {
                      EXPECT_EQ(str(c.response_topic), "reply/me");
                      EXPECT_EQ(str(c.topic), "req");
                  }},
        StoreCase{"Format",
                  CLIENT_SUB,
                  {"-F", "%t %p\\n"},
                  [](const mosq_config& c) { EXPECT_EQ(str(c.format), "%t %p\\n"); }},
        StoreCase{"RandomFilterIsAPercentage",
                  CLIENT_SUB,
                  {"--random-filter", "12.5"},
                  [](const mosq_config& c) { EXPECT_EQ(c.random_filter, 1250); }},
        StoreCase{"RandomFilterSmallest",
                  CLIENT_SUB,
                  {"--random-filter", "0.1"},
                  [](const mosq_config& c) { EXPECT_EQ(c.random_filter, 10); }},
        StoreCase{"RandomFilterAll",
                  CLIENT_SUB,
                  {"--random-filter", "100"},
                  [](const mosq_config& c) { EXPECT_EQ(c.random_filter, 10000); }},
        StoreCase{"RandomFilterRoundsToTheScale",
                  CLIENT_SUB,
                  {"--random-filter", "0.006"},
                  [](const mosq_config& c) { EXPECT_EQ(c.random_filter, 1); }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- refusals, with range checks at both bounds -------------------------------

struct RefusalCase {
    int kind;
    std::vector<std::string> args;
    int rc;
    std::string message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << kro::test::joined(c.args) << " kind " << c.kind;
}

class ClientRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ClientRefusal, ResultAndExactMessage) {
    const RefusalCase& f = GetParam();
    Record r(f.kind);
    kro::test::Outcome o = parse(r.c, f.kind, f.args);
    EXPECT_EQ(o.rc, f.rc);
    EXPECT_EQ(o.err, f.message);
}

const char* kKeepalive =
    "Error: Invalid keepalive given, it must be between 5 and 65535 inclusive.\n\n";
const char* kOneType = "Error: Only one type of message can be sent at once.\n\n";
const char* kIdPair = "Error: -i and -I argument cannot be used together.\n\n";
const char* kRandom = "Error: --random-filter chance must be between 0.1-100.0\n\n";
const std::string kBig = "4294967296"; // wraps to 0 as an int
const std::string kWild = "', are all '+' and '#' wildcards correct?\n";
std::string bigNumber(const char* option) {
    return "Error: Invalid number \"" + kBig + "\" for " + option + ".\n\n";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClientRefusal,
    ::testing::Values(
        RefusalCase{CLIENT_PUB, {"-p", "0"}, 0, ""},
        RefusalCase{CLIENT_PUB, {"-p", "65535"}, 0, ""},
        RefusalCase{CLIENT_PUB, {"-p", "65536"}, 1, "Error: Invalid port given: 65536\n"},
        RefusalCase{CLIENT_SUB, {"-p", "-1"}, 1, "Error: Invalid port given: -1\n"},
        RefusalCase{CLIENT_PUB, {"-k", "4"}, 1, kKeepalive},
        RefusalCase{CLIENT_PUB, {"-k", "5"}, 0, ""},
        RefusalCase{CLIENT_PUB, {"-k", "65535"}, 0, ""},
        RefusalCase{CLIENT_SUB, {"-k", "65536"}, 1, kKeepalive},
        RefusalCase{CLIENT_PUB, {"-q", "-1"}, 1, "Error: Invalid QoS given: -1\n"},
        RefusalCase{CLIENT_PUB, {"-q", "0"}, 0, ""}, RefusalCase{CLIENT_PUB, {"-q", "2"}, 0, ""},
        RefusalCase{CLIENT_SUB, {"-q", "3"}, 1, "Error: Invalid QoS given: 3\n"},
        RefusalCase{CLIENT_PUB, {"--will-qos", "-1"}, 1, "Error: Invalid will QoS -1.\n\n"},
        RefusalCase{CLIENT_PUB, {"--will-qos", "2"}, 0, ""},
        RefusalCase{CLIENT_PUB, {"--will-qos", "3"}, 1, "Error: Invalid will QoS 3.\n\n"},
        RefusalCase{CLIENT_SUB, {"-C", "0"}, 1, "Error: Invalid message count \"0\".\n\n"},
        RefusalCase{CLIENT_SUB, {"-C", "1"}, 0, ""},
        RefusalCase{CLIENT_SUB, {"-W", "0"}, 1, "Error: Invalid timeout \"0\".\n\n"},
        RefusalCase{CLIENT_SUB, {"-W", "-5"}, 1, "Error: Invalid timeout \"-5\".\n\n"},
        RefusalCase{CLIENT_SUB, {"-W", "1"}, 0, ""},
        RefusalCase{CLIENT_PUB,
                    {"-M", "0"},
                    1,
                    "Error: Maximum inflight messages must be greater than 0.\n\n"},
        RefusalCase{CLIENT_PUB, {"-M", "1"}, 0, ""},
        RefusalCase{CLIENT_PUB, {"--repeat", "0"}, 1, "Error: --repeat argument must be >0.\n\n"},
        RefusalCase{CLIENT_PUB, {"--repeat", "1"}, 0, ""},
        RefusalCase{CLIENT_SUB, {"--random-filter", "0.004"}, 1, kRandom},
        RefusalCase{CLIENT_SUB, {"--random-filter", "0"}, 1, kRandom},
        RefusalCase{CLIENT_SUB, {"--random-filter", "-1"}, 1, kRandom},
        RefusalCase{CLIENT_SUB, {"--random-filter", "100.1"}, 1, kRandom},
        RefusalCase{CLIENT_SUB, {"--random-filter", "nan"}, 1, kRandom},
        RefusalCase{CLIENT_SUB, {"--random-filter", "1e300"}, 1, kRandom},
        RefusalCase{CLIENT_SUB, {"--random-filter", "abc"}, 1, kRandom},
        RefusalCase{CLIENT_PUB, {"-V", "mqttv31"}, 0, ""},
        RefusalCase{
            CLIENT_PUB, {"-V", "4"}, 1, "Error: Invalid protocol version argument given.\n\n"},
        RefusalCase{
            CLIENT_PUB, {"-V", "MQTTV5"}, 1, "Error: Invalid protocol version argument given.\n\n"},
        // One message source, in either order, also the same one twice.
        RefusalCase{CLIENT_PUB, {"-m", "x", "-f", "y"}, 1, kOneType},
        RefusalCase{CLIENT_PUB, {"-f", "y", "-m", "x"}, 1, kOneType},
        RefusalCase{CLIENT_PUB, {"-n", "-n"}, 1, kOneType},
        RefusalCase{CLIENT_PUB, {"-s", "-l"}, 1, kOneType},
        RefusalCase{CLIENT_RR, {"-m", "x", "-s"}, 1, kOneType},
        // Checked before the value: the missing message is not reached.
        RefusalCase{CLIENT_PUB, {"-n", "-m"}, 1, kOneType},
        RefusalCase{CLIENT_PUB, {"-i", "a", "-I", "b"}, 1, kIdPair},
        RefusalCase{CLIENT_PUB, {"-I", "b", "-i", "a"}, 1, kIdPair},
        RefusalCase{CLIENT_SUB, {"-I", "b", "--id"}, 1, kIdPair},
        // Topics.
        RefusalCase{CLIENT_PUB,
                    {"-t", "a/+"},
                    1,
                    "Error: Invalid publish topic 'a/+', does it contain '+' or '#'?\n"},
        RefusalCase{CLIENT_SUB,
                    {"-t", "a/#/b"},
                    1,
                    "Error: Invalid subscription topic 'a/#/b', are all '+' and '#' wildcards "
                    "correct?\n"},
        RefusalCase{CLIENT_SUB, {"-t", "bad\xff"}, 1, "Error: Malformed UTF-8 in -t argument.\n\n"},
        RefusalCase{CLIENT_RR,
                    {"-e", "r/#"},
                    1,
                    "Error: Invalid response topic 'r/#', does it contain '+' or '#'?\n"},
        RefusalCase{CLIENT_RR, {"-e", "\xc0"}, 1, "Error: Malformed UTF-8 in -e argument.\n\n"},
        RefusalCase{CLIENT_PUB,
                    {"--will-topic", "w/#"},
                    1,
                    "Error: Invalid will topic 'w/#', does it contain '+' or '#'?\n"},
        RefusalCase{CLIENT_PUB,
                    {"--will-topic", "\xff"},
                    1,
                    "Error: Malformed UTF-8 in --will-topic argument.\n\n"},
        RefusalCase{CLIENT_SUB,
                    {"-T", "a+"},
                    1,
                    "Error: Invalid filter topic 'a+', are all '+' and '#' wildcards correct?\n"},
        RefusalCase{CLIENT_SUB, {"-T", "\xff"}, 1, "Error: Malformed UTF-8 in -T argument.\n\n"},
        RefusalCase{CLIENT_SUB,
                    {"-U", "#/a"},
                    1,
                    "Error: Invalid unsubscribe topic '#/a', are all '+' and '#' wildcards "
                    "correct?\n"},
        RefusalCase{CLIENT_SUB, {"-U", "\xff"}, 1, "Error: Malformed UTF-8 in -U argument.\n\n"},
        // Numbers beyond int are refused, never wrapped; empty topics; ids too long.
        RefusalCase{CLIENT_PUB, {"-p", kBig}, 1, "Error: Invalid port given: " + kBig + "\n"},
        RefusalCase{CLIENT_SUB, {"-k", "4294967301"}, 1, kKeepalive},
        RefusalCase{CLIENT_PUB, {"-q", kBig}, 1, "Error: Invalid QoS given: " + kBig + "\n"},
        RefusalCase{
            CLIENT_PUB, {"--will-qos", kBig}, 1, "Error: Invalid will QoS " + kBig + ".\n\n"},
        RefusalCase{
            CLIENT_SUB, {"-C", kBig}, 1, "Error: Invalid message count \"" + kBig + "\".\n\n"},
        RefusalCase{CLIENT_SUB, {"-W", kBig}, 1, "Error: Invalid timeout \"" + kBig + "\".\n\n"},
        RefusalCase{CLIENT_PUB, {"-M", kBig}, 1, bigNumber("-M")},
        RefusalCase{
            CLIENT_PUB, {"--repeat", "-" + kBig}, 1, "Error: --repeat argument must be >0.\n\n"},
        RefusalCase{CLIENT_PUB, {"--repeat", kBig}, 1, bigNumber("--repeat")},
        RefusalCase{CLIENT_SUB, {"-L", "mqtt://h:" + kBig + "/t"}, 1, bigNumber("-L")},
        RefusalCase{CLIENT_SUB, {"-t", ""}, 1, "Error: Invalid subscription topic '" + kWild},
        RefusalCase{CLIENT_SUB, {"-T", ""}, 1, "Error: Invalid filter topic '" + kWild},
        RefusalCase{CLIENT_SUB, {"-U", ""}, 1, "Error: Invalid unsubscribe topic '" + kWild},
        RefusalCase{CLIENT_PUB, {"-i", std::string(65535, 'i')}, 0, ""},
        RefusalCase{CLIENT_PUB, {"-i", std::string(65536, 'i')}, 1, "Error: Client id too long.\n"},
        RefusalCase{CLIENT_SUB, {"-I", std::string(65535, 'i')}, 1, "Error: Client id too long.\n"},
        // The first error ends the walk: nothing after it is looked at.
        RefusalCase{CLIENT_PUB, {"-q", "7", "--bogus"}, 1, "Error: Invalid QoS given: 7\n"},
        RefusalCase{CLIENT_SUB, {"--bogus", "-q", "7"}, 1, "Error: Unknown option '--bogus'.\n"},
        RefusalCase{CLIENT_PUB, {"--help", "--bogus"}, 2, ""},
        RefusalCase{CLIENT_PUB, {"--version", "--help"}, 3, ""}),
    [](const auto& info) { return std::to_string(info.index); });

// The largest payload a packet can carry passes, one byte more does not. The
// argument is built in place: copies of 256 MiB are not needed to test this.
TEST(ClientMessageLength, LimitIsTheLargestPayload) {
    const size_t limit = 268435455;
    std::vector<char> text(limit + 2, 'x');
    char opt[] = "-m";
    char prog[] = "prog";
    char* argv[] = {prog, opt, text.data(), nullptr};
    for (size_t len : {limit, limit + 1}) {
        text[len] = '\0';
        Record r(CLIENT_PUB);
        kro::test::Capture err(kro::test::Capture::Stream::Err);
        int rc = client_config_line_proc(&r.c, CLIENT_PUB, 3, argv);
        if (len == limit) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(err.take(), "");
            EXPECT_EQ(r.c.msglen, static_cast<int32_t>(limit));
        } else {
            EXPECT_EQ(rc, 1);
            EXPECT_EQ(err.take(), "Error: Message length must be less than 268435455 bytes.\n\n");
        }
        text[len] = 'x';
    }
}

// ---- session expiry --------------------------------------------------------

struct ExpiryCase {
    std::string value;
    int rc;
    int64_t stored;
    std::string message;
};

void PrintTo(const ExpiryCase& c, std::ostream* os) {
    *os << kro::test::joined({c.value});
}

class ClientSessionExpiry : public ::testing::TestWithParam<ExpiryCase> {};

TEST_P(ClientSessionExpiry, ReadsTheInterval) {
    const ExpiryCase& e = GetParam();
    Record r(CLIENT_PUB);
    kro::test::Outcome o = parse(r.c, CLIENT_PUB, {"-x", e.value});
    EXPECT_EQ(o.rc, e.rc);
    EXPECT_EQ(o.err, e.message);
    EXPECT_EQ(r.c.session_expiry_interval, e.stored);
}

const char* kNotNumber = "Error: session-expiry-interval not a number.\n\n";
const char* kOutOfRange = "Error: session-expiry-interval out of range.\n\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ClientSessionExpiry,
    ::testing::Values(
        ExpiryCase{"\xE2\x88\x9E", 0, 4294967295LL, ""}, ExpiryCase{"-1", 0, 4294967295LL, ""},
        ExpiryCase{"0xFFFFFFFF", 0, 4294967295LL, ""},
        ExpiryCase{"4294967295", 0, 4294967295LL, ""}, ExpiryCase{"0", 0, 0, ""},
        ExpiryCase{"60", 0, 60, ""}, ExpiryCase{"010", 0, 8, ""},
        ExpiryCase{"-2", 1, -1, kOutOfRange}, ExpiryCase{"4294967296", 1, -1, kOutOfRange},
        ExpiryCase{"99999999999999999999999", 1, -1, kOutOfRange},
        ExpiryCase{"12a", 1, -1, kNotNumber}, ExpiryCase{"", 1, -1, kNotNumber},
        ExpiryCase{"x", 1, -1, kNotNumber}, ExpiryCase{"\xE2\x88\x9E!", 1, -1, kNotNumber}),
    [](const auto& info) { return std::to_string(info.index); });

// ---- repeat delay ----------------------------------------------------------

struct DelayCase {
    std::string value;
    int rc;
    int32_t sec, usec;
    std::string message;
};

void PrintTo(const DelayCase& c, std::ostream* os) {
    *os << c.value;
}

class ClientRepeatDelay : public ::testing::TestWithParam<DelayCase> {};

TEST_P(ClientRepeatDelay, SplitsIntoSecondsAndMicroseconds) {
    const DelayCase& d = GetParam();
    Record r(CLIENT_PUB);
    kro::test::Outcome o = parse(r.c, CLIENT_PUB, {"--repeat-delay", d.value});
    EXPECT_EQ(o.rc, d.rc);
    EXPECT_EQ(o.err, d.message);
    EXPECT_EQ(r.c.repeat_delay.tv_sec, d.sec);
    EXPECT_EQ(r.c.repeat_delay.tv_usec, d.usec);
}

const char* kNegative = "Error: --repeat-delay argument must be >=0.0.\n\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ClientRepeatDelay,
    ::testing::Values(DelayCase{"1.5", 0, 1, 500000, ""}, DelayCase{"0", 0, 0, 0, ""},
                      DelayCase{"0.25", 0, 0, 250000, ""}, DelayCase{"3", 0, 3, 0, ""},
                      DelayCase{"abc", 0, 0, 0, ""}, DelayCase{"-0.5", 1, 0, 0, kNegative},
                      DelayCase{"nan", 1, 0, 0, kNegative},
                      // Long delays no longer fit a 32-bit microsecond count but
                      // still split correctly.
                      DelayCase{"3000", 0, 3000, 0, ""},
                      DelayCase{"inf", 1, 0, 0, "Error: --repeat-delay argument out of range.\n\n"},
                      DelayCase{"1e20", 1, 0, 0,
                                "Error: --repeat-delay argument out of range.\n\n"}),
    [](const auto& info) { return std::to_string(info.index); });

// ---- URLs ------------------------------------------------------------------

struct UrlCase {
    const char* name;
    int kind;
    std::string url;
    int rc;
    std::string message;
    std::string host, username, password;
    int port;
    bool os_certs;
    std::vector<std::string> topics; // the publish topic, or the subscriptions
};

void PrintTo(const UrlCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientUrl : public ::testing::TestWithParam<UrlCase> {};

TEST_P(ClientUrl, SplitsIntoTheRecord) {
    const UrlCase& u = GetParam();
    Record r(u.kind);
    kro::test::Outcome o = parse(r.c, u.kind, {"-L", u.url});
    EXPECT_EQ(o.rc, u.rc);
    EXPECT_EQ(o.err, u.message);
    EXPECT_EQ(str(r.c.host), u.host);
    EXPECT_EQ(str(r.c.username), u.username);
    EXPECT_EQ(str(r.c.password), u.password);
    EXPECT_EQ(r.c.port, u.port);
    EXPECT_EQ(r.c.tls_use_os_certs, u.os_certs);
    V stored =
        u.kind == CLIENT_SUB ? list(r.c.topics, r.c.topic_count) : (r.c.topic ? V{r.c.topic} : V{});
    EXPECT_EQ(stored, u.topics);
}

const char* N = "<null>";

INSTANTIATE_TEST_SUITE_P(
    Table, ClientUrl,
    ::testing::Values(
        UrlCase{"Plain", CLIENT_PUB, "mqtt://broker/a", 0, "", "broker", N, N, 1883, false, {"a"}},
        UrlCase{"CapitalScheme",
                CLIENT_PUB,
                "MQTT://broker/a",
                0,
                "",
                "broker",
                N,
                N,
                1883,
                false,
                {"a"}},
        UrlCase{"Tls", CLIENT_PUB, "mqtts://broker/a", 0, "", "broker", N, N, 8883, true, {"a"}},
        UrlCase{"TlsMixedCase",
                CLIENT_PUB,
                "MqTtS://broker/a",
                0,
                "",
                "broker",
                N,
                N,
                8883,
                true,
                {"a"}},
        UrlCase{"Everything",
                CLIENT_PUB,
                "mqtts://u:p@h:1234/x/y",
                0,
                "",
                "h",
                "u",
                "p",
                1234,
                true,
                {"x/y"}},
        UrlCase{"UserWithoutPassword",
                CLIENT_PUB,
                "mqtt://user@h/t",
                0,
                "",
                "h",
                "user",
                N,
                1883,
                false,
                {"t"}},
        UrlCase{"PasswordKeepsLaterColons",
                CLIENT_PUB,
                "mqtt://u:p:q@h/t",
                0,
                "",
                "h",
                "u",
                "p:q",
                1883,
                false,
                {"t"}},
        UrlCase{"PortIsNotRangeChecked",
                CLIENT_PUB,
                "mqtt://h:99999/t",
                0,
                "",
                "h",
                N,
                N,
                99999,
                false,
                {"t"}},
        UrlCase{"TopicIsVerbatim",
                CLIENT_PUB,
                "mqtt://h/a%20b//c",
                0,
                "",
                "h",
                N,
                N,
                1883,
                false,
                {"a%20b//c"}},
        UrlCase{"SubscriberTwoLevels",
                CLIENT_SUB,
                "mqtt://h/a/b",
                0,
                "",
                "h",
                N,
                N,
                1883,
                false,
                {"a/b"}},
        UrlCase{"SubscriberWildcard",
                CLIENT_SUB,
                "mqtt://h/a/#",
                0,
                "",
                "h",
                N,
                N,
                1883,
                false,
                {"a/#"}},
        UrlCase{"NoSlash",
                CLIENT_PUB,
                "mqtt://u:p@h:1884",
                1,
                "Error: Invalid URL for -L argument specified - topic missing.\n",
                N,
                N,
                N,
                1883,
                false,
                {}},
        UrlCase{"OtherScheme",
                CLIENT_PUB,
                "http://h/t",
                1,
                "Error: unsupported URL scheme.\n\n",
                N,
                N,
                N,
                -1,
                false,
                {}},
        UrlCase{"NoScheme",
                CLIENT_SUB,
                "h/t",
                1,
                "Error: unsupported URL scheme.\n\n",
                N,
                N,
                N,
                -1,
                false,
                {}},
        UrlCase{"PublishTopicWithWildcard",
                CLIENT_PUB,
                "mqtt://h/a/+",
                1,
                "Error: Invalid publish topic 'a/+', does it contain '+' or '#'?\n",
                N,
                N,
                N,
                1883,
                false,
                {}},
        UrlCase{"MalformedTopic",
                CLIENT_SUB,
                "mqtt://h/\xff",
                1,
                "Error: Malformed UTF-8 in -L topic argument.\n\n",
                N,
                N,
                N,
                1883,
                false,
                {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClientUrlCut, TheArgumentIsCutInPlace) {
    Record r(CLIENT_PUB);
    kro::test::Args a({"-L", "mqtt://u:p@h:1/t"});
    ASSERT_EQ(client_config_line_proc(&r.c, CLIENT_PUB, a.argc(), a.argv()), 0);
    EXPECT_STREQ(a.argv()[2], "mqtt://u");
    EXPECT_STREQ(a.argv()[2] + 9, "p");
    EXPECT_STREQ(a.argv()[2] + 11, "h");
    // The record holds copies, not pointers into the argument.
    EXPECT_NE(r.c.host, a.argv()[2] + 11);
}

// ---- protocol level and properties -----------------------------------------

struct LevelCase {
    std::vector<std::string> args;
    int version;
};

void PrintTo(const LevelCase& c, std::ostream* os) {
    *os << kro::test::joined(c.args);
}

class ClientProtocolLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(ClientProtocolLevel, LastWordWinsAndPropertiesMeanFive) {
    Record r(CLIENT_PUB);
    kro::test::Outcome o = parse(r.c, CLIENT_PUB, GetParam().args);
    ASSERT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(r.c.protocol_version, GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClientProtocolLevel,
    ::testing::Values(LevelCase{{}, 4}, LevelCase{{"-V", "mqttv31"}, 3}, LevelCase{{"-V", "31"}, 3},
                      LevelCase{{"-V", "mqttv311"}, 4}, LevelCase{{"-V", "311"}, 4},
                      LevelCase{{"-V", "mqttv5"}, 5}, LevelCase{{"--protocol-version", "5"}, 5},
                      LevelCase{{"-V", "311", "-D", "CONNECT", "receive-maximum", "5"}, 5},
                      LevelCase{{"-D", "CONNECT", "receive-maximum", "5", "-V", "311"}, 4},
                      LevelCase{{"-V", "5", "-V", "31"}, 3}),
    [](const auto& info) { return std::to_string(info.index); });

// ---- output format ---------------------------------------------------------

struct FormatCase {
    std::string format;
    int rc;
    std::string message;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << kro::test::joined({c.format});
}

class ClientCheckFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ClientCheckFormat, AcceptsOrSaysWhy) {
    const FormatCase& f = GetParam();
    kro::test::Capture err(kro::test::Capture::Stream::Err);
    int rc = check_format(f.format.c_str());
    EXPECT_EQ(rc, f.rc);
    EXPECT_EQ(err.take(), f.message);
}

const char* kIncomplete = "Error: Incomplete format specifier.\n";

std::vector<FormatCase> format_cases() {
    std::vector<FormatCase> cases;
    for (char code : std::string("%ACDEFIjJlmpPqrRStxX"))
        cases.push_back({std::string("a%") + code + "b", 0, ""});
    const char* more[][3] = {
        {"plain text", "0", ""},
        {"", "0", ""},
        {"%-10.3p", "0", ""},
        {"%010x", "0", ""},
        {"%.5p", "0", ""},
        {"%5.p", "0", ""},
        {"@H:@M:@S @@ @x", "0", ""},
        {"\\0\\\\\\a\\e\\n\\r\\t\\v", "0", ""},
        {"%U", "1", "Error: The %U format option is not supported on Windows.\n"},
        {"%-U", "1", "Error: The %U format option is not supported on Windows.\n"},
        {"%", "1", kIncomplete},
        {"abc%", "1", kIncomplete},
        {"%12", "1", kIncomplete},
        {"%-", "1", kIncomplete},
        {"%0", "1", kIncomplete},
        {"%3.", "1", kIncomplete},
        {"%3.14", "1", kIncomplete},
        {"@", "1", kIncomplete},
        {"x@", "1", kIncomplete},
        {"%--p", "1", "Error: Invalid format specifier '-'.\n"},
        {"%k", "1", "Error: Invalid format specifier 'k'.\n"},
        {"%s", "1", "Error: Invalid format specifier 's'.\n"},
        {"%5.2z", "1", "Error: Invalid format specifier 'z'.\n"},
        {"\\", "1", "Error: Incomplete escape specifier.\n"},
        {"ok\\", "1", "Error: Incomplete escape specifier.\n"},
        {"\\q", "1", "Error: Invalid escape specifier 'q'.\n"},
        {"\\N", "1", "Error: Invalid escape specifier 'N'.\n"},
        {"%p\\x%Z", "1", "Error: Invalid escape specifier 'x'.\n"},
        {"%65535p%-0.65535t", "0", ""},
        {"%65536p", "1", "Error: Invalid format specifier 'p'.\n"},
        {"%.99999999999999999999t", "1", "Error: Invalid format specifier 't'.\n"},
    };
    for (auto& m : more)
        cases.push_back({m[0], std::stoi(m[1]), m[2]});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, ClientCheckFormat, ::testing::ValuesIn(format_cases()),
                         [](const auto& info) { return std::to_string(info.index); });

TEST(ClientFormatOption, CheckedAfterStoring) {
    Record r(CLIENT_SUB);
    kro::test::Outcome o = parse(r.c, CLIENT_SUB, {"-F", "%k"});
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.err, "Error: Invalid format specifier 'k'.\n");
    EXPECT_EQ(str(r.c.format), "%k");
}

} // namespace
