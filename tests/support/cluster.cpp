#include "support/cluster.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
// The benchmarks build this file without gtest (KRO_CLUSTER_NO_GTEST).
#ifndef KRO_CLUSTER_NO_GTEST
#include <gtest/gtest.h>
#endif
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/subprocess.h"

namespace kro::test {
namespace {

constexpr auto kReadyTimeout = std::chrono::seconds(20);
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr int kStartAttempts = 4;

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

bool accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port);
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

// Distinct free ports: every socket stays bound until all are read.
std::vector<int> freePorts(size_t n) {
    std::vector<int> fds, ports;
    for (size_t i = 0; i < n; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopback(0);
        socklen_t len = sizeof addr;
        if (fd >= 0)
            fds.push_back(fd);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            break;
        ports.push_back(ntohs(addr.sin_port));
    }
    for (int fd : fds)
        close(fd);
    if (ports.size() != n)
        throw std::runtime_error("cannot find a free loopback port");
    return ports;
}

// The node log's %XX escapes back to raw bytes.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

const std::string kProject = std::string(KRO_SOURCE_DIR) + "/tests/support/cluster";

} // namespace

bool Cluster::disabled() {
    const char* v = std::getenv("KRO_NO_CLUSTER");
    return v && *v && std::string(v) != "0";
}

Cluster::Cluster(int nodes) {
    m_node = findProgram("node");
    m_redis = findProgram("redis-server");
    std::string missing;
    if (m_node.empty())
        missing += " node (package nodejs);";
    if (m_redis.empty())
        missing += " redis-server (package redis-server);";
    if (access((kProject + "/node_modules/aedes/package.json").c_str(), R_OK) != 0)
        missing += " the node modules (npm ci --prefix " + kProject + ");";
    if (!missing.empty())
        throw std::runtime_error("the test cluster cannot start, missing:" + missing +
                                 " ./run.sh test sets them all up; KRO_NO_CLUSTER=1 skips the "
                                 "cluster tests");
    m_dir = makeTempDir("kro_cluster_");
    try {
        std::vector<int> ports = freePorts(static_cast<size_t>(nodes) + 1);
        for (size_t k = 0; k < ports.size(); ++k)
            m_procs.push_back(
                {-1, ports[k],
                 m_dir + "/" + (k ? "node" + std::to_string(k - 1) : "redis") + ".out"});
        for (size_t k = 0; k < m_procs.size(); ++k)
            start(k, true); // redis first: the nodes connect to it
    } catch (...) {
        stopAll(SIGKILL);
        removeTree(m_dir);
        throw;
    }
}

Cluster::~Cluster() {
    stopAll(SIGTERM);
#ifndef KRO_CLUSTER_NO_GTEST
    if (::testing::Test::HasFailure())
        std::fputs(output().c_str(), stderr);
#endif
    removeTree(m_dir);
}

std::string Cluster::output() const {
    std::string text;
    for (const Process& p : m_procs)
        text += "---- " + p.out + " ----\n" + readFile(p.out);
    return text + "---- end of the cluster's output ----\n";
}

std::string Cluster::logPath(int i) const {
    return m_dir + "/node" + std::to_string(i) + ".log";
}

std::vector<std::string> Cluster::argv(size_t k) const {
    if (k == 0)
        return {m_redis,  "--port",       std::to_string(m_procs[0].port),
                "--bind", "127.0.0.1",    "--save",
                "",       "--appendonly", "no",
                "--dir",  m_dir};
    const int i = static_cast<int>(k) - 1;
    return {m_node,
            kProject + "/node.js",
            std::to_string(m_procs[k].port),
            std::to_string(m_procs[0].port),
            logPath(i),
            "node" + std::to_string(i)};
}

void Cluster::start(size_t k, bool mayMove) {
    Process& p = m_procs.at(k);
    for (int attempt = 1;; ++attempt) {
        const size_t outStart = readFile(p.out).size();
        p.pid = spawnProgram(argv(k), p.out);
        if (p.pid < 0)
            throw std::runtime_error("cannot start " + argv(k)[0] + ": fork failed");
        const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
        std::string why;
        while (why.empty()) {
            int status = 0;
            if (waitpid(p.pid, &status, WNOHANG) == p.pid) {
                p.pid = -1;
                why = "it ended with status " + std::to_string(status);
            } else if (accepts(p.port)) {
                return;
            } else if (std::chrono::steady_clock::now() >= deadline) {
                why = "its port did not accept connections in time";
                stop(p, SIGKILL);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        const std::string out = readFile(p.out).substr(outStart);
        const bool taken =
            out.find("in use") != std::string::npos || out.find("EADDRINUSE") != std::string::npos;
        if (!taken || attempt == kStartAttempts)
            throw std::runtime_error(argv(k)[0] + " did not come up on port " +
                                     std::to_string(p.port) + " (" + why + "); its output:\n" +
                                     out);
        // Someone took the port between our look and its bind: a first start moves, a
        // restart keeps its port (clients come back to it) and waits for it.
        if (mayMove)
            p.port = freePorts(1)[0];
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}

void Cluster::stop(Process& p, int signal) {
    if (p.pid <= 0)
        return;
    ::kill(p.pid, signal);
    if (!waitExit(p.pid, kStopGrace)) {
        ::kill(p.pid, SIGKILL);
        waitExit(p.pid, kStopGrace);
    }
    p.pid = -1;
}

void Cluster::stopAll(int signal) {
    for (size_t k = m_procs.size(); k-- > 0;) // the nodes before their redis
        stop(m_procs[k], signal);
}

void Cluster::kill(int i) {
    stop(m_procs.at(static_cast<size_t>(i) + 1), SIGKILL);
}

void Cluster::restart(int i) {
    if (!running(i))
        start(static_cast<size_t>(i) + 1, false);
}

std::vector<Accepted> Cluster::received(int i) const {
    std::istringstream log(readFile(logPath(i)));
    std::vector<Accepted> out;
    std::string line;
    // A line cut short by a kill (no newline yet) is not a message the node accepted.
    while (std::getline(log, line) && !log.eof()) {
        std::string f[4];
        std::istringstream fields(line);
        for (std::string& s : f)
            std::getline(fields, s, '\t');
        out.push_back(
            {unescape(f[0]), unescape(f[1]), unescape(f[2]), f[3].empty() ? 0 : std::stoll(f[3])});
    }
    return out;
}

} // namespace kro::test
