#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kro::test {

// What the fake broker answers.
struct FakeBrokerScript {
    // Reason code of every CONNACK, in the format of the client's protocol level (e.g. 132
    // under MQTT 5, 5 under 3.1.1).
    int connackCode = 0;
    // After a refusing CONNACK: close the connection at once, or leave it open for the
    // client to close.
    bool closeAfterRefusal = true;
    // Code returned for every topic filter of every SUBSCRIBE (0x80: refused).
    int subackCode = 0x80;
    // Not 0: an MQTT 5 client gets a DISCONNECT with this reason right after an accepting
    // CONNACK, and the connection is closed.
    int disconnectReason = 0;
};

// What a client sent in its CONNECT.
struct FakeConnect {
    int protocolLevel = 0; // 3, 4 or 5
    std::string clientId;
    std::optional<std::string> user, password;
    int keepAlive = 0;
    bool cleanStart = false;
};

// A scripted MQTT broker on a free loopback port (127.0.0.1), for answers a real broker will
// not give on demand. It serves any number of connections, one after another or at once, on
// a thread of its own: CONNECT gets the scripted CONNACK, SUBSCRIBE the scripted SUBACK,
// UNSUBSCRIBE, PUBLISH (QoS 1 and 2), PUBREL and PINGREQ their acknowledgements; DISCONNECT
// or a malformed packet closes the connection. Thread-safe.
class FakeBroker {
public:
    explicit FakeBroker(FakeBrokerScript script = {}); // throws std::runtime_error
    ~FakeBroker();                                     // closes everything, joins the thread
    FakeBroker(const FakeBroker&) = delete;
    FakeBroker& operator=(const FakeBroker&) = delete;

    int port() const { return m_port; }

    std::vector<FakeConnect> connects() const;
    // The topic filters of every SUBSCRIBE, one list per request.
    std::vector<std::vector<std::string>> subscriptions() const;
    // True once at least `count` CONNECTs (or SUBSCRIBEs) have been answered.
    bool waitConnects(size_t count, std::chrono::milliseconds timeout) const;
    bool waitSubscriptions(size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Client;
    void run();
    bool serve(Client& client); // false: close the connection
    bool handle(Client& client, unsigned char type, unsigned char flags, const std::string& body);

    FakeBrokerScript m_script;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<FakeConnect> m_connects;
    std::vector<std::vector<std::string>> m_subscriptions;
    std::thread m_thread;
};

// A loopback listener that never accepts: a connection to it completes in the
// kernel and is never answered (no CONNACK, no acknowledgement). With `full`
// its backlog is filled first, so that a new connect never completes at all.
class SilentListener {
public:
    explicit SilentListener(bool full); // throws std::runtime_error
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    int port() const { return m_port; }

private:
    int m_listen = -1;
    int m_port = 0;
    int m_filler = -1;
};

} // namespace kro::test
