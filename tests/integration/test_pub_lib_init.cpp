// Library initialisation shared between publisher runs and other clients of
// the same process: a run that fails in its set-up must not tear down the
// library under a TLS connection that someone else still uses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

#include <mosquitto.h>

#include "client/lib_init.h"
#include "support/broker.h"
#include "test_pub_support.h"

namespace {

using namespace std::chrono_literals;
using kro::test::Broker;
using kro::test::closedPort;
using kro::test::PubRun;
using kro::test::runPub;

constexpr auto kWait = 10s;

// A TLS client held open by the test through the library wrappers: it
// subscribes to its own topic and records what comes back.
class HeldTlsClient {
public:
    HeldTlsClient(const Broker& broker, const std::string& topic) : m_topic(topic) {
        EXPECT_EQ(client_lib_init(), 0);
        m_mosq = mosquitto_new(nullptr, true, this);
        EXPECT_NE(m_mosq, nullptr);
        EXPECT_EQ(mosquitto_tls_set(m_mosq, broker.certs().caCert.c_str(), nullptr, nullptr,
                                    nullptr, nullptr),
                  0);
        mosquitto_connect_callback_set(m_mosq, onConnect);
        mosquitto_subscribe_callback_set(m_mosq, onSubscribe);
        mosquitto_message_callback_set(m_mosq, onMessage);
        EXPECT_EQ(mosquitto_connect(m_mosq, "127.0.0.1", broker.tlsPort(), 60), 0);
        EXPECT_EQ(mosquitto_loop_start(m_mosq), 0);
    }
    ~HeldTlsClient() {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_stop(m_mosq, false);
        mosquitto_destroy(m_mosq);
        client_lib_cleanup();
    }

    bool waitSubscribed() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kWait, [this] { return m_subscribed; });
    }
    bool publish(const std::string& payload) {
        return mosquitto_publish(m_mosq, nullptr, m_topic.c_str(), static_cast<int>(payload.size()),
                                 payload.data(), 1, false) == MOSQ_ERR_SUCCESS;
    }
    bool waitFor(const std::string& payload) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kWait, [&] { return m_received.count(payload) > 0; });
    }

private:
    static void onConnect(mosquitto* mosq, void* obj, int rc) {
        auto* self = static_cast<HeldTlsClient*>(obj);
        if (rc == 0)
            mosquitto_subscribe(mosq, nullptr, self->m_topic.c_str(), 1);
    }
    static void onSubscribe(mosquitto*, void* obj, int, int, const int*) {
        auto* self = static_cast<HeldTlsClient*>(obj);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_subscribed = true;
        self->m_changed.notify_all();
    }
    static void onMessage(mosquitto*, void* obj, const mosquitto_message* msg) {
        auto* self = static_cast<HeldTlsClient*>(obj);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_received.insert(std::string(static_cast<const char*>(msg->payload),
                                            static_cast<size_t>(msg->payloadlen)));
        self->m_changed.notify_all();
    }

    std::string m_topic;
    mosquitto* m_mosq = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_subscribed = false;
    std::set<std::string> m_received;
};

// Publisher runs that fail at different points of their set-up.
std::vector<std::vector<std::string>> failingRuns(const Broker& broker) {
    const std::string closed = std::to_string(closedPort());
    return {
        {"-p", closed, "-t", "x", "-m", "x", "--cafile", "/nonexistent/kro/ca.pem"},
        {"-h", "127.0.0.1", "-p", closed, "-t", "x", "-m", "x"},
        {"-h", "127.0.0.1", "-p", std::to_string(broker.tlsPort()), "--cafile",
         broker.certs().otherCaCert, "-t", "x", "-m", "x"},
        {"-t", "x", "-f", "/nonexistent/kro/msg"},
        {"--bogus"},
    };
}

TEST(PubLibInit, FailedRunsLeaveAnotherTlsConnectionWorking) {
    Broker broker;
    HeldTlsClient held(broker, "kro/held/tls");
    ASSERT_TRUE(held.waitSubscribed());
    ASSERT_TRUE(held.publish("before"));
    ASSERT_TRUE(held.waitFor("before"));

    for (const auto& args : failingRuns(broker)) {
        PubRun run = runPub(args);
        EXPECT_NE(run.code, 0) << args[0];
        // Only the held client's reference is left.
        EXPECT_EQ(client_lib_refcount(), 1) << run.err;
    }

    ASSERT_TRUE(held.publish("after"));
    EXPECT_TRUE(held.waitFor("after"));
}

// The same while the held connection keeps publishing from its own thread.
TEST(PubLibInitConcurrency, FailingRunsWhileAnotherThreadPublishesOverTls) {
    Broker broker;
    HeldTlsClient held(broker, "kro/held/busy");
    ASSERT_TRUE(held.waitSubscribed());

    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread publisher([&] {
        for (int i = 0; i < 500 && !stop; ++i) {
            if (held.publish("m" + std::to_string(i)))
                sent = i + 1;
            std::this_thread::sleep_for(10ms);
        }
    });
    for (int round = 0; round < 3; ++round) {
        for (const auto& args : failingRuns(broker)) {
            PubRun run = runPub(args);
            EXPECT_NE(run.code, 0);
        }
    }
    stop = true;
    publisher.join();

    ASSERT_GT(sent.load(), 0);
    // The last message sent after every failed run still arrives.
    EXPECT_TRUE(held.waitFor("m" + std::to_string(sent.load() - 1)));
    EXPECT_EQ(client_lib_refcount(), 1);
}

} // namespace
