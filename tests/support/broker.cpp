#include "support/broker.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/subprocess.h"

namespace kro::test {
namespace {

const char* const kBrokerProgram = "/usr/sbin/mosquitto";
constexpr auto kReadyTimeout = std::chrono::seconds(10);
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr int kStartAttempts = 5;

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

bool accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr = loopback(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

std::string currentUser() {
    passwd* pw = getpwuid(geteuid());
    return pw && pw->pw_name ? pw->pw_name : "";
}

} // namespace

Broker::Broker(BrokerOptions options) : m_options(std::move(options)) {
    if (access(kBrokerProgram, X_OK) != 0)
        throw std::runtime_error(std::string("the broker program ") + kBrokerProgram +
                                 " is not installed (package mosquitto)");
    // The password tool comes with the broker package; it writes the hashed form the broker
    // expects.
    std::string passwd = findProgram("mosquitto_passwd");
    if (passwd.empty())
        passwd = findProgram("/usr/bin/mosquitto_passwd");
    if (passwd.empty())
        throw std::runtime_error("mosquitto_passwd is not installed (package mosquitto)");
    if (m_options.user.empty() || m_options.user.find(':') != std::string::npos)
        throw std::runtime_error("the broker account needs a user name without ':'");

    testCerts(); // before the folder exists, so a failure leaves nothing behind
    m_dir = makeTempDir("kro_broker_");
    m_confPath = m_dir + "/mosquitto.conf";
    m_logPath = m_dir + "/broker.log";
    m_passwordPath = m_dir + "/passwords";
    try {
        if (runProgram({passwd, "-c", "-b", m_passwordPath, m_options.user, m_options.password},
                       m_logPath) != 0)
            throw std::runtime_error("mosquitto_passwd failed:\n" + log());
        pickPorts();
        start();
    } catch (...) {
        removeTree(m_dir);
        throw;
    }
}

Broker::~Broker() {
    terminate(SIGTERM, kStopGrace);
    if (::testing::Test::HasFailure())
        std::fprintf(stderr, "---- broker log (%s) ----\n%s---- end of broker log ----\n",
                     m_logPath.c_str(), log().c_str());
    removeTree(m_dir);
}

std::string Broker::log() const {
    return readFile(m_logPath);
}

void Broker::pickPorts() {
    // All four sockets stay bound until every port is read, so the ports differ. Another
    // process may still take one before the broker binds it; start() then picks again.
    int fds[4];
    for (int i = 0; i < 4; ++i) {
        fds[i] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopback(0);
        socklen_t len = sizeof addr;
        if (fds[i] < 0 || bind(fds[i], reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            getsockname(fds[i], reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            for (int j = 0; j <= i; ++j)
                if (fds[j] >= 0)
                    close(fds[j]);
            throw std::runtime_error("cannot find a free loopback port");
        }
        m_ports[i] = ntohs(addr.sin_port);
    }
    for (int fd : fds)
        close(fd);
}

void Broker::writeConfig() const {
    const Certs& c = testCerts();
    std::ostringstream conf;
    conf << "per_listener_settings true\n"
         << "persistence false\n";
    // As root the broker would switch to the "mosquitto" user, which cannot read our private
    // folder; naming the current user keeps it as it is.
    if (!currentUser().empty())
        conf << "user " << currentUser() << "\n";
    // Its own log file is written line by line (its standard output, a file here, is
    // flushed only now and then); the output before the log starts goes to the same file.
    conf << "log_dest file " << m_logPath << "\n"
         << "log_type all\n"
         << "log_timestamp_format %H:%M:%S\n"
         << "connection_messages true\n";
    auto tls = [&](bool requireCert) {
        conf << "cafile " << c.caCert << "\n"
             << "certfile " << c.serverCert << "\n"
             << "keyfile " << c.serverKey << "\n"
             << "require_certificate " << (requireCert ? "true" : "false") << "\n";
    };
    conf << m_options.extraConfig;
    conf << "\nlistener " << port() << " 127.0.0.1\nallow_anonymous true\n";
    conf << "\nlistener " << tlsPort() << " 127.0.0.1\nallow_anonymous true\n";
    tls(false);
    conf << "\nlistener " << mtlsPort() << " 127.0.0.1\nallow_anonymous true\n";
    tls(true);
    conf << "\nlistener " << authPort() << " 127.0.0.1\nallow_anonymous false\n"
         << "password_file " << m_passwordPath << "\n"
         << "acl_file " << m_dir << "/acl\n";
    // The account may use every topic but denied/#: a refusal on demand.
    writeFile(m_dir + "/acl",
              "user " + m_options.user + "\ntopic readwrite #\ntopic deny denied/#\n");
    writeFile(m_confPath, conf.str());
}

void Broker::start() {
    if (running())
        return;
    for (int attempt = 1;; ++attempt) {
        writeConfig();
        const size_t logStart = log().size();
        m_pid = spawnProgram({kBrokerProgram, "-c", m_confPath}, m_logPath);
        if (m_pid < 0)
            throw std::runtime_error("cannot start the broker: fork failed");
        std::string why;
        if (waitReady(kReadyTimeout, &why)) {
            m_started = true;
            return;
        }
        terminate(SIGKILL, kStopGrace);
        const std::string output = log().substr(logStart);
        const bool portTaken = output.find("Address already in use") != std::string::npos;
        if (!portTaken || attempt == kStartAttempts)
            throw std::runtime_error("the broker did not come up (" + why + "); its output:\n" +
                                     output);
        // A restart keeps its ports (clients reconnect to them); a port can be held for a moment
        // by the previous run. A first start simply takes other ports.
        if (m_started)
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        else
            pickPorts();
    }
}

bool Broker::waitReady(std::chrono::milliseconds timeout, std::string* why) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            *why = WIFEXITED(status) ? "it exited with code " + std::to_string(WEXITSTATUS(status))
                                     : "it ended by signal " + std::to_string(WTERMSIG(status));
            return false;
        }
        bool all = true;
        for (int p : m_ports)
            all = all && accepts(p);
        if (all)
            return true;
        if (std::chrono::steady_clock::now() >= deadline) {
            *why = "its ports did not accept connections in time";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void Broker::terminate(int signal, std::chrono::milliseconds grace) {
    if (m_pid <= 0)
        return;
    ::kill(m_pid, signal);
    if (!waitExit(m_pid, grace)) {
        ::kill(m_pid, SIGKILL);
        waitExit(m_pid, grace);
    }
    m_pid = -1;
}

void Broker::stop() {
    terminate(SIGTERM, kStopGrace);
}

void Broker::kill() {
    terminate(SIGKILL, kStopGrace);
}

} // namespace kro::test
