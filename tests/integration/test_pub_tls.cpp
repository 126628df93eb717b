// The publisher over TLS: server verification by the CA, client certificates,
// host name checks and --insecure.
#include <gtest/gtest.h>

#include <functional>

#include "client/lib_init.h"
#include "support/broker.h"
#include "support/mqtt_probe.h"
#include "test_pub_support.h"

namespace {

using namespace std::chrono_literals;
using kro::test::Broker;
using kro::test::Probe;
using kro::test::publishLines;
using kro::test::PubRun;
using kro::test::runPub;

constexpr auto kWait = 10s;

struct TlsCase {
    const char* name;
    // Everything but the topic and the message.
    std::function<std::vector<std::string>(const Broker&)> args;
    bool succeeds;
    bool quiet = false;
};
void PrintTo(const TlsCase& c, std::ostream* os) {
    *os << c.name;
}

class PubTls : public ::testing::TestWithParam<TlsCase> {};

TEST_P(PubTls, ConnectsOnlyWhenTheServerIsTrusted) {
    const TlsCase& tc = GetParam();
    Broker broker;
    const std::string topic = std::string("kro/tls/") + tc.name;
    Probe sub({kro::test::plainConnection(broker.port()), {topic}, 1});
    ASSERT_TRUE(sub.waitConnected(kWait));

    std::vector<std::string> args = tc.args(broker);
    for (const char* a : {"-t", topic.c_str(), "-q", "1", "-m", "secret"})
        args.push_back(a);
    PubRun run = runPub(args);
    if (tc.succeeds) {
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(run.out, publishLines(1, 1));
        EXPECT_EQ(run.err, "");
        ASSERT_TRUE(sub.waitFor(1, kWait));
        EXPECT_EQ(sub.messages()[0].payload, "secret");
    } else {
        EXPECT_EQ(run.out, "");
        // The handshake fails either inside the connection step or in the
        // first loop that continues it; both say it was TLS.
        if (run.code == 1) {
            EXPECT_EQ(run.err, tc.quiet ? "" : "Unable to connect (A TLS error occurred.).\n");
        } else {
            EXPECT_EQ(run.code, MOSQ_ERR_TLS);
            EXPECT_EQ(run.err, tc.quiet ? "" : "Error: A TLS error occurred.\n");
        }
        EXPECT_FALSE(sub.waitFor(1, 300ms));
    }
    EXPECT_EQ(client_lib_refcount(), 0);
}

std::vector<std::string> tlsArgs(int port, const std::string& host, const std::string& ca) {
    return {"-h", host, "-p", std::to_string(port), "--cafile", ca};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PubTls,
    ::testing::Values(
        TlsCase{"ca_file_only",
                [](const Broker& b) { return tlsArgs(b.tlsPort(), "127.0.0.1", b.certs().caCert); },
                true},
        TlsCase{"ca_file_by_name",
                [](const Broker& b) { return tlsArgs(b.tlsPort(), "localhost", b.certs().caCert); },
                true},
        TlsCase{"ca_file_v5",
                [](const Broker& b) {
                    auto a = tlsArgs(b.tlsPort(), "127.0.0.1", b.certs().caCert);
                    a.insert(a.end(), {"-V", "5"});
                    return a;
                },
                true},
        TlsCase{
            "client_certificate",
            [](const Broker& b) {
                auto a = tlsArgs(b.mtlsPort(), "127.0.0.1", b.certs().caCert);
                a.insert(a.end(), {"--cert", b.certs().clientCert, "--key", b.certs().clientKey});
                return a;
            },
            true},
        TlsCase{"server_not_vouched_for",
                [](const Broker& b) {
                    return tlsArgs(b.tlsPort(), "127.0.0.1", b.certs().otherCaCert);
                },
                false},
        // "127.1" reaches 127.0.0.1 but is not a name the certificate holds.
        TlsCase{"host_name_mismatch",
                [](const Broker& b) { return tlsArgs(b.tlsPort(), "127.1", b.certs().caCert); },
                false},
        TlsCase{"insecure_skips_the_name",
                [](const Broker& b) {
                    auto a = tlsArgs(b.tlsPort(), "127.1", b.certs().caCert);
                    a.push_back("--insecure");
                    return a;
                },
                true},
        TlsCase{"insecure_still_checks_the_ca",
                [](const Broker& b) {
                    auto a = tlsArgs(b.tlsPort(), "127.0.0.1", b.certs().otherCaCert);
                    a.push_back("--insecure");
                    return a;
                },
                false},
        TlsCase{"quiet_failure",
                [](const Broker& b) {
                    auto a = tlsArgs(b.tlsPort(), "127.0.0.1", b.certs().otherCaCert);
                    a.push_back("--quiet");
                    return a;
                },
                false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PubTlsClientCertificate, RequiredButNotGivenFails) {
    Broker broker;
    PubRun run = runPub({"-h", "127.0.0.1", "-p", std::to_string(broker.mtlsPort()), "--cafile",
                         broker.certs().caCert, "-t", "kro/tls/nocert", "-m", "x"});
    EXPECT_NE(run.code, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(run.err.empty());
    EXPECT_EQ(client_lib_refcount(), 0);
}

} // namespace
