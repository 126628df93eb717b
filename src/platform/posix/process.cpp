#include "platform/process.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

#include "platform/cmdline.h"

extern char** environ;

namespace {

// Exit code as the parent sees it; a signal counts the way shells report it.
int exitCodeOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

int spawnWithNullStreams(std::vector<std::string>& args, pid_t* pid) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    int rc = posix_spawn_file_actions_init(&actions);
    if (rc != 0)
        return rc;
    rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
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

} // namespace

std::string execoo(const char* cmd, int* exitCode) {
    if (exitCode)
        *exitCode = -1;
    std::vector<std::string> args = splitCommandLine(cmd ? cmd : "");
    pid_t pid = 0;
    int rc = args.empty() || args[0].empty() ? ENOENT : spawnWithNullStreams(args, &pid);
    if (rc != 0) {
        std::fprintf(stderr, "CreateProcess failed with error code: %d\n", rc);
        std::fflush(stderr);
        return "";
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == pid && exitCode)
        *exitCode = exitCodeOf(status);
    return "success";
}
