#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>

#include "support/certs.h"

namespace kro::test {

struct BrokerOptions {
    // The one account of the password listener.
    std::string user = "kro-user";
    std::string password = "kro-pass";
    // Lines for the broker's configuration file, before the listeners.
    std::string extraConfig;
};

// A real mosquitto broker (/usr/sbin/mosquitto) on free loopback ports, with four listeners on
// 127.0.0.1:
//   port()      plain TCP, anonymous clients allowed
//   tlsPort()   TLS with the test CA's server certificate (testCerts()), anonymous allowed
//   mtlsPort()  TLS that also requires a client certificate signed by the test CA
//   authPort()  plain TCP, only user()/password() may connect, and not publish to denied/#
// The constructor returns once every port accepts connections. The broker's output goes to
// logPath(); it is printed when the current test has failed by the time the Broker is
// destroyed. Use a Broker from one thread; start it on the test's main thread (the broker is
// killed when the thread that started it ends, so a crashed test leaves nothing behind).
class Broker {
public:
    explicit Broker(BrokerOptions options = {}); // throws std::runtime_error with the log
    ~Broker();                                   // never leaves the broker process behind
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // Starts again on the same ports (for reconnection tests); does nothing while running.
    // Throws std::runtime_error when the broker does not come up.
    void start();
    // SIGTERM, then SIGKILL when it has not ended within a few seconds; always reaped.
    void stop();
    // SIGKILL at once (an abrupt loss of the broker); reaped.
    void kill();

    bool running() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; } // -1 while stopped

    int port() const { return m_ports[0]; }
    int tlsPort() const { return m_ports[1]; }
    int mtlsPort() const { return m_ports[2]; }
    int authPort() const { return m_ports[3]; }
    const std::string& user() const { return m_options.user; }
    const std::string& password() const { return m_options.password; }
    const Certs& certs() const { return testCerts(); }

    const std::string& dir() const { return m_dir; }
    const std::string& logPath() const { return m_logPath; }
    std::string log() const;

private:
    void pickPorts();
    void writeConfig() const;
    bool waitReady(std::chrono::milliseconds timeout, std::string* why);
    void terminate(int signal, std::chrono::milliseconds grace);

    BrokerOptions m_options;
    std::string m_dir, m_confPath, m_logPath, m_passwordPath;
    int m_ports[4] = {0, 0, 0, 0};
    pid_t m_pid = -1;
    bool m_started = false; // came up once: later starts keep the ports
};

} // namespace kro::test
