// Running the drivers as the host does: the plug-in loaded with dlopen, a
// driver from its factory, threadRun() on a thread of the test's, and every
// runtime-variable write recorded in order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "kro_host.h"
#include "support/broker.h"
#include "support/plugin.h"
#include "support/subprocess.h"

namespace kro::test {

using namespace std::chrono_literals;

// Polls `done` every 20 ms for at most `limit`.
template <typename Pred> bool waitUntil(Pred done, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Threads of this process right now.
inline int threadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count;
}

// A fresh working directory for the test, holding the publisher program at
// both paths the drivers start it from; the old one is restored at the end.
class DriverDir {
public:
    DriverDir() : m_old(std::filesystem::current_path()), m_dir(makeTempDir("kro_driver")) {
        namespace fs = std::filesystem;
        for (const char* sub : {"Debug", "res/other"}) {
            fs::create_directories(fs::path(m_dir) / sub);
            fs::create_symlink(KRO_PUBLISHER_PROGRAM, fs::path(m_dir) / sub / "mosquitto_pub.exe");
        }
        fs::current_path(m_dir);
    }
    ~DriverDir() {
        std::filesystem::current_path(m_old);
        removeTree(m_dir);
    }
    DriverDir(const DriverDir&) = delete;
    DriverDir& operator=(const DriverDir&) = delete;

private:
    std::filesystem::path m_old;
    std::string m_dir;
};

// Every write to the runtime variables, per name, in order. `sealed()` marks
// the moment after which no write is expected any more.
class StateLog {
public:
    StateLog() {
        m_id = kro::host::addObserver([this](const kro::host::Event& e) {
            if (e.kind == kro::host::Event::Kind::Variable)
                return;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_values[e.name].push_back(e.value);
            if (m_sealed)
                m_late.push_back(e.name + "=" + e.value);
            m_changed.notify_all();
        });
    }
    ~StateLog() { kro::host::removeObserver(m_id); }
    StateLog(const StateLog&) = delete;
    StateLog& operator=(const StateLog&) = delete;

    std::vector<std::string> values(const std::string& name) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_values.find(name);
        return it == m_values.end() ? std::vector<std::string>{} : it->second;
    }
    // The values written as integers (every value of an integer variable).
    std::vector<int> ints(const std::string& name) const {
        std::vector<int> out;
        for (const std::string& v : values(name))
            out.push_back(std::stoi(v));
        return out;
    }
    // True once `name` has been written `value` at least `times` times in all.
    bool waitFor(const std::string& name, const std::string& value,
                 std::chrono::milliseconds limit = 20s, int times = 1) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] {
            auto it = m_values.find(name);
            if (it == m_values.end())
                return false;
            int seen = 0;
            for (const std::string& v : it->second)
                seen += v == value;
            return seen >= times;
        });
    }
    bool waitFor(const std::string& name, int value, std::chrono::milliseconds limit = 20s,
                 int times = 1) const {
        return waitFor(name, std::to_string(value), limit, times);
    }
    // True once `name` has been written at least `count` times.
    bool waitCount(const std::string& name, size_t count,
                   std::chrono::milliseconds limit = 20s) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] {
            auto it = m_values.find(name);
            return it != m_values.end() && it->second.size() >= count;
        });
    }

    void seal() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sealed = true;
    }
    // Writes made after seal().
    std::vector<std::string> late() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_late;
    }

private:
    int m_id = -1;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::map<std::string, std::vector<std::string>> m_values;
    bool m_sealed = false;
    std::vector<std::string> m_late;
};

// A driver made by a factory of the loaded plug-in, with its threadRun() on a
// thread of its own, as the host runs it.
class RunningDriver {
public:
    RunningDriver(const Plugin& plugin, const char* factory, kro::IDeviceManager* dm,
                  const std::string& settings) {
        Factory make = plugin.factory(factory);
        if (!make)
            throw std::runtime_error(std::string("no factory ") + factory);
        m_driver = make(dm, settings);
        if (!m_driver)
            throw std::runtime_error("factory refused " + settings);
        auto* base = dynamic_cast<kro::UARTDriverBase*>(m_driver);
        if (!base)
            throw std::runtime_error("not a UARTDriverBase");
        m_thread = std::thread([this, base] {
            const bool result = base->threadRun();
            m_returned = result ? 1 : 2;
        });
    }
    ~RunningDriver() { destroy(); }
    RunningDriver(const RunningDriver&) = delete;
    RunningDriver& operator=(const RunningDriver&) = delete;

    kro::IDvcDriver* operator->() const { return m_driver; }

    // Deletes the driver as the host does, while threadRun() runs, then
    // joins the host thread once threadRun() has returned (bounded: a
    // threadRun() still running after the delete is a failure, not a hang).
    // Returns how long the delete took.
    std::chrono::milliseconds destroy() {
        std::chrono::milliseconds took{0};
        if (m_driver) {
            const auto start = std::chrono::steady_clock::now();
            delete m_driver;
            m_driver = nullptr;
            took = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
        }
        if (m_thread.joinable()) {
            if (!waitUntil([this] { return m_returned != 0; }, 5s)) {
                ADD_FAILURE() << "threadRun() still running after the driver was deleted";
                m_thread.detach();
                return took;
            }
            m_thread.join();
        }
        return took;
    }
    // 1 when threadRun() returned true, 2 when it returned false, 0 while it runs.
    int returned() const { return m_returned; }

private:
    kro::IDvcDriver* m_driver = nullptr;
    std::thread m_thread;
    std::atomic<int> m_returned{0};
};

// Settings text of a Common driver.
// A value of `size` bytes holding every byte value from 1 to 255 in turn: too
// long for any command line, and nothing a quoting rule may change.
inline std::string everyByteValue(size_t size) {
    std::string value(size, '\0');
    for (size_t i = 0; i < size; ++i)
        value[i] = static_cast<char>(1 + i % 255);
    return value;
}

// The AWS driver's connection parameters for the broker's mutual-TLS
// listener, in runtime variables.
inline void configureAws(const Broker& broker, const std::string& topics) {
    auto& vars = kro::host::runtime().vars();
    vars.setStrVar("cafilePath", broker.certs().caCert, 0);
    vars.setStrVar("certPath", broker.certs().clientCert, 0);
    vars.setStrVar("keyPath", broker.certs().clientKey, 0);
    vars.setStrVar("host", "127.0.0.1", 0);
    vars.setStrVar("port", std::to_string(broker.mtlsPort()), 0);
    vars.setStrVar("topics", topics, 0);
}

inline std::string commonSettings(const std::map<std::string, std::string>& values) {
    std::string json = "{\"Protocol\":\"COMMONMQTT\"";
    for (const auto& [key, value] : values)
        json += ",\"" + key + "\":\"" + value + "\"";
    return json + "}";
}

} // namespace kro::test
