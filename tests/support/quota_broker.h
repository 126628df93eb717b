#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kro::test {

// The limits a quota-keeping broker holds every connection to; the defaults are those of
// AWS IoT Core.
struct QuotaSettings {
    double rate = 100;                 // accepted PUBLISH packets per second; 0: no limit
    double byteRate = 512 * 1024;      // accepted topic + payload bytes per second; 0: no limit
    int receiveMaximum = 100;          // announced to MQTT 5 clients; 0: not announced (65535)
    size_t maxPacketSize = 131072;     // larger packets close the connection; 0: no limit
    size_t maxFiltersPerSubscribe = 8; // a larger SUBSCRIBE is refused whole; 0: no limit
    bool noQos2 = true;                // QoS 2 PUBLISH refused, QoS 2 subscriptions granted 1
    bool oneConnectPerSecond = false;  // refuse a CONNECT within 1 s of one with the same id
    size_t maxOutput = 8 << 20;        // a connection with more unsent bytes is dropped
};

// A PUBLISH the broker accepted.
struct QuotaPublish {
    std::string clientId, topic, payload;
    int qos = 0;
    bool retain = false;
    std::chrono::steady_clock::time_point received;
};

// One CONNECT and what became of the connection it opened.
struct QuotaConnection {
    std::string clientId; // as assigned when the client sent none
    int protocolLevel = 0;
    bool refused = false; // by the one-CONNECT-per-second rule
    size_t accepted = 0, throttled = 0;
    size_t peakPerSecond = 0; // the most PUBLISH packets accepted in any 1 s
};

// One SUBSCRIBE request.
struct QuotaSubscribe {
    std::string clientId;
    std::vector<std::string> filters;
    bool granted = false; // false: refused whole for having too many filters
};

struct QuotaCounts {
    size_t accepted = 0, throttled = 0;
    size_t oversized = 0;              // packets over the Maximum Packet Size
    size_t receiveMaximumExceeded = 0; // MQTT 5 clients with too many QoS 1 and 2 unacknowledged
    size_t slowDropped = 0;            // connections dropped for not reading their output
    size_t peakPerSecond = 0;          // the highest of every connection's
};

// An MQTT 3.1.1 and 5 broker on a free loopback port (127.0.0.1) that keeps per-connection
// quotas as a cloud broker does: a token bucket for PUBLISH packets and one for their bytes,
// each holding one second's worth and starting full. A PUBLISH within both is recorded,
// delivered at QoS 0 to every matching subscription and acknowledged; one over either is only
// counted: no PUBACK under 3.1.1, PUBACK 0x97 (quota exceeded) under 5. A SUBSCRIBE with too
// many filters gets 0x80 (3.1.1) or 0x97 (5) for each. Every connection is served by one poll
// loop on a thread of its own, with buffered writes. Thread-safe.
class QuotaBroker {
public:
    explicit QuotaBroker(QuotaSettings settings = {}); // throws std::runtime_error
    ~QuotaBroker();                                    // closes everything, joins the thread
    QuotaBroker(const QuotaBroker&) = delete;
    QuotaBroker& operator=(const QuotaBroker&) = delete;

    int port() const { return m_port; }
    const QuotaSettings& settings() const { return m_settings; }

    // The accepted publications from the `from`-th on, in the order received.
    std::vector<QuotaPublish> accepted(size_t from = 0) const;
    std::vector<QuotaConnection> connections() const;
    std::vector<QuotaSubscribe> subscribes() const;
    QuotaCounts counts() const;

    // True once at least `count` publications were accepted (throttled, CONNECTs answered,
    // SUBSCRIBEs answered) in total.
    bool waitAccepted(size_t count, std::chrono::milliseconds timeout) const;
    bool waitThrottled(size_t count, std::chrono::milliseconds timeout) const;
    bool waitConnects(size_t count, std::chrono::milliseconds timeout) const;
    bool waitSubscribes(size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Client;
    using Time = std::chrono::steady_clock::time_point;
    // The loop thread's own; every call below runs there with m_mutex held.
    void run();
    void serve(Client& c);
    void handle(Client& c, unsigned char type, unsigned char flags, std::string_view body);
    void connect(Client& c, std::string_view body);
    void publish(Client& c, unsigned char flags, std::string_view body);
    void subscribe(Client& c, unsigned char type, std::string_view body);
    void deliver(std::string_view topic, std::string_view payload);
    bool withinQuota(Client& c, size_t bytes, Time now);
    void send(Client& c, const std::string& data, bool ack = false);
    void closeWith(Client& c, unsigned reason);
    void flush(Client& c);
    template <class Pred> bool waitUntil(std::chrono::milliseconds timeout, Pred pred) const;

    const QuotaSettings m_settings;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex; // guards what follows; held by the loop while it serves
    mutable std::condition_variable m_changed;
    std::vector<QuotaPublish> m_accepted;
    std::vector<QuotaConnection> m_connections;
    std::vector<QuotaSubscribe> m_subscribes;
    QuotaCounts m_counts;
    std::map<std::string, Time> m_lastConnect; // by client id, with oneConnectPerSecond
    size_t m_assigned = 0;
    std::vector<std::unique_ptr<Client>> m_clients;
    std::thread m_thread;
};

} // namespace kro::test
