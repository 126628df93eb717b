#include "platform/process.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/cmdline.h"

extern char** environ;

namespace {

using steady = std::chrono::steady_clock;

// How often a watched run looks at its stop request and its limit.
constexpr std::chrono::milliseconds kWatchStep{50};

// Exit code as the parent sees it; a signal counts the way shells report it.
int exitCodeOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// An unlinked temporary file holding `data`, read from its start; -1 with
// errno set when it cannot be made.
int inputFile(const std::string& data) {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/kro-pub-XXXXXX";
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return -1;
    // Nobody else ever needs the name, and nothing is left behind.
    unlink(path.c_str());
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            close(fd);
            errno = err;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    if (lseek(fd, 0, SEEK_SET) < 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Standard input from `inputFd` (the null device when -1), output and error to
// the null device.
int spawn(std::vector<std::string>& args, int inputFd, pid_t* pid) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    int rc = posix_spawn_file_actions_init(&actions);
    if (rc != 0)
        return rc;
    rc = inputFd >= 0 ? posix_spawn_file_actions_adddup2(&actions, inputFd, 0)
                      : posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0)
        rc = posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (rc == 0)
        rc = posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // posix_spawn, not posix_spawnp: like CreateProcess, a relative program
    // path is taken from the current directory and PATH is not searched.
    if (rc == 0)
        rc = posix_spawn(pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

bool reap(pid_t pid, int options, int* status) {
    pid_t waited;
    do {
        waited = waitpid(pid, status, options);
    } while (waited < 0 && errno == EINTR);
    return waited == pid;
}

// A descriptor that becomes readable when the process ends, so that a watched
// run sees the end the moment it happens; -1 where the system has none.
int processHandle(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Why a watched process must be ended now, if it must.
class Watch {
public:
    explicit Watch(const ProcessOptions& options) : m_options(options), m_started(steady::now()) {}

    // The end to force now, or Exited while the process may go on; `step`
    // is shortened to the next moment that matters.
    ProcessEnd due(std::chrono::milliseconds* step) {
        const steady::time_point now = steady::now();
        if (m_options.limit.count() > 0 && !later(m_started + m_options.limit, now, step))
            return ProcessEnd::TimedOut;
        if (m_stopSeen == steady::time_point() && m_options.stopRequested &&
            m_options.stopRequested())
            m_stopSeen = now;
        if (m_stopSeen != steady::time_point() &&
            !later(m_stopSeen + m_options.stopGrace, now, step))
            return ProcessEnd::Stopped;
        return ProcessEnd::Exited;
    }

private:
    // True while `at` is still ahead, with `step` cut to reach it.
    static bool later(steady::time_point at, steady::time_point now,
                      std::chrono::milliseconds* step) {
        if (at <= now)
            return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - now);
        *step = std::min(*step, left);
        return true;
    }

    const ProcessOptions& m_options;
    steady::time_point m_started;
    steady::time_point m_stopSeen;
};

// Waits for the process in steps, ending it when asked to or at the limit.
ProcessEnd watch(pid_t pid, const ProcessOptions& options, int* status) {
    const int handle = processHandle(pid);
    Watch watch(options);
    ProcessEnd end = ProcessEnd::Exited;
    for (;;) {
        std::chrono::milliseconds step = kWatchStep;
        end = watch.due(&step);
        if (end != ProcessEnd::Exited)
            break;
        if (handle >= 0) {
            pollfd pfd{handle, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(step.count())) > 0)
                break;
        } else {
            if (reap(pid, WNOHANG, status))
                return ProcessEnd::Exited;
            std::this_thread::sleep_for(std::min(step, std::chrono::milliseconds(2)));
        }
    }
    if (end != ProcessEnd::Exited)
        kill(pid, SIGKILL);
    reap(pid, 0, status);
    if (handle >= 0)
        close(handle);
    return end;
}

} // namespace

ProcessEnd runProcess(const char* cmd, const ProcessOptions& options, int* exitCode) {
    if (exitCode)
        *exitCode = -1;
    std::vector<std::string> args = splitCommandLine(cmd ? cmd : "");
    int inputFd = -1;
    int rc = 0;
    if (args.empty() || args[0].empty())
        rc = ENOENT;
    else if (options.input && (inputFd = inputFile(*options.input)) < 0)
        rc = errno;
    pid_t pid = 0;
    if (rc == 0)
        rc = spawn(args, inputFd, &pid);
    if (inputFd >= 0)
        close(inputFd);
    if (rc != 0) {
        std::fprintf(stderr, "CreateProcess failed with error code: %d\n", rc);
        std::fflush(stderr);
        return ProcessEnd::NotStarted;
    }
    int status = 0;
    ProcessEnd end = ProcessEnd::Exited;
    if (options.limit.count() > 0 || options.stopRequested) {
        end = watch(pid, options, &status);
    } else if (!reap(pid, 0, &status)) {
        return end;
    }
    if (end == ProcessEnd::Exited && exitCode)
        *exitCode = exitCodeOf(status);
    return end;
}

std::string execoo(const char* cmd, int* exitCode) {
    return runProcess(cmd, ProcessOptions{}, exitCode) == ProcessEnd::NotStarted ? "" : "success";
}

std::size_t maxCommandLineLength() {
    // Linux takes no single argument of 128 KiB or more (terminator included);
    // no argument is longer than the line it comes from.
    return 128 * 1024 - 1;
}
