#include "support/certs.h"

#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "support/subprocess.h"

namespace kro::test {
namespace {

// Our own openssl configuration, so the result does not depend on the system's defaults.
const char* const kOpensslConf = R"([req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
authorityKeyIdentifier = keyid
[client]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = clientAuth
authorityKeyIdentifier = keyid
)";

std::string g_dir; // removed at exit; set once under the generation lock

void removeCertDir() {
    removeTree(g_dir);
}

class Generator {
public:
    explicit Generator(const std::string& dir)
        : m_dir(dir), m_conf(dir + "/openssl.cnf"), m_log(dir + "/openssl.log") {
        m_openssl = findProgram("openssl");
        if (m_openssl.empty())
            throw std::runtime_error("the openssl program is not installed");
        writeFile(m_conf, kOpensslConf);
    }

    std::string path(const std::string& name) const { return m_dir + "/" + name; }

    void selfSignedCa(const std::string& name, const std::string& cn) {
        run({m_openssl,
             "req",
             "-x509",
             "-new",
             "-newkey",
             "ec",
             "-pkeyopt",
             "ec_paramgen_curve:prime256v1",
             "-nodes",
             "-keyout",
             path(name + ".key"),
             "-out",
             path(name + ".crt"),
             "-days",
             "3650",
             "-subj",
             "/CN=" + cn,
             "-config",
             m_conf,
             "-extensions",
             "ca"});
    }

    void leaf(const std::string& name, const std::string& cn, const std::string& ca,
              const std::string& profile) {
        run({m_openssl, "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", path(name + ".key"), "-out", path(name + ".csr"), "-subj",
             "/CN=" + cn, "-config", m_conf});
        run({m_openssl,
             "x509",
             "-req",
             "-in",
             path(name + ".csr"),
             "-CA",
             path(ca + ".crt"),
             "-CAkey",
             path(ca + ".key"),
             "-set_serial",
             std::to_string(++m_serial),
             "-days",
             "3650",
             "-sha256",
             "-out",
             path(name + ".crt"),
             "-extfile",
             m_conf,
             "-extensions",
             profile});
    }

private:
    void run(const std::vector<std::string>& argv) {
        if (runProgram(argv, m_log) != 0)
            throw std::runtime_error("certificate generation failed: " + argv[1] + "\n" +
                                     readFile(m_log));
    }

    std::string m_dir, m_conf, m_log, m_openssl;
    int m_serial = 1;
};

Certs generateInto(const std::string& dir) {
    Generator gen(dir);
    gen.selfSignedCa("ca", "kro test CA");
    gen.leaf("server", "localhost", "ca", "server");
    gen.leaf("client", "kro test client", "ca", "client");
    gen.selfSignedCa("other-ca", "kro unrelated CA");
    gen.leaf("stranger", "kro stranger", "other-ca", "client");

    Certs c;
    c.dir = dir;
    c.caCert = gen.path("ca.crt");
    c.caKey = gen.path("ca.key");
    c.serverCert = gen.path("server.crt");
    c.serverKey = gen.path("server.key");
    c.clientCert = gen.path("client.crt");
    c.clientKey = gen.path("client.key");
    c.otherCaCert = gen.path("other-ca.crt");
    c.otherCaKey = gen.path("other-ca.key");
    c.strangerCert = gen.path("stranger.crt");
    c.strangerKey = gen.path("stranger.key");
    return c;
}

Certs generate() {
    const std::string dir = makeTempDir("kro_certs_");
    try {
        Certs c = generateInto(dir);
        g_dir = dir;
        std::atexit(removeCertDir);
        return c;
    } catch (...) {
        removeTree(dir);
        throw;
    }
}

} // namespace

const Certs& testCerts() {
    // A failed generation throws out of the initialiser, so the next caller tries again.
    static const Certs certs = generate();
    return certs;
}

} // namespace kro::test
