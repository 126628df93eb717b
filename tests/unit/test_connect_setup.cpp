// Connection set-up without a broker: client ids, option application, the
// chosen port and connection failures. What the library puts on the wire is
// read by a raw loopback listener that records the first packet it is sent.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <mqtt_protocol.h>

#include "client/client_connect.h"
#include "client/lib_init.h"
#include "platform/sysinfo.h"
#include "support/capture.h"

namespace {

using kro::test::Capture;
using kro::test::CaptureBoth;

char* dup_text(const char* s) {
    return s ? strdup(s) : nullptr;
}

// A record with its defaults, released at the end of the test.
struct Record {
    mosq_config c;
    explicit Record(int kind = CLIENT_PUB) { init_config(&c, kind); }
    ~Record() { client_config_cleanup(&c); }
};

// The library for the test's own client handles; the set-up under test takes
// and releases the run references on top of it.
class LibraryHeld : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(client_lib_init(), 0); }
    void TearDown() override { client_lib_cleanup(); }
};

mosquitto_property* one_property() {
    mosquitto_property* props = nullptr;
    EXPECT_EQ(mosquitto_property_add_int32(&props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, 30), 0);
    return props;
}

// ---------------------------------------------------------------------------
// Client ids

struct IdCase {
    const char* name;
    const char* id;     // -i
    const char* prefix; // -I
    std::string expected;
};
void PrintTo(const IdCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientIdGenerate : public ::testing::TestWithParam<IdCase> {};

TEST_P(ClientIdGenerate, FillsIdFromPrefixAndProcessId) {
    const IdCase& tc = GetParam();
    Record rec;
    rec.c.id = dup_text(tc.id);
    rec.c.id_prefix = dup_text(tc.prefix);
    CaptureBoth cap;
    EXPECT_EQ(client_id_generate(&rec.c), 0);
    EXPECT_EQ(cap.err.take(), "");
    if (tc.expected == "<none>") {
        EXPECT_EQ(rec.c.id, nullptr);
    } else {
        ASSERT_NE(rec.c.id, nullptr);
        EXPECT_EQ(std::string(rec.c.id), tc.expected);
    }
}

const std::string kPid = std::to_string(getpid());

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientIdGenerate,
    ::testing::Values(IdCase{"no_prefix_no_id", nullptr, nullptr, "<none>"},
                      IdCase{"no_prefix_keeps_id", "fixed", nullptr, "fixed"},
                      IdCase{"no_prefix_keeps_empty_id", "", nullptr, ""},
                      IdCase{"prefix_then_pid", nullptr, "pub-", "pub-" + kPid},
                      IdCase{"prefix_without_separator", nullptr, "x", "x" + kPid},
                      IdCase{"empty_prefix_is_pid", nullptr, "", kPid},
                      IdCase{"long_prefix_not_cut", nullptr, "abcdefghijklmnopqrstuvwxyz0123456789",
                             "abcdefghijklmnopqrstuvwxyz0123456789" + kPid}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Default port

struct PortCase {
    const char* name;
    int port;
    const char* cafile;
    const char* capath;
    const char* certfile;
    const char* keyform;
    bool os_certs;
    int expected;
};
void PrintTo(const PortCase& c, std::ostream* os) {
    *os << c.name;
}

class ConnectPort : public ::testing::TestWithParam<PortCase> {};

TEST_P(ConnectPort, OnlyCaSettingsChooseTheTlsPort) {
    const PortCase& tc = GetParam();
    Record rec;
    rec.c.port = tc.port;
    rec.c.cafile = dup_text(tc.cafile);
    rec.c.capath = dup_text(tc.capath);
    rec.c.certfile = dup_text(tc.certfile);
    rec.c.keyfile = dup_text(tc.certfile);
    rec.c.keyform = dup_text(tc.keyform);
    rec.c.tls_use_os_certs = tc.os_certs;
    EXPECT_EQ(client_connect_port(&rec.c), tc.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectPort,
    ::testing::Values(
        PortCase{"nothing", PORT_UNDEFINED, nullptr, nullptr, nullptr, nullptr, false, 1883},
        PortCase{"cafile", PORT_UNDEFINED, "ca.pem", nullptr, nullptr, nullptr, false, 8883},
        PortCase{"capath", PORT_UNDEFINED, nullptr, "certs", nullptr, nullptr, false, 8883},
        PortCase{"cert_and_key_alone", PORT_UNDEFINED, nullptr, nullptr, "c.pem", nullptr, false,
                 1883},
        PortCase{"keyform_alone", PORT_UNDEFINED, nullptr, nullptr, nullptr, "pem", false, 1883},
        PortCase{"os_certs_alone", PORT_UNDEFINED, nullptr, nullptr, nullptr, nullptr, true, 1883},
        PortCase{"explicit_port_with_ca", 1884, "ca.pem", nullptr, nullptr, nullptr, false, 1884},
        PortCase{"explicit_plain_port", 2000, nullptr, nullptr, nullptr, nullptr, false, 2000},
        PortCase{"unix_socket_with_ca", PORT_UNIX, "ca.pem", nullptr, nullptr, nullptr, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Failures of client_opts_set

struct OptsFailCase {
    const char* name;
    std::function<void(mosq_config&)> setup;
    std::string message;
};
void PrintTo(const OptsFailCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientOptsSetFailure : public LibraryHeld,
                             public ::testing::WithParamInterface<OptsFailCase> {};

// Each failure prints its message (unless quiet), returns 1 and releases the
// run's library reference exactly once, however often the caller releases it
// again afterwards.
TEST_P(ClientOptsSetFailure, PrintsReleasesOnceAndStops) {
    const OptsFailCase& tc = GetParam();
    for (bool quiet : {false, true}) {
        SCOPED_TRACE(quiet ? "quiet" : "not quiet");
        Record rec;
        rec.c.quiet = quiet;
        tc.setup(rec.c);
        mosquitto* mosq = mosquitto_new(nullptr, true, nullptr);
        ASSERT_NE(mosq, nullptr);

        int before = client_lib_refcount();
        ASSERT_EQ(client_lib_init_run(&rec.c), 0);
        EXPECT_EQ(client_lib_refcount(), before + 1);
        std::string err;
        {
            Capture cap(Capture::Stream::Err);
            EXPECT_EQ(client_opts_set(mosq, &rec.c), 1);
            err = cap.take();
        }
        EXPECT_EQ(err, quiet ? "" : tc.message);
        EXPECT_EQ(client_lib_refcount(), before);
        client_lib_cleanup_run(&rec.c);
        EXPECT_EQ(client_lib_refcount(), before);
        mosquitto_destroy(mosq);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientOptsSetFailure,
    ::testing::Values(
        OptsFailCase{"will_with_wildcard", [](mosq_config& c) { c.will_topic = strdup("will/#"); },
                     "Error: Problem setting will.\n"},
        OptsFailCase{"password_without_user_v311",
                     [](mosq_config& c) { c.password = strdup("secret"); },
                     "Error: Problem setting username and/or password.\n"},
        OptsFailCase{"unknown_keyform", [](mosq_config& c) { c.keyform = strdup("der"); },
                     "Error: Problem setting key form, it must be one of 'pem' or 'engine'.\n"},
        OptsFailCase{"missing_cafile",
                     [](mosq_config& c) { c.cafile = strdup("/nonexistent/kro/ca.pem"); },
                     "Error: Problem setting TLS options: File not found.\n"},
        OptsFailCase{"unknown_engine",
                     [](mosq_config& c) { c.tls_engine = strdup("kro-no-such-engine"); },
                     "Error: Problem setting TLS engine, is kro-no-such-engine a valid engine?\n"},
        OptsFailCase{"short_kpass_sha1",
                     [](mosq_config& c) { c.tls_engine_kpass_sha1 = strdup("abc"); },
                     "Error: Problem setting TLS engine key pass sha, is it a 40 character hex "
                     "string?\n"},
        OptsFailCase{"unknown_tls_version", [](mosq_config& c) { c.tls_version = strdup("tlsv9"); },
                     "Error: Problem setting TLS options, check the options are valid.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LibraryHeld, FailedWillKeepsItsPropertiesInTheRecord) {
    Record rec;
    rec.c.protocol_version = 5;
    rec.c.will_topic = strdup("will/+");
    rec.c.will_props = one_property();
    mosquitto* mosq = mosquitto_new(nullptr, true, nullptr);
    Capture cap(Capture::Stream::Err);
    EXPECT_EQ(client_opts_set(mosq, &rec.c), 1);
    // Still the record's to release: client_config_cleanup frees it (checked
    // for leaks and double frees by the sanitizer build).
    EXPECT_NE(rec.c.will_props, nullptr);
    mosquitto_destroy(mosq);
}

// ---------------------------------------------------------------------------
// What a successful set-up puts on the wire

// Accepts one connection on a free loopback port and records the first packet
// (or, for TLS, the first bytes of the handshake), then closes.
class FirstPacketListener {
public:
    FirstPacketListener() {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            listen(m_fd, 1) != 0) {
            throw std::runtime_error("listener set-up failed");
        }
        socklen_t len = sizeof(addr);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~FirstPacketListener() {
        if (m_thread.joinable())
            m_thread.join();
        close(m_fd);
    }
    int port() const { return m_port; }
    // Waits for the listener to finish (bounded by its own timeouts).
    std::string bytes() {
        if (m_thread.joinable())
            m_thread.join();
        return m_bytes;
    }

private:
    static bool wait_readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 5000) == 1;
    }
    void serve() {
        if (!wait_readable(m_fd))
            return;
        int conn = accept(m_fd, nullptr, nullptr);
        if (conn < 0)
            return;
        // Read until a whole MQTT packet is in, or the first bytes of
        // anything that is not MQTT (a TLS handshake), or 5 s of silence.
        char buf[4096];
        while (wait_readable(conn)) {
            ssize_t n = recv(conn, buf, sizeof(buf), 0);
            if (n <= 0)
                break;
            m_bytes.append(buf, static_cast<size_t>(n));
            if (static_cast<unsigned char>(m_bytes[0]) != 0x10 || packet_complete())
                break;
        }
        close(conn);
    }
    bool packet_complete() const {
        size_t remaining = 0, shift = 0, i = 1;
        for (; i < m_bytes.size() && i < 5; ++i, shift += 7) {
            unsigned char b = static_cast<unsigned char>(m_bytes[i]);
            remaining |= static_cast<size_t>(b & 0x7f) << shift;
            if (!(b & 0x80))
                return m_bytes.size() >= i + 1 + remaining;
        }
        return false;
    }

    int m_fd = -1;
    int m_port = 0;
    std::string m_bytes;
    std::thread m_thread;
};

// The parts of a CONNECT packet the set-up decides.
struct ConnectPacket {
    int level = 0;
    int flags = 0;
    std::optional<int> receive_maximum;
};

size_t read_varint(const std::string& b, size_t& pos) {
    size_t value = 0, shift = 0;
    while (pos < b.size()) {
        unsigned char c = static_cast<unsigned char>(b[pos++]);
        value |= static_cast<size_t>(c & 0x7f) << shift;
        if (!(c & 0x80))
            break;
        shift += 7;
    }
    return value;
}

unsigned u16(const std::string& b, size_t pos) {
    return (static_cast<unsigned char>(b[pos]) << 8) | static_cast<unsigned char>(b[pos + 1]);
}

std::optional<ConnectPacket> parse_connect(const std::string& b) {
    if (b.empty() || static_cast<unsigned char>(b[0]) != 0x10)
        return std::nullopt;
    size_t pos = 1;
    read_varint(b, pos);
    pos += 2 + u16(b, pos); // protocol name
    ConnectPacket p;
    p.level = static_cast<unsigned char>(b[pos++]);
    p.flags = static_cast<unsigned char>(b[pos++]);
    pos += 2; // keep alive
    if (p.level != 5)
        return p;
    size_t end = read_varint(b, pos);
    end += pos;
    // Walk the CONNECT properties by their sizes.
    while (pos < end && pos < b.size()) {
        int id = static_cast<unsigned char>(b[pos++]);
        switch (id) {
        case MQTT_PROP_RECEIVE_MAXIMUM:
            p.receive_maximum = static_cast<int>(u16(b, pos));
            pos += 2;
            break;
        case MQTT_PROP_TOPIC_ALIAS_MAXIMUM:
            pos += 2;
            break;
        case MQTT_PROP_SESSION_EXPIRY_INTERVAL:
        case MQTT_PROP_MAXIMUM_PACKET_SIZE:
            pos += 4;
            break;
        case MQTT_PROP_REQUEST_PROBLEM_INFORMATION:
        case MQTT_PROP_REQUEST_RESPONSE_INFORMATION:
            pos += 1;
            break;
        case MQTT_PROP_USER_PROPERTY:
            pos += 2 + u16(b, pos);
            pos += 2 + u16(b, pos);
            break;
        default: // strings and binary data
            pos += 2 + u16(b, pos);
            break;
        }
    }
    return p;
}

struct WireCase {
    const char* name;
    std::function<void(mosq_config&)> setup; // before client_opts_set
    bool tls;                                // a TLS handshake instead of CONNECT
    int flags_mask;
    int flags;
    std::optional<int> receive_maximum;
};
void PrintTo(const WireCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientOptsSetWire : public LibraryHeld, public ::testing::WithParamInterface<WireCase> {};

TEST_P(ClientOptsSetWire, AppliesTheRecord) {
    const WireCase& tc = GetParam();
    Record rec;
    rec.c.host = strdup("127.0.0.1");
    tc.setup(rec.c);
    mosquitto* mosq = mosquitto_new(nullptr, true, nullptr);
    ASSERT_NE(mosq, nullptr);
    {
        Capture cap(Capture::Stream::Err);
        ASSERT_EQ(client_opts_set(mosq, &rec.c), 0);
        EXPECT_EQ(cap.take(), "");
    }
    // The will list belongs to the library (or is gone) once the step passed.
    EXPECT_EQ(rec.c.will_props, nullptr);

    // The port decided TLS above; the connection itself always goes to the
    // listener.
    FirstPacketListener listener;
    rec.c.port = listener.port();
    rec.c.quiet = true; // a TLS handshake against the listener fails, by design
    int rc = client_connect(mosq, &rec.c);
    // The CONNECT may wait in the library's queue until the loop runs.
    for (int i = 0; i < 20 && rc == 0 && !tc.tls; ++i) {
        if (mosquitto_loop(mosq, 100, 1) != MOSQ_ERR_SUCCESS)
            break;
    }
    std::string bytes = listener.bytes();
    mosquitto_destroy(mosq);

    ASSERT_FALSE(bytes.empty());
    if (tc.tls) {
        EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x16) << "expected a TLS handshake";
        return;
    }
    auto packet = parse_connect(bytes);
    ASSERT_TRUE(packet.has_value()) << "expected an MQTT CONNECT";
    EXPECT_EQ(packet->level, rec.c.protocol_version);
    EXPECT_EQ(packet->flags & tc.flags_mask, tc.flags);
    EXPECT_EQ(packet->receive_maximum, tc.receive_maximum);
}

const int kUserFlag = 0x80, kPasswordFlag = 0x40, kWillFlag = 0x04;
// What libmosquitto announces under MQTT v5 unless told otherwise.
const int kLibraryReceiveMaximum = 20;

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientOptsSetWire,
    ::testing::Values(
        WireCase{"plain_by_default", [](mosq_config&) {}, false, kWillFlag, 0, std::nullopt},
        WireCase{"port_8883_uses_system_store", [](mosq_config& c) { c.port = 8883; }, true, 0, 0,
                 std::nullopt},
        WireCase{"port_1883_stays_plain", [](mosq_config& c) { c.port = 1883; }, false, 0, 0,
                 std::nullopt},
        WireCase{"os_certs_option", [](mosq_config& c) { c.tls_use_os_certs = true; }, true, 0, 0,
                 std::nullopt},
        WireCase{"cert_without_ca_not_used",
                 [](mosq_config& c) {
                     c.certfile = strdup("/nonexistent/kro/c.pem");
                     c.keyfile = strdup("/nonexistent/kro/c.key");
                 },
                 false, 0, 0, std::nullopt},
        WireCase{"credentials",
                 [](mosq_config& c) {
                     c.username = strdup("u");
                     c.password = strdup("p");
                 },
                 false, kUserFlag | kPasswordFlag, kUserFlag | kPasswordFlag, std::nullopt},
        WireCase{"will_properties_without_will_dropped",
                 [](mosq_config& c) {
                     c.protocol_version = 5;
                     c.will_props = one_property();
                 },
                 false, kWillFlag, 0, kLibraryReceiveMaximum},
        WireCase{"will_with_properties",
                 [](mosq_config& c) {
                     c.protocol_version = 5;
                     c.will_topic = strdup("will/t");
                     c.will_props = one_property();
                 },
                 false, kWillFlag, kWillFlag, kLibraryReceiveMaximum},
        WireCase{"receive_maximum_1",
                 [](mosq_config& c) {
                     c.protocol_version = 5;
                     c.msg_count = 1;
                 },
                 false, 0, 0, 1},
        WireCase{"receive_maximum_5",
                 [](mosq_config& c) {
                     c.protocol_version = 5;
                     c.msg_count = 5;
                 },
                 false, 0, 0, 5},
        WireCase{"receive_maximum_19",
                 [](mosq_config& c) {
                     c.protocol_version = 5;
                     c.msg_count = 19;
                 },
                 false, 0, 0, 19},
        WireCase{"count_25_leaves_default",
                 [](mosq_config& c) {
                     c.protocol_version = 5;
                     c.msg_count = 25;
                 },
                 false, 0, 0, kLibraryReceiveMaximum},
        WireCase{"no_count_leaves_default", [](mosq_config& c) { c.protocol_version = 5; }, false,
                 0, 0, kLibraryReceiveMaximum}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Connection failures

// A loopback port nothing listens on: bound, never listened to, closed.
int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

struct ConnectFailCase {
    const char* name;
    std::function<void(mosq_config&)> setup;
    int code;
    std::string message;
};
void PrintTo(const ConnectFailCase& c, std::ostream* os) {
    *os << c.name;
}

class ClientConnectFailure : public LibraryHeld,
                             public ::testing::WithParamInterface<ConnectFailCase> {};

TEST_P(ClientConnectFailure, ReturnsTheLibraryCode) {
    const ConnectFailCase& tc = GetParam();
    for (bool quiet : {false, true}) {
        SCOPED_TRACE(quiet ? "quiet" : "not quiet");
        Record rec;
        rec.c.host = strdup("127.0.0.1");
        rec.c.quiet = quiet;
        tc.setup(rec.c);
        mosquitto* mosq = mosquitto_new(nullptr, true, nullptr);
        ASSERT_NE(mosq, nullptr);
        int before = client_lib_refcount();
        ASSERT_EQ(client_lib_init_run(&rec.c), 0);
        std::string err;
        {
            Capture cap(Capture::Stream::Err);
            EXPECT_EQ(client_connect(mosq, &rec.c), tc.code);
            err = cap.take();
        }
        EXPECT_EQ(err, quiet ? "" : tc.message);
        EXPECT_EQ(client_lib_refcount(), before);
        client_lib_cleanup_run(&rec.c);
        EXPECT_EQ(client_lib_refcount(), before);
        mosquitto_destroy(mosq);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientConnectFailure,
    ::testing::Values(ConnectFailCase{"refused", [](mosq_config& c) { c.port = closed_port(); },
                                      MOSQ_ERR_ERRNO, "Error: Connection refused\n"},
                      ConnectFailCase{"missing_unix_socket",
                                      [](mosq_config& c) {
                                          std::free(c.host);
                                          c.host = strdup("/nonexistent/kro/broker.sock");
                                          c.port = PORT_UNIX;
                                      },
                                      MOSQ_ERR_ERRNO, "Error: No such file or directory\n"},
                      ConnectFailCase{
                          "keepalive_too_short",
                          [](mosq_config& c) {
                              c.port = closed_port();
                              c.keepalive = 1;
                          },
                          MOSQ_ERR_INVAL,
                          "Unable to connect (Invalid function arguments provided.).\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Platform pieces used by the set-up

struct ErrorTextCase {
    int err;
    const char* text;
};

TEST(SysErrorText, GivesTheSystemTextTerminated) {
    const ErrorTextCase cases[] = {
        {ECONNREFUSED, "Connection refused"},
        {ENOENT, "No such file or directory"},
        {EACCES, "Permission denied"},
    };
    for (const auto& tc : cases) {
        char buf[1024];
        std::memset(buf, 'x', sizeof(buf));
        sys_error_text(tc.err, buf, sizeof(buf));
        EXPECT_STREQ(buf, tc.text);
        // A buffer too small still ends in a terminator within its size.
        char small[6];
        std::memset(small, 'x', sizeof(small));
        sys_error_text(tc.err, small, sizeof(small));
        EXPECT_EQ(std::string(small), std::string(tc.text).substr(0, 5));
    }
}

TEST(SysProcessId, IsThisProcess) {
    EXPECT_EQ(sys_process_id(), static_cast<int>(getpid()));
}

} // namespace
