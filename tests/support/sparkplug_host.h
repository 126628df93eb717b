#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kro::test {

// A Sparkplug B host application on the broker at 127.0.0.1:port: tests/support/sparkplug/
// host.js under node, with its files in dir. It records every message on spBv1.0/# as
// {"topic","qos","retain","payload"} (the payload decoded by the npm codec: 64-bit numbers as
// decimal strings, bytes as hex, NaN as a string; "text" instead for STATE topics, "error"
// and "raw" hex for a payload that does not decode) and publishes on the tests' behalf. Start
// it on the test's main thread: its process is killed when that thread ends.
class SparkplugHost {
public:
    // Returns once the host is subscribed (at most 10 s); throws std::runtime_error with its
    // output otherwise.
    SparkplugHost(int port, const std::string& dir);
    ~SparkplugHost(); // stops the process; prints its output after a failed test
    SparkplugHost(const SparkplugHost&) = delete;
    SparkplugHost& operator=(const SparkplugHost&) = delete;

    // Why the host cannot run (node or the node modules missing), empty when it can.
    static std::string unavailable();

    // Every message received so far, in order.
    std::vector<nlohmann::json> messages() const;
    // The messages whose topic holds "/kind/", e.g. on("DDATA").
    std::vector<nlohmann::json> on(const std::string& kind) const;
    // Polls the messages until pred holds them (true) or the timeout passes (false).
    bool waitFor(const std::function<bool(const std::vector<nlohmann::json>&)>& pred,
                 std::chrono::milliseconds timeout) const;

    // Encodes payload (the npm codec's object form; 64-bit numbers may be decimal strings,
    // bytes hex) and publishes it; returns once sent (QoS 1: acknowledged), throws
    // std::runtime_error with the output on an error or after 5 s.
    void publish(const std::string& topic, const nlohmann::json& payload, int qos = 0,
                 bool retain = false);
    // Publishes raw text, as a host's STATE.
    void publishText(const std::string& topic, const std::string& text, int qos = 1,
                     bool retain = true);

    // The metric called name in a payload (or in a message's payload), or nullptr.
    static const nlohmann::json* metric(const nlohmann::json& payload, const std::string& name);

    // The output file and the process's own output.
    std::string output() const;

private:
    std::vector<nlohmann::json> lines() const; // the output file's complete lines
    // Polls the output until match gives 1 (returns "") or -1 for a line, the process ends or
    // the timeout passes (returns why).
    std::string await(const std::function<int(const nlohmann::json&)>& match,
                      std::chrono::milliseconds timeout);
    void command(const nlohmann::json& cmd);
    void stop();

    std::string m_out, m_cmd, m_log;
    pid_t m_pid = -1;
    int m_next = 0; // the next command's index
};

} // namespace kro::test
