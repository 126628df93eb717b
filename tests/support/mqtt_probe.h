#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <mosquitto.h>

namespace kro::test {

// How a test client reaches the broker (always 127.0.0.1).
struct Connection {
    int port = 0;
    int protocol = 4; // MQTT protocol level: 3 (3.1), 4 (3.1.1) or 5
    // TLS when caFile is set; certFile and keyFile add a client certificate.
    std::string caFile, certFile, keyFile;
    std::string user, password; // credentials when user is set (the password when not empty)
    std::string clientId;       // a unique one is made up when empty
};

// One message as the subscriber saw it.
struct Message {
    std::string topic;
    std::string payload; // raw bytes
    int qos = 0;
    bool retain = false;
    // MQTT v5 properties (empty or unset under 3.1.1).
    std::vector<std::pair<std::string, std::string>> userProperties; // in order
    std::optional<std::string> contentType;
    std::optional<std::string> correlationData; // raw bytes
    std::optional<std::string> responseTopic;
    std::optional<uint8_t> payloadFormat;
    std::optional<uint32_t> messageExpiry;
};

struct ProbeOptions {
    Connection connection;
    std::vector<std::string> topics; // subscribed in one request after every accepted connect
    int qos = 0;
};

// A subscriber on a network thread of its own. It connects at construction and keeps
// reconnecting (every quarter second) while the broker is unreachable, goes away or refuses
// it, subscribing again after each accepted connect. Every method is thread-safe.
class Probe {
public:
    explicit Probe(ProbeOptions options); // throws std::runtime_error on a bad set-up only
    ~Probe();                             // disconnects and ends the network thread
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // True once `sessions` connections in total were accepted and every topic of their
    // subscription granted (use 2 to wait for the reconnect after a broker restart).
    bool waitConnected(std::chrono::milliseconds timeout, int sessions = 1);
    // True once any CONNACK (accepting or refusing) has arrived; see connackCode().
    bool waitConnack(std::chrono::milliseconds timeout);
    // True once any SUBACK has arrived; see grantedQos().
    bool waitSuback(std::chrono::milliseconds timeout);
    // True once the library has reported an error (e.g. a failed TLS handshake); see errors().
    bool waitError(std::chrono::milliseconds timeout);
    // True once at least `count` messages have arrived.
    bool waitFor(size_t count, std::chrono::milliseconds timeout);

    std::vector<Message> messages() const;
    int connackCode() const;                 // result of the last CONNACK, -1 before any
    std::vector<int> grantedQos() const;     // codes of the last SUBACK, one per topic
    std::vector<std::string> errors() const; // library log lines of error level (TLS failures)

private:
    void run();
    static void onConnect(mosquitto*, void*, int, int, const mosquitto_property*);
    static void onSubscribe(mosquitto*, void*, int, int, const int*, const mosquitto_property*);
    static void onMessage(mosquitto*, void*, const mosquitto_message*, const mosquitto_property*);
    static void onLog(mosquitto*, void*, int, const char*);
    template <class Pred> bool waitUntil(std::chrono::milliseconds timeout, Pred pred) const;

    ProbeOptions m_options;
    mosquitto* m_mosq = nullptr;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    int m_subscribeMid = -1;
    int m_connacks = 0;
    int m_subacks = 0;
    int m_sessions = 0;
    int m_connack = -1;
    std::vector<int> m_granted;
    std::vector<Message> m_messages;
    std::vector<std::string> m_errors;
};

// Publishes one message and waits (bounded) until it has left (QoS 0) or been acknowledged
// (QoS 1 and 2), then disconnects. `properties` (MQTT v5 only) stay owned by the caller.
// False when the broker could not be reached, refused the client or did not acknowledge.
bool publish(const Connection& connection, const std::string& topic, const std::string& payload,
             int qos = 0, bool retain = false, const mosquitto_property* properties = nullptr);
// The same on a plain anonymous listener with MQTT 3.1.1.
bool publish(int port, const std::string& topic, const std::string& payload, int qos = 0,
             bool retain = false);

// A Connection for the plain listener at `port`, and one that trusts the test CA on a TLS
// listener (with the test client certificate when `clientCert`).
Connection plainConnection(int port, int protocol = 4);
Connection tlsConnection(int port, bool clientCert, int protocol = 4);

} // namespace kro::test
