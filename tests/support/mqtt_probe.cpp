#include "support/mqtt_probe.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

#include <mqtt_protocol.h>

#include "support/certs.h"

namespace kro::test {
namespace {

constexpr int kKeepAlive = 60;
constexpr size_t kMaxErrors = 100;
constexpr auto kPublishTimeout = std::chrono::seconds(10);
constexpr int kLoopMs = 50;                                  // how soon the probe notices its end
constexpr auto kRetryDelay = std::chrono::milliseconds(250); // between connection attempts
constexpr auto kLoopStep = std::chrono::milliseconds(50);

void initLibrary() {
    // Once per process and never cleaned up: the code under test may still be using the
    // library (and its TLS state) in this process when a probe goes away.
    static const int rc = mosquitto_lib_init();
    if (rc != MOSQ_ERR_SUCCESS)
        throw std::runtime_error("mosquitto_lib_init failed");
}

std::string uniqueId(const char* kind) {
    static std::atomic<int> counter{0};
    return std::string(kind) + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

// A client configured for `c`; throws on a bad set-up (the client is not leaked).
mosquitto* newClient(const Connection& c, const char* kind, void* userdata) {
    initLibrary();
    const std::string id = c.clientId.empty() ? uniqueId(kind) : c.clientId;
    mosquitto* m = mosquitto_new(id.c_str(), true, userdata);
    if (!m)
        throw std::runtime_error("mosquitto_new failed");
    int rc = mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, c.protocol);
    if (rc == MOSQ_ERR_SUCCESS && !c.user.empty())
        rc = mosquitto_username_pw_set(m, c.user.c_str(),
                                       c.password.empty() ? nullptr : c.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && !c.caFile.empty())
        rc = mosquitto_tls_set(m, c.caFile.c_str(), nullptr,
                               c.certFile.empty() ? nullptr : c.certFile.c_str(),
                               c.keyFile.empty() ? nullptr : c.keyFile.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(m);
        throw std::runtime_error(std::string("test client set-up failed: ") +
                                 mosquitto_strerror(rc));
    }
    return m;
}

Message toMessage(const mosquitto_message* msg, const mosquitto_property* props) {
    Message m;
    m.topic = msg->topic ? msg->topic : "";
    if (msg->payload && msg->payloadlen > 0)
        m.payload.assign(static_cast<const char*>(msg->payload),
                         static_cast<size_t>(msg->payloadlen));
    m.qos = msg->qos;
    m.retain = msg->retain;
    if (!props)
        return m;

    char* name = nullptr;
    char* value = nullptr;
    for (const mosquitto_property* p = mosquitto_property_read_string_pair(
             props, MQTT_PROP_USER_PROPERTY, &name, &value, false);
         p;
         p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, true)) {
        m.userProperties.emplace_back(name ? name : "", value ? value : "");
        std::free(name);
        std::free(value);
        name = value = nullptr;
    }
    auto readString = [&](int id, std::optional<std::string>& out) {
        char* s = nullptr;
        if (mosquitto_property_read_string(props, id, &s, false)) {
            out = s ? s : "";
            std::free(s);
        }
    };
    readString(MQTT_PROP_CONTENT_TYPE, m.contentType);
    readString(MQTT_PROP_RESPONSE_TOPIC, m.responseTopic);
    void* data = nullptr;
    uint16_t len = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &len, false)) {
        m.correlationData = std::string(static_cast<const char*>(data), len);
        std::free(data);
    }
    uint8_t format = 0;
    if (mosquitto_property_read_byte(props, MQTT_PROP_PAYLOAD_FORMAT_INDICATOR, &format, false))
        m.payloadFormat = format;
    uint32_t expiry = 0;
    if (mosquitto_property_read_int32(props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry, false))
        m.messageExpiry = expiry;
    return m;
}

} // namespace

Connection plainConnection(int port, int protocol) {
    Connection c;
    c.port = port;
    c.protocol = protocol;
    return c;
}

Connection tlsConnection(int port, bool clientCert, int protocol) {
    const Certs& certs = testCerts();
    Connection c = plainConnection(port, protocol);
    c.caFile = certs.caCert;
    if (clientCert) {
        c.certFile = certs.clientCert;
        c.keyFile = certs.clientKey;
    }
    return c;
}

Probe::Probe(ProbeOptions options) : m_options(std::move(options)) {
    m_mosq = newClient(m_options.connection, "probe", this);
    mosquitto_connect_v5_callback_set(m_mosq, onConnect);
    mosquitto_subscribe_v5_callback_set(m_mosq, onSubscribe);
    mosquitto_message_v5_callback_set(m_mosq, onMessage);
    mosquitto_log_callback_set(m_mosq, onLog);
    m_thread = std::thread([this] { run(); });
}

Probe::~Probe() {
    m_stop = true;
    m_thread.join();
    mosquitto_destroy(m_mosq);
}

// Our own network loop rather than mosquitto_loop_start: the library's loop gives up after
// some failures (a first connect to a broker not yet running, a TLS error), while a probe must
// keep trying until it is destroyed, and must stop promptly when asked.
void Probe::run() {
    bool connected = false;
    while (!m_stop) {
        if (!connected)
            connected = mosquitto_connect(m_mosq, "127.0.0.1", m_options.connection.port,
                                          kKeepAlive) == MOSQ_ERR_SUCCESS;
        if (connected)
            connected = mosquitto_loop(m_mosq, kLoopMs, 1) == MOSQ_ERR_SUCCESS;
        for (auto wait = kRetryDelay; !connected && !m_stop && wait.count() > 0; wait -= kLoopStep)
            std::this_thread::sleep_for(kLoopStep);
    }
    if (connected && mosquitto_disconnect(m_mosq) == MOSQ_ERR_SUCCESS)
        mosquitto_loop(m_mosq, kLoopMs, 1);
}

void Probe::onConnect(mosquitto* mosq, void* self, int rc, int, const mosquitto_property*) {
    Probe& p = *static_cast<Probe*>(self);
    int mid = -1;
    if (rc == 0 && !p.m_options.topics.empty()) {
        std::vector<char*> topics;
        for (std::string& t : p.m_options.topics)
            topics.push_back(t.data());
        if (mosquitto_subscribe_multiple(mosq, &mid, static_cast<int>(topics.size()), topics.data(),
                                         p.m_options.qos, 0, nullptr) != MOSQ_ERR_SUCCESS)
            mid = -1;
    }
    std::lock_guard<std::mutex> lock(p.m_mutex);
    p.m_connack = rc;
    ++p.m_connacks;
    p.m_subscribeMid = mid;
    if (rc == 0 && p.m_options.topics.empty())
        ++p.m_sessions;
    p.m_changed.notify_all();
}

void Probe::onSubscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                        const mosquitto_property*) {
    Probe& p = *static_cast<Probe*>(self);
    std::lock_guard<std::mutex> lock(p.m_mutex);
    p.m_granted.assign(granted, granted + count);
    ++p.m_subacks;
    if (mid == p.m_subscribeMid &&
        std::all_of(p.m_granted.begin(), p.m_granted.end(), [](int q) { return q < 0x80; }))
        ++p.m_sessions;
    p.m_changed.notify_all();
}

void Probe::onMessage(mosquitto*, void* self, const mosquitto_message* msg,
                      const mosquitto_property* props) {
    Probe& p = *static_cast<Probe*>(self);
    Message m = toMessage(msg, props);
    std::lock_guard<std::mutex> lock(p.m_mutex);
    p.m_messages.push_back(std::move(m));
    p.m_changed.notify_all();
}

void Probe::onLog(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR)
        return;
    Probe& p = *static_cast<Probe*>(self);
    std::lock_guard<std::mutex> lock(p.m_mutex);
    if (p.m_errors.size() < kMaxErrors)
        p.m_errors.emplace_back(text ? text : "");
    p.m_changed.notify_all();
}

template <class Pred> bool Probe::waitUntil(std::chrono::milliseconds timeout, Pred pred) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, pred);
}

bool Probe::waitConnected(std::chrono::milliseconds timeout, int sessions) {
    return waitUntil(timeout, [&] { return m_sessions >= sessions; });
}

bool Probe::waitConnack(std::chrono::milliseconds timeout) {
    return waitUntil(timeout, [&] { return m_connacks > 0; });
}

bool Probe::waitSuback(std::chrono::milliseconds timeout) {
    return waitUntil(timeout, [&] { return m_subacks > 0; });
}

bool Probe::waitError(std::chrono::milliseconds timeout) {
    return waitUntil(timeout, [&] { return !m_errors.empty(); });
}

bool Probe::waitFor(size_t count, std::chrono::milliseconds timeout) {
    return waitUntil(timeout, [&] { return m_messages.size() >= count; });
}

std::vector<Message> Probe::messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

int Probe::connackCode() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connack;
}

std::vector<int> Probe::grantedQos() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_granted;
}

std::vector<std::string> Probe::errors() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errors;
}

namespace {

// State of one publish() call; its client runs on the calling thread only.
struct PublishState {
    int connack = -1;
    std::vector<std::pair<int, int>> done; // (mid, reason) of completed publications
    bool disconnected = false;
};

// Runs the client's loop until `ready` or the deadline; false on a lost connection or timeout.
template <class Pred>
bool pump(mosquitto* m, std::chrono::steady_clock::time_point deadline, Pred ready) {
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (mosquitto_loop(m, 100, 1) != MOSQ_ERR_SUCCESS)
            return ready();
    }
    return true;
}

} // namespace

bool publish(const Connection& connection, const std::string& topic, const std::string& payload,
             int qos, bool retain, const mosquitto_property* properties) {
    PublishState st;
    mosquitto* m = newClient(connection, "publish", &st);
    mosquitto_connect_v5_callback_set(
        m, [](mosquitto*, void* s, int rc, int, const mosquitto_property*) {
            static_cast<PublishState*>(s)->connack = rc;
        });
    // Recorded by message id: for QoS 0 the callback may run before publish returns the id.
    mosquitto_publish_v5_callback_set(
        m, [](mosquitto*, void* s, int mid, int reason, const mosquitto_property*) {
            static_cast<PublishState*>(s)->done.emplace_back(mid, reason);
        });
    mosquitto_disconnect_v5_callback_set(m,
                                         [](mosquitto*, void* s, int, const mosquitto_property*) {
                                             static_cast<PublishState*>(s)->disconnected = true;
                                         });

    const auto deadline = std::chrono::steady_clock::now() + kPublishTimeout;
    bool ok = mosquitto_connect(m, "127.0.0.1", connection.port, kKeepAlive) == MOSQ_ERR_SUCCESS &&
              pump(m, deadline, [&] { return st.connack >= 0; }) && st.connack == 0;
    int mid = -1;
    ok = ok && mosquitto_publish_v5(m, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                    payload.data(), qos, retain, properties) == MOSQ_ERR_SUCCESS;
    auto finished = [&] {
        return std::any_of(st.done.begin(), st.done.end(),
                           [&](const std::pair<int, int>& d) { return d.first == mid; });
    };
    ok = ok && pump(m, deadline, finished);
    ok = ok && std::none_of(st.done.begin(), st.done.end(), [&](const std::pair<int, int>& d) {
             return d.first == mid && d.second >= 0x80;
         });
    if (mosquitto_disconnect(m) == MOSQ_ERR_SUCCESS)
        pump(m, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(2)),
             [&] { return st.disconnected; });
    mosquitto_destroy(m);
    return ok;
}

bool publish(int port, const std::string& topic, const std::string& payload, int qos, bool retain) {
    return publish(plainConnection(port), topic, payload, qos, retain);
}

} // namespace kro::test
