#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace kro::test {

// One PUBLISH as a cluster node accepted it from a client.
struct Accepted {
    std::string clientId, topic, payload; // raw bytes
    long long atMs = 0;                   // wall clock (system_clock), milliseconds
};

// A broker cluster on loopback: one private redis-server (no persistence) and `nodes` aedes
// brokers (tests/support/cluster/node.js) sharing messages and sessions through it, each on a
// free port of 127.0.0.1. The constructor returns once every node accepts connections; it
// throws std::runtime_error saying what is missing when node, redis-server or the node
// modules (npm ci --prefix tests/support/cluster, done by run.sh) are not there. Start it on
// the test's main thread: its processes are killed when the thread that started them ends.
class Cluster {
public:
    explicit Cluster(int nodes = 3);
    ~Cluster(); // stops every process and removes the folder
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;

    // True when KRO_NO_CLUSTER is set to a non-empty value other than 0: cluster tests skip.
    static bool disabled();

    int size() const { return static_cast<int>(m_procs.size()) - 1; }
    int port(int i) const { return m_procs.at(static_cast<size_t>(i) + 1).port; }
    bool running(int i) const { return m_procs.at(static_cast<size_t>(i) + 1).pid > 0; }
    void kill(int i);    // SIGKILL at once; reaped
    void restart(int i); // starts a stopped node again on its port; its log goes on
    // Every PUBLISH node i accepted from a client, in order, across its restarts. Written
    // before the node acknowledges, so it holds what a killed node took in.
    std::vector<Accepted> received(int i) const;
    // The processes' standard output and error, each under its file's name. The destructor
    // prints it after a failed test; a program without gtest prints it itself.
    std::string output() const;

private:
    struct Process {
        pid_t pid = -1;
        int port = 0;
        std::string out; // its standard output and error
    };
    // Process k (0 the redis-server, k the node k-1): started, and waited for until its port
    // accepts; a first start (mayMove) takes another port when someone else holds this one.
    void start(size_t k, bool mayMove);
    std::vector<std::string> argv(size_t k) const;
    std::string logPath(int node) const;
    void stop(Process& p, int signal);
    void stopAll(int signal);

    std::string m_dir, m_node, m_redis; // m_node, m_redis: the programs
    std::vector<Process> m_procs;
};

} // namespace kro::test
