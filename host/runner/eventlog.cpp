#include "eventlog.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace kro::runner {

namespace {

std::string stamp() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm tm{};
    localtime_r(&tv.tv_sec, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "[kro-host %02d:%02d:%02d.%03d] ", tm.tm_hour, tm.tm_min,
                  tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
    return buf;
}

std::mutex g_mutex;
int g_out = 1;       // the real standard output
int g_captured = -1; // read end of the pipe that is standard output while captured
std::string g_partial;
std::atomic<bool> g_stopReader{false};
std::thread g_reader;

void writeAll(const std::string& s) {
    for (std::size_t done = 0; done < s.size();) {
        ssize_t n = write(g_out, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // standard output gone: nothing to tell anyone
        done += static_cast<std::size_t>(n);
    }
}

// Prints the complete lines the drivers have written so far (all of it when
// `rest`). Called with g_mutex held.
void drainLocked(bool rest) {
    if (g_captured < 0)
        return;
    char buf[4096];
    for (;;) {
        ssize_t n = read(g_captured, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        g_partial.append(buf, static_cast<std::size_t>(n));
    }
    std::string out;
    std::size_t begin = 0;
    for (std::size_t nl; (nl = g_partial.find('\n', begin)) != std::string::npos; begin = nl + 1)
        out += stamp() + escapeControls(g_partial.substr(begin, nl - begin)) + "\n";
    g_partial.erase(0, begin);
    if (rest && !g_partial.empty()) {
        out += stamp() + escapeControls(g_partial) + "\n";
        g_partial.clear();
    }
    writeAll(out);
}

} // namespace

namespace eventlog {

void print(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    // What a driver printed before the write that led here comes first.
    drainLocked(false);
    std::string out;
    std::size_t begin = 0;
    for (std::size_t nl; (nl = text.find('\n', begin)) != std::string::npos; begin = nl + 1)
        out += stamp() + text.substr(begin, nl - begin) + "\n";
    if (begin < text.size() || text.empty())
        out += stamp() + text.substr(begin) + "\n";
    writeAll(out);
}

void captureStdout() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_captured >= 0)
        return;
    int fds[2];
    std::fflush(stdout);
    const int saved = fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (saved < 0 || pipe2(fds, O_CLOEXEC) != 0) {
        if (saved >= 0)
            close(saved);
        return; // the drivers' lines then go out as they are
    }
    // fd 1 is the write end without close-on-exec; the publisher processes
    // get the null device as their standard output anyway.
    dup2(fds[1], 1);
    close(fds[1]);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    g_out = saved;
    g_captured = fds[0];
    g_stopReader = false;
    g_reader = std::thread([] {
        while (!g_stopReader) {
            pollfd p{g_captured, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                std::lock_guard<std::mutex> lock(g_mutex);
                drainLocked(false);
            }
        }
    });
}

void releaseStdout() {
    if (!g_reader.joinable())
        return;
    g_stopReader = true;
    g_reader.join();
    std::lock_guard<std::mutex> lock(g_mutex);
    std::fflush(stdout);
    dup2(g_out, 1); // closes the pipe's write end
    drainLocked(true);
    close(g_captured);
    close(g_out);
    g_captured = -1;
    g_out = 1;
}

} // namespace eventlog
} // namespace kro::runner
