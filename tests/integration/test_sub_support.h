// Running the subscriber entry on threads of its own and watching what reaches
// the two process-wide callbacks.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "client/lib_init.h"
#include "client/sub_client.h"
#include "client/sub_client_output.h"
#include "support/broker.h"
#include "support/capture.h"

namespace kro::test {

using namespace std::chrono_literals;

// Bound for anything that should happen at once on loopback.
constexpr auto kSubWait = 10s;

// Device contexts. Every test takes its contexts from this pool, so that the
// table never holds more than these, also when all tests run in one process.
inline void* poolContext(int i) {
    static char pool[CNT_CFG];
    return &pool[i];
}

// A client id no other run of this process or of a parallel test uses.
inline std::string uniqueId(const std::string& what) {
    static std::atomic<int> counter{0};
    return "kro-" + what + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

struct Delivery {
    std::string topic, payload;
    void* pdev;
    bool operator==(const Delivery& o) const {
        return topic == o.topic && payload == o.payload && pdev == o.pdev;
    }
};

inline std::ostream& operator<<(std::ostream& os, const Delivery& d) {
    return os << "{" << d.topic << ", " << d.payload << ", " << d.pdev << "}";
}

struct StatusReport {
    int state;
    void* pdev;
};

// Records every call of the message and status callbacks of the process.
class Recorder {
public:
    static Recorder& instance() {
        static Recorder r;
        return r;
    }
    // Registers both callbacks and forgets what was recorded before.
    void install() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_deliveries.clear();
            m_statuses.clear();
        }
        register_callback(&Recorder::onMessage);
        register_callback1(&Recorder::onStatus);
    }
    std::vector<Delivery> deliveries(void* pdev) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Delivery> out;
        for (const auto& d : m_deliveries)
            if (d.pdev == pdev)
                out.push_back(d);
        return out;
    }
    std::vector<Delivery> allDeliveries() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_deliveries;
    }
    std::vector<int> statuses(void* pdev) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<int> out;
        for (const auto& s : m_statuses)
            if (s.pdev == pdev)
                out.push_back(s.state);
        return out;
    }
    bool waitDeliveries(void* pdev, size_t count, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] {
            return static_cast<size_t>(
                       std::count_if(m_deliveries.begin(), m_deliveries.end(),
                                     [&](const Delivery& d) { return d.pdev == pdev; })) >= count;
        });
    }
    bool waitStatuses(void* pdev, size_t count, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] {
            return static_cast<size_t>(std::count_if(
                       m_statuses.begin(), m_statuses.end(),
                       [&](const StatusReport& s) { return s.pdev == pdev; })) >= count;
        });
    }

private:
    static void onMessage(const char* top, const char* mes, void* pdev) {
        Recorder& r = instance();
        std::lock_guard<std::mutex> lock(r.m_mutex);
        r.m_deliveries.push_back({top, mes, pdev});
        r.m_changed.notify_all();
    }
    static void onStatus(int state, void* pdev) {
        Recorder& r = instance();
        std::lock_guard<std::mutex> lock(r.m_mutex);
        r.m_statuses.push_back({state, pdev});
        r.m_changed.notify_all();
    }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<Delivery> m_deliveries;
    std::vector<StatusReport> m_statuses;
};

// Writable copies of "mosquitto_sub" and `args`, as the entry wants them.
class Argv {
public:
    explicit Argv(const std::vector<std::string>& args) {
        m_storage.reserve(args.size() + 1);
        add("mosquitto_sub");
        for (const auto& a : args)
            add(a);
        m_ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(m_ptrs.size() - 1); }
    char** argv() { return m_ptrs.data(); }

private:
    void add(const std::string& s) {
        m_storage.emplace_back(s.begin(), s.end());
        m_storage.back().push_back('\0');
        m_ptrs.push_back(m_storage.back().data());
    }
    std::vector<std::vector<char>> m_storage;
    std::vector<char*> m_ptrs;
};

// One run of mqttclinet_sub on a thread of its own. A run that has not ended
// when the object goes away is stopped (a test failure); the thread never
// outlives what it uses.
class SubThread {
public:
    SubThread(std::vector<std::string> args, void* pdev)
        : m_state(std::make_shared<State>(std::move(args))), m_pdev(pdev) {
        std::shared_ptr<State> st = m_state;
        m_thread = std::thread([st, pdev] {
            int code = mqttclinet_sub(st->argv.argc(), st->argv.argv(), pdev);
            std::lock_guard<std::mutex> lock(st->mutex);
            st->code = code;
            st->done = true;
            st->ended.notify_all();
        });
    }
    ~SubThread() {
        if (!wait(0ms)) {
            ADD_FAILURE() << "subscriber run still live at the end of the test";
            stopAndWait();
        }
        if (m_thread.joinable()) {
            if (wait(0ms))
                m_thread.join();
            else
                m_thread.detach(); // the state is shared; the test has failed already
        }
    }
    SubThread(const SubThread&) = delete;
    SubThread& operator=(const SubThread&) = delete;

    // True once the run has returned.
    bool wait(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        return m_state->ended.wait_for(lock, timeout, [&] { return m_state->done; });
    }
    // Waits for the end within `timeout`; a run still live then is stopped and
    // the test fails. Returns the run's result, -1 when it never ended.
    int join(std::chrono::milliseconds timeout = kSubWait) {
        if (!wait(timeout)) {
            ADD_FAILURE() << "subscriber run did not end within " << timeout.count() << " ms";
            if (!stopAndWait())
                return -1;
        }
        if (m_thread.joinable())
            m_thread.join();
        return code();
    }
    std::thread::id threadId() const { return m_thread.get_id(); }
    int code() {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->code;
    }

private:
    struct State {
        explicit State(std::vector<std::string> args) : argv(args) {}
        Argv argv;
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        int code = -1;
    };
    bool stopAndWait() {
        // A run between its start and its claim misses a stop; ask again.
        for (int i = 0; i < 50; ++i) {
            sub_client_stop(m_pdev);
            if (wait(100ms))
                return true;
        }
        return false;
    }

    std::shared_ptr<State> m_state;
    void* m_pdev;
    std::thread m_thread;
};

struct SubResult {
    int code = -1;
    std::string out, err;
};

// One run on the calling thread with both streams captured.
inline SubResult runSub(const std::vector<std::string>& args, void* pdev) {
    Argv argv(args);
    SubResult r;
    CaptureBoth cap;
    r.code = mqttclinet_sub(argv.argc(), argv.argv(), pdev);
    r.out = cap.out.take();
    r.err = cap.err.take();
    return r;
}

inline size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size()))
        ++n;
    return n;
}

// True once the broker's log holds `needle` at least `count` times, e.g.
// "Sending SUBACK to <id>\n": the broker has registered that client's
// subscriptions, so a message published now reaches it.
inline bool waitBrokerLog(const Broker& broker, const std::string& needle, size_t count = 1,
                          std::chrono::milliseconds timeout = kSubWait) {
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (countOf(broker.log(), needle) >= count)
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

inline bool waitSubscribed(const Broker& broker, const std::string& id, size_t count = 1) {
    return waitBrokerLog(broker, "Sending SUBACK to " + id + "\n", count);
}

// The arguments that reach the broker's plain listener with client id `id`.
inline std::vector<std::string> brokerArgs(const Broker& broker, const std::string& id) {
    return {"-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-i", id};
}

inline std::vector<std::string> concat(std::vector<std::string> a,
                                       const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace kro::test
