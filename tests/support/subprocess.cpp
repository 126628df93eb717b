#include "support/subprocess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kro::test {

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

pid_t spawnProgram(const std::vector<std::string>& argv, const std::string& logPath) {
    if (argv.empty())
        return -1;
    // Everything the child needs is prepared here: between fork and exec only
    // async-signal-safe calls are allowed (other threads may hold locks).
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();

    pid_t pid = fork();
    if (pid != 0)
        return pid;

    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    int in = open("/dev/null", O_RDONLY);
    int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (in < 0 || out < 0)
        _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    if (in > 2)
        close(in);
    if (out > 2)
        close(out);
    execv(args[0], args.data());
    _exit(127);
}

bool waitExit(pid_t pid, std::chrono::milliseconds timeout, int* status) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            if (status)
                *status = st;
            return true;
        }
        if (r < 0 && errno != EINTR)
            return true; // not our child any more: nothing left to wait for, status unknown
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int runProgram(const std::vector<std::string>& argv, const std::string& logPath,
               std::chrono::milliseconds timeout) {
    pid_t pid = spawnProgram(argv, logPath);
    if (pid < 0)
        return -1;
    int status = -1; // stays so (not an exit) when someone else reaped the child
    if (!waitExit(pid, timeout, &status)) {
        ::kill(pid, SIGKILL);
        waitExit(pid, std::chrono::seconds(5));
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

std::string makeTempDir(const std::string& prefix) {
    std::string templ = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed for " + templ);
    return templ;
}

void removeTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

} // namespace kro::test
