// The quota-keeping test broker itself, seen by libmosquitto clients.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "support/mqtt_probe.h"
#include "support/quota_broker.h"

namespace {

using namespace std::chrono_literals;
using kro::test::plainConnection;
using kro::test::Probe;
using kro::test::QuotaBroker;
using kro::test::QuotaSettings;

// A client whose loop runs on the test's thread; its callbacks only record.
class Client {
public:
    Client(int port, int protocol) {
        static const int init = mosquitto_lib_init();
        (void)init;
        m = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, protocol);
        mosquitto_max_inflight_messages_set(m, 0); // 3.1.1: every publish leaves at once
        mosquitto_connect_v5_callback_set(
            m, [](mosquitto*, void* self, int rc, int, const mosquitto_property* props) {
                Client& c = *static_cast<Client*>(self);
                c.connack = rc;
                uint16_t receiveMaximum = 0;
                uint32_t maxPacket = 0;
                if (mosquitto_property_read_int16(props, MQTT_PROP_RECEIVE_MAXIMUM, &receiveMaximum,
                                                  false))
                    c.receiveMaximum = receiveMaximum;
                if (mosquitto_property_read_int32(props, MQTT_PROP_MAXIMUM_PACKET_SIZE, &maxPacket,
                                                  false))
                    c.maxPacketSize = maxPacket;
            });
        mosquitto_publish_v5_callback_set(
            m, [](mosquitto*, void* self, int, int reason, const mosquitto_property*) {
                ++static_cast<Client*>(self)->acks[reason];
            });
        mosquitto_subscribe_v5_callback_set(
            m, [](mosquitto*, void* self, int, int, const int*, const mosquitto_property*) {
                static_cast<Client*>(self)->subacked = true;
            });
        if (mosquitto_connect(m, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS)
            pump([&] { return connack >= 0; });
    }
    ~Client() { mosquitto_destroy(m); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    template <class Pred> bool pump(Pred ready) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!ready() && std::chrono::steady_clock::now() < deadline)
            if (mosquitto_loop(m, 50, 1) != MOSQ_ERR_SUCCESS)
                break;
        return ready();
    }
    size_t acked() const {
        size_t n = 0;
        for (const auto& [reason, count] : acks)
            n += count;
        return n;
    }

    mosquitto* m = nullptr;
    int connack = -1;
    int receiveMaximum = -1, maxPacketSize = -1; // -1: not in the CONNACK
    std::map<int, size_t> acks;                  // by reason code
    bool subacked = false;
};

class QuotaBrokerProtocol : public ::testing::TestWithParam<int> {};

// 300 QoS 1 publishes at once: a second's worth (plus the refill while they were served) is
// accepted and acknowledged; the rest throttled, unanswered under 3.1.1 and 0x97 under 5.
TEST_P(QuotaBrokerProtocol, PublishesOverTheRateAreThrottled) {
    QuotaBroker broker;
    Client client(broker.port(), GetParam());
    ASSERT_EQ(client.connack, 0);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(mosquitto_publish(client.m, nullptr, "q/t", 5, "value", 1, false),
                  MOSQ_ERR_SUCCESS);
    if (GetParam() == 5) {
        ASSERT_TRUE(client.pump([&] { return client.acked() == 300; }));
    } else {
        // Answered after every PUBACK the publishes got.
        ASSERT_EQ(mosquitto_subscribe(client.m, nullptr, "q/none", 0), MOSQ_ERR_SUCCESS);
        ASSERT_TRUE(client.pump([&] { return client.subacked; }));
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto counts = broker.counts();
    EXPECT_EQ(counts.accepted + counts.throttled, 300u);
    EXPECT_GE(counts.accepted, 100u);
    EXPECT_LE(counts.accepted, 101 + static_cast<size_t>(100 * elapsed));
    EXPECT_GT(counts.throttled, 0u);
    EXPECT_EQ(client.acks[0], counts.accepted);
    EXPECT_EQ(client.acks[0x97], GetParam() == 5 ? counts.throttled : 0u);
    EXPECT_EQ(client.acked(), GetParam() == 5 ? 300u : counts.accepted);
    EXPECT_EQ(broker.accepted().size(), counts.accepted);
    EXPECT_GE(counts.peakPerSecond, 100u);
    EXPECT_LE(counts.peakPerSecond, counts.accepted);
}

// Nine filters in one SUBSCRIBE are refused whole; eight are granted, each one delivering.
TEST_P(QuotaBrokerProtocol, AtMostEightFiltersPerSubscribe) {
    const int protocol = GetParam();
    QuotaBroker broker;
    const std::vector<std::string> filters{"a", "b/+", "c/#", "+/d", "e", "f", "g", "h"};
    const std::set<std::string> topics{"a", "b/1", "c/1/2", "x/d", "e", "f", "g", "h"};
    std::vector<std::string> nine = filters;
    nine.push_back("i");
    Probe refused({plainConnection(broker.port(), protocol), nine, 1});
    ASSERT_TRUE(refused.waitSuback(10s));
    EXPECT_EQ(refused.grantedQos(), std::vector<int>(9, protocol == 5 ? 0x97 : 0x80));
    Probe granted({plainConnection(broker.port(), protocol), filters, 1});
    ASSERT_TRUE(granted.waitConnected(10s));
    EXPECT_EQ(granted.grantedQos(), std::vector<int>(8, 1));
    for (const std::string& topic : topics)
        ASSERT_TRUE(kro::test::publish(plainConnection(broker.port(), protocol), topic, "v", 1));
    ASSERT_TRUE(granted.waitFor(8, 10s));
    std::set<std::string> received;
    for (const auto& m : granted.messages())
        received.insert(m.topic);
    EXPECT_EQ(received, topics);
    EXPECT_TRUE(refused.messages().empty());
    const auto subscribes = broker.subscribes();
    ASSERT_EQ(subscribes.size(), 2u);
    EXPECT_FALSE(subscribes[0].granted);
    EXPECT_EQ(subscribes[0].filters, nine);
    EXPECT_TRUE(subscribes[1].granted);
}

INSTANTIATE_TEST_SUITE_P(Levels, QuotaBrokerProtocol, ::testing::Values(4, 5));

struct ConnackCase {
    int receiveMaximum;
    size_t maxPacketSize;
    int wantReceiveMaximum, wantMaxPacketSize; // -1: absent
};
void PrintTo(const ConnackCase& c, std::ostream* os) {
    *os << c.receiveMaximum << "/" << c.maxPacketSize;
}

class QuotaBrokerConnack : public ::testing::TestWithParam<ConnackCase> {};

TEST_P(QuotaBrokerConnack, MqttFiveCarriesTheLimitsThatAreSet) {
    const ConnackCase& c = GetParam();
    QuotaSettings settings;
    settings.receiveMaximum = c.receiveMaximum;
    settings.maxPacketSize = c.maxPacketSize;
    QuotaBroker broker(settings);
    Client client(broker.port(), 5);
    ASSERT_EQ(client.connack, 0);
    EXPECT_EQ(client.receiveMaximum, c.wantReceiveMaximum);
    EXPECT_EQ(client.maxPacketSize, c.wantMaxPacketSize);
    ASSERT_TRUE(broker.waitConnects(1, 1s));
    EXPECT_EQ(broker.connections()[0].protocolLevel, 5);
}

INSTANTIATE_TEST_SUITE_P(Limits, QuotaBrokerConnack,
                         ::testing::Values(ConnackCase{100, 131072, 100, 131072},
                                           ConnackCase{20, 1000, 20, 1000},
                                           ConnackCase{0, 0, -1, -1}));

} // namespace
