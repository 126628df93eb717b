#pragma once

#include <string>

namespace kro::test {

// Paths of the certificates and keys (PEM, EC prime256v1) used by TLS tests.
struct Certs {
    std::string dir;         // the folder holding them all
    std::string caCert;      // test CA, vouches for server and client
    std::string caKey;       //
    std::string serverCert;  // CN and subjectAltName localhost, IP 127.0.0.1; signed by the test CA
    std::string serverKey;   //
    std::string clientCert;  // CN "kro test client"; signed by the test CA
    std::string clientKey;   //
    std::string otherCaCert; // an unrelated CA: vouches for nothing the broker presents
    std::string otherCaKey;  //
    std::string strangerCert; // client certificate signed by the unrelated CA
    std::string strangerKey;  //
};

// Generated with the openssl program on first use, once per process, into a private temporary
// folder that is removed when the process exits. Throws std::runtime_error (with openssl's
// output) when generation fails. Thread-safe.
const Certs& testCerts();

} // namespace kro::test
