// Helpers shared by the benchmark programs: clocks and statistics, child
// processes and their CPU time and memory, a private broker, and the report
// lines every benchmark prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace kro::bench {

// CLOCK_MONOTONIC in nanoseconds: one clock for every process on the machine,
// so a time stamp taken in one process can be compared in another.
int64_t nowNs();
void sleepMs(double ms);

double median(std::vector<double> values);
// The p-th percentile (0 to 100) by the nearest-rank rule; 0 when empty.
double percentile(std::vector<double> values, double p);

// Command-line options of the form "--name value"; unknown names are refused.
class Options {
public:
    Options(int argc, char** argv, const std::vector<std::string>& known);
    bool has(const std::string& name) const;
    std::string text(const std::string& name, const std::string& fallback) const;
    long number(const std::string& name, long fallback) const;

private:
    std::vector<std::pair<std::string, std::string>> m_values;
};

// The drivers print every command line and state on standard output. The
// report goes to the standard output the program was started with; call this
// before loading the plug-in and from then on standard output (file
// descriptor 1) leads to /dev/null.
void divertStdout();
// Where figures are printed: the original standard output.
FILE* report();

// One report line: what was measured, the subject's and the reference's
// figure, their ratio (subject / reference), the target and whether it was
// met. An empty target prints no verdict.
void printRatio(const std::string& what, double subject, double reference, const std::string& unit,
                const std::string& target = "", bool met = true);
// A figure with no reference of its own.
void printFigure(const std::string& what, double value, const std::string& unit);
void printNote(const std::string& text);
// The heading of a benchmark, with the machine it runs on.
void printHeading(const std::string& title);

// Starts argv[0] directly (no shell, no PATH search), standard input from
// /dev/null and standard output and error to `out` (/dev/null when empty).
// Throws std::runtime_error when it cannot be started.
pid_t spawn(const std::vector<std::string>& argv, const std::string& out = "");

struct Exit {
    bool ended = false; // false: still running at the deadline (then killed)
    int status = 0;     // raw wait status
    int64_t endNs = 0;  // when the end was seen (within a millisecond)
    double cpuUs = 0;   // user + system time of the whole process life
    bool ok() const;    // ended with exit code 0
};
// Waits up to `timeout` for the child to end; kills it (SIGKILL) past that.
Exit waitChild(pid_t pid, std::chrono::milliseconds timeout);

// User + system CPU time a live process has used so far, from /proc (clock
// ticks, so a resolution of 10 ms on most systems).
double processCpuUs(pid_t pid);
// Resident size in KiB (VmRSS of /proc/<pid>/status); -1 when unknown.
long residentKb(pid_t pid);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
std::string makeTempDir(const std::string& prefix);
void removeTree(const std::string& path);

// Polls `done` every `stepMs` for at most `timeout`.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               double stepMs = 5);

// A mosquitto broker of the benchmark's own on a free loopback port, with its
// log in a private directory. `extra` lines are appended to the
// configuration. Stopped (and reaped) by the destructor.
class PrivateBroker {
public:
    explicit PrivateBroker(const std::vector<std::string>& extra = {});
    ~PrivateBroker();
    PrivateBroker(const PrivateBroker&) = delete;
    PrivateBroker& operator=(const PrivateBroker&) = delete;

    int port() const { return m_port; }
    std::string log() const { return readFile(m_dir + "/broker.log"); }
    // Ends the broker (SIGTERM, so that a persistent one saves its state) and
    // starts it again with the same configuration and port.
    void stop();
    void start(); // throws std::runtime_error when it does not come up
    // True once the broker has logged a subscription of `clientId` to
    // `topic` (needs "log_type subscribe" among the extra lines).
    bool waitSubscribed(const std::string& clientId, const std::string& topic,
                        std::chrono::milliseconds timeout) const;

private:
    bool launch();

    std::string m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
};

// True when a TCP connection to 127.0.0.1:port is accepted.
bool portAccepts(int port);

} // namespace kro::bench
