// Running the publisher entry in this process and reading what it printed.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "client/pub_client.h"
#include "support/capture.h"

namespace kro::test {

struct PubRun {
    int code = -1;
    std::string out, err;
    std::chrono::milliseconds took{0};
};

// One run of mqttclinet_pub with "mosquitto_pub" as argv[0] and writable
// copies of `args`, standard output and error captured.
inline PubRun runPub(const std::vector<std::string>& args) {
    std::vector<std::vector<char>> storage;
    storage.reserve(args.size() + 1);
    std::vector<char*> argv;
    auto add = [&](const std::string& s) {
        storage.emplace_back(s.begin(), s.end());
        storage.back().push_back('\0');
        argv.push_back(storage.back().data());
    };
    add("mosquitto_pub");
    for (const auto& a : args)
        add(a);
    argv.push_back(nullptr);

    PubRun run;
    CaptureBoth cap;
    auto start = std::chrono::steady_clock::now();
    run.code = mqttclinet_pub(static_cast<int>(argv.size() - 1), argv.data());
    run.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    run.out = cap.out.take();
    run.err = cap.err.take();
    return run;
}

// The three lines printed for each completed publish, for publishes 1..count.
inline std::string publishLines(int count, int repeat, int reason = 0) {
    std::string s;
    for (int i = 1; i <= count; ++i) {
        s += "reason_code  reason_code = " + std::to_string(reason) + " \n";
        s += "publish_count  publish_count = " + std::to_string(i) + " \n";
        s += "cfg.repeat_count = " + std::to_string(repeat) + " \n";
    }
    return s;
}

// A loopback port nothing listens on: bound, never listened on, closed.
inline int closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// Puts a file on standard input for the scope.
class StdinFrom {
public:
    explicit StdinFrom(const std::string& path) {
        int fd = open(path.c_str(), O_RDONLY);
        EXPECT_GE(fd, 0) << path;
        m_saved = dup(0);
        dup2(fd, 0);
        close(fd);
        std::clearerr(stdin);
    }
    ~StdinFrom() {
        dup2(m_saved, 0);
        close(m_saved);
        std::clearerr(stdin);
    }
    StdinFrom(const StdinFrom&) = delete;
    StdinFrom& operator=(const StdinFrom&) = delete;

private:
    int m_saved = -1;
};

} // namespace kro::test
