// Sixteen Common drivers in one process, as many as the subscriber has
// context slots, each on a device of its own, all receiving at once: every
// message must land in its own device, none lost, none twice, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include <mosquitto.h>

#include "support/broker.h"
#include "support/capture.h"
#include "test_driver_support.h"

namespace {

using namespace std::chrono_literals;
using kro::host::VarSpec;
using kro::test::Broker;
using kro::test::Capture;
using kro::test::commonSettings;
using kro::test::DriverDir;
using kro::test::Plugin;
using kro::test::RunningDriver;
using kro::test::StateLog;
using kro::test::waitUntil;

constexpr int kDevices = 16;
constexpr int kMessages = 1000;

std::string deviceId(int k) {
    return "dev" + std::to_string(k);
}
std::string topicOf(int k) {
    return "conc/" + std::to_string(k);
}

// Every value written to the "A" and "T" variables of each device, in order.
class Writes {
public:
    Writes() {
        m_id = kro::host::addObserver([this](const kro::host::Event& e) {
            if (e.kind != kro::host::Event::Kind::Variable)
                return;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_values[e.name].push_back(e.value);
        });
    }
    ~Writes() { kro::host::removeObserver(m_id); }
    Writes(const Writes&) = delete;
    Writes& operator=(const Writes&) = delete;

    std::vector<std::string> of(const std::string& name) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_values.find(name);
        return it == m_values.end() ? std::vector<std::string>{} : it->second;
    }
    size_t count(const std::string& name) const { return of(name).size(); }

private:
    int m_id = -1;
    mutable std::mutex m_mutex;
    std::map<std::string, std::vector<std::string>> m_values;
};

// A QoS 1 publisher on the calling thread: publishes everything, then runs
// the network loop until the broker has acknowledged every message.
class Publisher {
public:
    explicit Publisher(int port) {
        m_mosq = mosquitto_new(nullptr, true, this);
        if (!m_mosq)
            throw std::runtime_error("mosquitto_new failed");
        mosquitto_connect_callback_set(m_mosq, [](mosquitto*, void* obj, int rc) {
            static_cast<Publisher*>(obj)->m_connected = rc == 0;
        });
        mosquitto_publish_callback_set(
            m_mosq, [](mosquitto*, void* obj, int) { ++static_cast<Publisher*>(obj)->m_acked; });
        if (mosquitto_connect(m_mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("cannot connect the publisher");
        if (!loopUntil([this] { return m_connected; }, 10s))
            throw std::runtime_error("no CONNACK for the publisher");
    }
    ~Publisher() {
        mosquitto_disconnect(m_mosq);
        mosquitto_destroy(m_mosq);
    }
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    void publish(const std::string& topic, const std::string& payload) {
        mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, false);
        ++m_sent;
        // Lets acknowledgements in, so that the library's window moves on.
        mosquitto_loop(m_mosq, 0, 1);
    }
    bool waitAcked(std::chrono::milliseconds limit) {
        return loopUntil([this] { return m_acked == m_sent; }, limit);
    }

private:
    template <typename Pred> bool loopUntil(Pred done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            mosquitto_loop(m_mosq, 50, 1);
        }
        return true;
    }

    mosquitto* m_mosq = nullptr;
    bool m_connected = false;
    long m_sent = 0;
    long m_acked = 0;
};

struct LibInit {
    LibInit() { mosquitto_lib_init(); }
    ~LibInit() { mosquitto_lib_cleanup(); }
};

TEST(FaultConcurrency, SixteenDriversEachReceiveExactlyTheirOwnMessages) {
    LibInit lib;
    Broker broker;
    DriverDir dir;
    StateLog states;
    Writes writes;
    Plugin plugin;
    kro::host::DeviceManager dm;
    for (int k = 0; k < kDevices; ++k) {
        kro::host::Device* dev = dm.addDevice(deviceId(k));
        dev->addVariable(VarSpec{"A", 32, "SubVariable", topicOf(k), ""});
        dev->addVariable(VarSpec{"T", 32, "SubTopic", "", ""});
    }

    Capture out(Capture::Stream::Out);
    std::vector<std::unique_ptr<RunningDriver>> drivers;
    for (int k = 0; k < kDevices; ++k)
        drivers.push_back(
            std::make_unique<RunningDriver>(plugin, "libTlsMqttDriver_loadDriver", &dm,
                                            commonSettings({{"DeviceId", deviceId(k)},
                                                            {"host", "127.0.0.1"},
                                                            {"port", std::to_string(broker.port())},
                                                            {"AdditionSubArgs", "-q 1"}})));
    for (int k = 0; k < kDevices; ++k)
        ASSERT_TRUE(states.waitFor(deviceId(k) + ".substate", 0, 60s)) << deviceId(k);

    Publisher pub(broker.port());
    // A connection is accepted before its SUBSCRIBE has been handled: one
    // probe per device, repeated until every device has its own.
    ASSERT_TRUE(waitUntil(
        [&] {
            bool all = true;
            for (int k = 0; k < kDevices; ++k) {
                if (writes.count(deviceId(k) + ".A") == 0) {
                    all = false;
                    pub.publish(topicOf(k), "probe");
                }
            }
            pub.waitAcked(5s);
            return all || waitUntil(
                              [&] {
                                  for (int k = 0; k < kDevices; ++k)
                                      if (writes.count(deviceId(k) + ".A") == 0)
                                          return false;
                                  return true;
                              },
                              300ms);
        },
        30s));

    // Round robin over the devices, so that every subscriber run is busy at
    // the same time.
    for (int i = 0; i < kMessages; ++i)
        for (int k = 0; k < kDevices; ++k)
            pub.publish(topicOf(k), std::to_string(k) + ":" + std::to_string(i));
    ASSERT_TRUE(pub.waitAcked(120s));

    auto payloads = [&](int k) {
        std::vector<std::string> values = writes.of(deviceId(k) + ".A");
        values.erase(std::remove(values.begin(), values.end(), "probe"), values.end());
        return values;
    };
    EXPECT_TRUE(waitUntil(
        [&] {
            for (int k = 0; k < kDevices; ++k)
                if (payloads(k).size() < static_cast<size_t>(kMessages))
                    return false;
            return true;
        },
        120s));
    for (auto& d : drivers)
        EXPECT_LT(d->destroy(), 5s);
    out.take();

    for (int k = 0; k < kDevices; ++k) {
        std::vector<std::string> expected;
        for (int i = 0; i < kMessages; ++i)
            expected.push_back(std::to_string(k) + ":" + std::to_string(i));
        const std::vector<std::string> got = payloads(k);
        const auto diff = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
        EXPECT_TRUE(diff.first == got.end() && diff.second == expected.end())
            << deviceId(k) << ": " << got.size() << " payloads; first difference at "
            << (diff.first - got.begin()) << ": "
            << (diff.first == got.end() ? std::string("(end)") : *diff.first) << " instead of "
            << (diff.second == expected.end() ? std::string("(end)") : *diff.second);
        const std::vector<std::string> topics = writes.of(deviceId(k) + ".T");
        EXPECT_EQ(topics.size(), writes.count(deviceId(k) + ".A")) << deviceId(k);
        EXPECT_EQ(std::count(topics.begin(), topics.end(), topicOf(k)),
                  static_cast<long>(topics.size()))
            << deviceId(k);
    }
}

} // namespace
