// A load generator and a counting probe on persistent libmosquitto
// connections, for the benchmarks that drive traffic through a broker.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <mosquitto.h>

namespace kro::bench {

// One publishing connection on the calling thread (no network thread):
// publish() writes at once as far as the socket takes it.
class Publisher {
public:
    explicit Publisher(int port); // connected and acknowledged; throws otherwise
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // QoS 0. Keeps the library's queue short by writing out what the socket
    // did not take every `flushEvery` messages.
    void publish(const std::string& topic, const std::string& payload, int flushEvery = 64);
    // Writes out everything still queued (bounded by `timeoutMs`).
    bool drain(int timeoutMs = 10000);

private:
    mosquitto* m_mosq = nullptr;
    long m_sinceFlush = 0;
};

// A subscriber on a network thread of its own that hands every message to a
// function (called on that thread).
class Listener {
public:
    using Handler = std::function<void(const std::string& topic, const std::string& payload)>;
    // Subscribed (SUBACK received) when the constructor returns; throws otherwise.
    // With a client id the session is persistent: a broker that keeps its
    // state across a restart goes on queueing for it while it reconnects.
    Listener(int port, const std::string& topic, Handler handler, int qos = 0,
             const std::string& clientId = "");
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

private:
    static void onMessage(mosquitto*, void*, const mosquitto_message*);
    static void onSubscribe(mosquitto*, void*, int, int, const int*);

    mosquitto* m_mosq = nullptr;
    Handler m_handler;
    std::atomic<bool> m_subscribed{false};
};

// mosquitto_lib_init / cleanup for the benchmark's own clients.
struct MosquittoLib {
    MosquittoLib() { mosquitto_lib_init(); }
    ~MosquittoLib() { mosquitto_lib_cleanup(); }
};

} // namespace kro::bench
