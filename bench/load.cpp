#include "load.h"

#include <chrono>
#include <stdexcept>

#include "bench_util.h"

namespace kro::bench {

namespace {

void onConnectFlag(mosquitto*, void* obj, int rc) {
    if (rc == 0)
        static_cast<std::atomic<bool>*>(obj)->store(true);
}

} // namespace

Publisher::Publisher(int port) {
    std::atomic<bool> connected{false};
    m_mosq = mosquitto_new(nullptr, true, &connected);
    if (!m_mosq)
        throw std::runtime_error("mosquitto_new failed");
    mosquitto_connect_callback_set(m_mosq, onConnectFlag);
    if (mosquitto_connect(m_mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("the load generator cannot connect");
    const int64_t deadline = nowNs() + 10000000000LL;
    while (!connected && nowNs() < deadline)
        mosquitto_loop(m_mosq, 50, 1);
    // The flag is the connect callback's only while this constructor runs.
    mosquitto_user_data_set(m_mosq, nullptr);
    mosquitto_connect_callback_set(m_mosq, nullptr);
    if (!connected)
        throw std::runtime_error("the load generator got no CONNACK");
}

Publisher::~Publisher() {
    drain(2000);
    mosquitto_disconnect(m_mosq);
    mosquitto_destroy(m_mosq);
}

void Publisher::publish(const std::string& topic, const std::string& payload, int flushEvery) {
    mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 0, false);
    if (++m_sinceFlush >= flushEvery) {
        m_sinceFlush = 0;
        while (mosquitto_want_write(m_mosq)) {
            if (mosquitto_loop(m_mosq, 10, 1) != MOSQ_ERR_SUCCESS)
                break;
        }
    }
}

bool Publisher::drain(int timeoutMs) {
    const int64_t deadline = nowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    while (mosquitto_want_write(m_mosq)) {
        if (nowNs() > deadline || mosquitto_loop(m_mosq, 10, 1) != MOSQ_ERR_SUCCESS)
            return false;
    }
    // Whatever the broker sent meanwhile (a PINGRESP) is read too.
    mosquitto_loop(m_mosq, 0, 1);
    return true;
}

Listener::Listener(int port, const std::string& topic, Handler handler, int qos,
                   const std::string& clientId)
    : m_handler(std::move(handler)) {
    m_mosq = mosquitto_new(clientId.empty() ? nullptr : clientId.c_str(), clientId.empty(), this);
    if (!m_mosq)
        throw std::runtime_error("mosquitto_new failed");
    mosquitto_message_callback_set(m_mosq, onMessage);
    mosquitto_subscribe_callback_set(m_mosq, onSubscribe);
    if (mosquitto_connect(m_mosq, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_subscribe(m_mosq, nullptr, topic.c_str(), qos) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(m_mosq) != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("the listener cannot connect");
    if (!waitUntil([this] { return m_subscribed.load(); }, std::chrono::seconds(10)))
        throw std::runtime_error("the listener got no SUBACK");
}

Listener::~Listener() {
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, false);
    mosquitto_destroy(m_mosq);
}

void Listener::onMessage(mosquitto*, void* obj, const mosquitto_message* m) {
    auto* self = static_cast<Listener*>(obj);
    self->m_handler(m->topic, std::string(static_cast<const char*>(m->payload),
                                          static_cast<size_t>(m->payloadlen)));
}

void Listener::onSubscribe(mosquitto*, void* obj, int, int, const int*) {
    static_cast<Listener*>(obj)->m_subscribed = true;
}

} // namespace kro::bench
