#include "support/sparkplug_host.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "support/subprocess.h"

namespace kro::test {
namespace {

using json = nlohmann::json;

const std::string kProject = std::string(KRO_SOURCE_DIR) + "/tests/support/sparkplug";
constexpr auto kReadyTimeout = std::chrono::seconds(10);
constexpr auto kCommandTimeout = std::chrono::seconds(5);
constexpr auto kPoll = std::chrono::milliseconds(10);

bool exists(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

} // namespace

std::string SparkplugHost::unavailable() {
    std::string missing;
    if (findProgram("node").empty())
        missing += " node (package nodejs);";
    if (!exists(kProject + "/node_modules/mqtt/package.json") ||
        !exists(kProject + "/node_modules/sparkplug-payload/package.json"))
        missing += " the node modules (npm ci --prefix " + kProject + ");";
    if (missing.empty())
        return {};
    return "the Sparkplug host cannot run, missing:" + missing + " ./run.sh test sets them up";
}

SparkplugHost::SparkplugHost(int port, const std::string& dir)
    : m_out(dir + "/sparkplug_host.out"), m_cmd(dir + "/sparkplug_host.cmd"),
      m_log(dir + "/sparkplug_host.log") {
    if (const std::string why = unavailable(); !why.empty())
        throw std::runtime_error(why);
    writeFile(m_out, "");
    writeFile(m_cmd, "");
    m_pid = spawnProgram(
        {findProgram("node"), kProject + "/host.js", std::to_string(port), m_out, m_cmd}, m_log);
    if (m_pid < 0)
        throw std::runtime_error("cannot start the Sparkplug host: fork failed");
    const std::string why =
        await([](const json& line) { return line.value("ready", false); }, kReadyTimeout);
    if (!why.empty()) {
        stop();
        throw std::runtime_error("the Sparkplug host did not subscribe (" + why + "):\n" +
                                 output());
    }
}

std::string SparkplugHost::await(const std::function<int(const json&)>& match,
                                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (m_pid <= 0)
            return "it is not running";
        for (const json& line : lines())
            if (int m = match(line))
                return m > 0 ? std::string() : "it reported an error";
        if (waitExit(m_pid, std::chrono::milliseconds(0))) {
            m_pid = -1;
            return "it ended";
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return "timed out";
        std::this_thread::sleep_for(kPoll);
    }
}

SparkplugHost::~SparkplugHost() {
    stop();
    if (::testing::Test::HasFailure())
        std::fputs(output().c_str(), stderr);
}

void SparkplugHost::stop() {
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    if (!waitExit(m_pid, std::chrono::seconds(5))) {
        ::kill(m_pid, SIGKILL);
        waitExit(m_pid, std::chrono::seconds(5));
    }
    m_pid = -1;
}

std::string SparkplugHost::output() const {
    return "---- " + m_out + " ----\n" + readFile(m_out) + "---- " + m_log + " ----\n" +
           readFile(m_log) + "---- end of the Sparkplug host's output ----\n";
}

std::vector<json> SparkplugHost::lines() const {
    std::istringstream in(readFile(m_out));
    std::vector<json> out;
    std::string line;
    // The last line may still be being written: only those ended by a newline count.
    while (std::getline(in, line) && !in.eof()) {
        json j = json::parse(line, nullptr, false);
        if (j.is_object())
            out.push_back(std::move(j));
    }
    return out;
}

std::vector<json> SparkplugHost::messages() const {
    std::vector<json> out;
    for (json& line : lines())
        if (line.contains("topic"))
            out.push_back(std::move(line));
    return out;
}

std::vector<json> SparkplugHost::on(const std::string& kind) const {
    std::vector<json> out;
    for (json& m : messages())
        if (m["topic"].get<std::string>().find("/" + kind + "/") != std::string::npos)
            out.push_back(std::move(m));
    return out;
}

bool SparkplugHost::waitFor(const std::function<bool(const std::vector<json>&)>& pred,
                            std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred(messages())) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

void SparkplugHost::command(const json& cmd) {
    const int index = m_next++;
    {
        std::ofstream file(m_cmd, std::ios::app | std::ios::binary);
        file << cmd.dump() + "\n";
        if (!file.flush())
            throw std::runtime_error("cannot write " + m_cmd);
    }
    const std::string why = await(
        [index](const json& line) {
            if (line.value("done", -1) == index)
                return 1;
            return line.contains("error") && line.value("index", -1) == index ? -1 : 0;
        },
        kCommandTimeout);
    if (!why.empty())
        throw std::runtime_error("Sparkplug host command " + cmd.dump() + ": " + why + ":\n" +
                                 output());
}

void SparkplugHost::publish(const std::string& topic, const json& payload, int qos, bool retain) {
    command({{"publish", topic}, {"payload", payload}, {"qos", qos}, {"retain", retain}});
}

void SparkplugHost::publishText(const std::string& topic, const std::string& text, int qos,
                                bool retain) {
    command({{"text", topic}, {"payload", text}, {"qos", qos}, {"retain", retain}});
}

const json* SparkplugHost::metric(const json& payload, const std::string& name) {
    const json* p = payload.contains("payload") ? &payload.at("payload") : &payload;
    if (!p->is_object() || !p->contains("metrics") || !(*p)["metrics"].is_array())
        return nullptr;
    for (const json& m : (*p)["metrics"])
        if (m.is_object() && m.value("name", std::string()) == name)
            return &m;
    return nullptr;
}

} // namespace kro::test
