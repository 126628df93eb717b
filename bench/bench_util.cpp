#include "bench_util.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kro::bench {

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepMs(double ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    rank = std::clamp<size_t>(rank, 1, values.size());
    return values[rank - 1];
}

Options::Options(int argc, char** argv, const std::vector<std::string>& known) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name.rfind("--", 0) != 0 ||
            std::find(known.begin(), known.end(), name.substr(2)) == known.end() || i + 1 >= argc) {
            std::string list;
            for (const std::string& k : known)
                list += " [--" + k + " VALUE]";
            std::fprintf(stderr, "%s: unknown option or missing value: %s\nusage: %s%s\n", argv[0],
                         name.c_str(), argv[0], list.c_str());
            std::exit(2);
        }
        m_values.emplace_back(name.substr(2), argv[++i]);
    }
}

bool Options::has(const std::string& name) const {
    for (const auto& [k, v] : m_values)
        if (k == name)
            return true;
    return false;
}

std::string Options::text(const std::string& name, const std::string& fallback) const {
    for (const auto& [k, v] : m_values)
        if (k == name)
            return v;
    return fallback;
}

long Options::number(const std::string& name, long fallback) const {
    if (!has(name))
        return fallback;
    const std::string v = text(name, "");
    char* end = nullptr;
    long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end) {
        std::fprintf(stderr, "--%s needs a whole number, not \"%s\"\n", name.c_str(), v.c_str());
        std::exit(2);
    }
    return n;
}

namespace {

FILE* g_report = nullptr;

} // namespace

void divertStdout() {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved < 0 || null < 0)
        throw std::runtime_error("cannot divert standard output");
    fcntl(saved, F_SETFD, FD_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
    g_report = fdopen(saved, "w");
    if (g_report)
        setvbuf(g_report, nullptr, _IOLBF, 0);
}

FILE* report() {
    return g_report ? g_report : stdout;
}

void printRatio(const std::string& what, double subject, double reference, const std::string& unit,
                const std::string& target, bool met) {
    const double ratio = reference != 0 ? subject / reference : 0;
    std::fprintf(report(), "  %-34s %12.2f %-8s ref %12.2f   ratio %5.2f", what.c_str(), subject,
                 unit.c_str(), reference, ratio);
    if (!target.empty())
        std::fprintf(report(), "   target %-10s %s", target.c_str(), met ? "met" : "MISSED");
    std::fprintf(report(), "\n");
    std::fflush(report());
}

void printFigure(const std::string& what, double value, const std::string& unit) {
    std::fprintf(report(), "  %-34s %12.2f %s\n", what.c_str(), value, unit.c_str());
    std::fflush(report());
}

void printNote(const std::string& text) {
    std::fprintf(report(), "  %s\n", text.c_str());
    std::fflush(report());
}

void printHeading(const std::string& title) {
    std::fprintf(report(), "\n== %s (%u cores)\n", title.c_str(),
                 std::thread::hardware_concurrency());
    std::fflush(report());
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const std::string target = out.empty() ? "/dev/null" : out;
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, target.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

bool Exit::ok() const {
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Exit waitChild(pid_t pid, std::chrono::milliseconds timeout) {
    Exit e;
    const int64_t deadline = nowNs() + static_cast<int64_t>(timeout.count()) * 1000000;
    rusage ru{};
    int status = 0;
    // The end is seen the moment it happens through a process descriptor;
    // polling instead would add its step to every time measured.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        const pid_t r = wait4(pid, &status, WNOHANG, &ru);
        if (r == pid) {
            e.ended = true;
            break;
        }
        if (r < 0 && errno != EINTR)
            break;
        const int64_t left = deadline - nowNs();
        if (left <= 0) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &ru);
            break;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::min<int64_t>(left / 1000000 + 1, 1000)));
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    e.status = status;
    if (!e.ended)
        return e;
    e.endNs = nowNs();
    e.cpuUs = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 +
              static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
    return e;
}

double processCpuUs(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold spaces; the fields after it are plain.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields 3 to 13 come before utime (14) and stime (15).
    for (int i = 3; i <= 13; ++i)
        in >> field;
    in >> utime >> stime;
    return static_cast<double>(utime + stime) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long residentKb(pid_t pid) {
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string makeTempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary directory: " +
                                 std::string(std::strerror(errno)));
    return pattern;
}

void removeTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               double stepMs) {
    const int64_t deadline = nowNs() + static_cast<int64_t>(timeout.count()) * 1000000;
    while (!done()) {
        if (nowNs() > deadline)
            return false;
        sleepMs(stepMs);
    }
    return true;
}

bool portAccepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

namespace {

// A port that was free a moment ago (the kernel's choice for port 0).
int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

} // namespace

PrivateBroker::PrivateBroker(const std::vector<std::string>& extra)
    : m_dir(makeTempDir("kro-bench-broker")) {
    const passwd* pw = getpwuid(geteuid());
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freePort();
        std::string conf = "listener " + std::to_string(m_port) + " 127.0.0.1\n" +
                           "allow_anonymous true\n" + "log_dest file " + m_dir + "/broker.log\n";
        // Run as root the broker would switch to its own user and lose the log.
        if (pw && pw->pw_name)
            conf += std::string("user ") + pw->pw_name + "\n";
        for (const std::string& line : extra)
            conf += line + "\n";
        writeFile(m_dir + "/broker.conf", conf);
        if (launch())
            return;
    }
    const std::string log = readFile(m_dir + "/broker.log");
    removeTree(m_dir);
    throw std::runtime_error("the broker did not start: " + log);
}

bool PrivateBroker::launch() {
    m_pid = spawn({"/usr/sbin/mosquitto", "-c", m_dir + "/broker.conf"});
    const bool up = waitUntil(
        [this] {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return true;
            }
            return portAccepts(m_port);
        },
        std::chrono::seconds(10), 20);
    if (up && m_pid > 0)
        return true;
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    return false;
}

void PrivateBroker::stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        if (!waitChild(m_pid, std::chrono::seconds(5)).ended)
            std::fprintf(stderr, "broker %d did not end on SIGTERM; killed\n", m_pid);
        m_pid = -1;
    }
}

void PrivateBroker::start() {
    if (m_pid <= 0 && !launch())
        throw std::runtime_error("the broker did not start again: " + log());
}

PrivateBroker::~PrivateBroker() {
    stop();
    removeTree(m_dir);
}

bool PrivateBroker::waitSubscribed(const std::string& clientId, const std::string& topic,
                                   std::chrono::milliseconds timeout) const {
    // The broker logs "<time>: <client id> <qos> <topic>" for each subscription.
    return waitUntil(
        [&] {
            const std::string text = log();
            for (const char* qos : {" 0 ", " 1 ", " 2 "})
                if (text.find(": " + clientId + qos + topic + "\n") != std::string::npos)
                    return true;
            return false;
        },
        timeout, 20);
}

} // namespace kro::bench
