#include "support/quota_broker.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <stdexcept>

#include <mosquitto.h>

#include "support/mqtt_wire.h"

namespace kro::test {
namespace {

using namespace wire;
using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50; // how soon the thread notices the destructor
constexpr size_t kReadChunk = 64 * 1024;
constexpr int kReadsPerTurn = 4;                      // so that no connection starves the rest
constexpr int kAcceptsPerTurn = 64;                   // likewise for a burst of new connections
constexpr size_t kProtocolMaxPacket = 268435455 + 5;  // four length bytes' worth
constexpr auto kCloseGrace = std::chrono::seconds(1); // for the peer to read our last packet
constexpr auto kConnectInterval = std::chrono::seconds(1);
constexpr auto kWindow = std::chrono::seconds(1);
constexpr size_t kCompactAt = 1 << 20; // sent output kept before the buffer is shifted

// Reason codes (MQTT 5) and their 3.1.1 stand-ins.
enum : unsigned {
    kMalformed = 0x81,
    kProtocolError = 0x82,
    kBadProtocolVersion = 0x84,
    kTakenOver = 0x8E,
    kFilterInvalid = 0x8F,
    kTopicInvalid = 0x90,
    kNoSubscription = 0x11,
    kReceiveMaximumExceeded = 0x93,
    kPacketTooLarge = 0x95,
    kQuotaExceeded = 0x97,
    kQosNotSupported = 0x9B,
    kConnectionRate = 0x9F,
    kRefusedV3 = 0x80,
};

std::string byte(unsigned v) {
    return std::string(1, static_cast<char>(v));
}

std::string u32(uint32_t v) {
    return u16(v >> 16) + u16(v & 0xffff);
}

} // namespace

struct QuotaBroker::Client {
    int fd = -1;
    int level = 0; // protocol level; 0 until CONNECT
    std::string id;
    size_t record = 0; // in m_connections
    std::string in, out;
    size_t outPos = 0;                // of out, sent already
    uint64_t queued = 0, written = 0; // bytes ever queued and sent
    std::deque<uint64_t> ackEnds;     // where each acknowledgement not yet sent ends
    std::set<unsigned> qos2;          // QoS 2 packet ids awaiting their PUBREL
    double packets = 0, bytes = 0;    // the two buckets
    Time refilled;
    std::deque<Time> window; // accepted PUBLISH of the last second
    std::vector<std::pair<std::string, unsigned>> filters;
    bool closing = false, shut = false, dead = false;
    Time closeBy;
};

QuotaBroker::QuotaBroker(QuotaSettings settings) : m_settings(settings) {
    m_listen = listenOnLoopback(64, &m_port);
    if (fcntl(m_listen, F_SETFL, fcntl(m_listen, F_GETFL) | O_NONBLOCK) != 0) {
        close(m_listen);
        throw std::runtime_error("quota broker: cannot make its listener non-blocking");
    }
    m_thread = std::thread([this] { run(); });
}

QuotaBroker::~QuotaBroker() {
    m_stop = true;
    m_thread.join();
    close(m_listen);
}

void QuotaBroker::run() {
    std::vector<char> buf(kReadChunk);
    std::vector<pollfd> fds;
    while (!m_stop) {
        fds.assign(1, {m_listen, POLLIN, 0});
        for (const auto& c : m_clients) {
            const bool pending = c->outPos < c->out.size();
            fds.push_back({c->fd, static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0});
        }
        if (poll(fds.data(), fds.size(), kPollMs) < 0 && errno != EINTR)
            break;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // fds[i + 1] belongs to m_clients[i]: nothing is added or removed before the sweep.
            for (size_t i = 0; i < m_clients.size(); ++i) {
                Client& c = *m_clients[i];
                for (int turn = 0; !c.dead && turn < kReadsPerTurn &&
                                   (fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR));
                     ++turn) {
                    const ssize_t n = recv(c.fd, buf.data(), buf.size(), MSG_DONTWAIT);
                    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                        break;
                    if (n <= 0) {
                        c.dead = true;
                        break;
                    }
                    if (c.closing)
                        continue; // what a closing peer still sends is dropped
                    c.in.append(buf.data(), static_cast<size_t>(n));
                    serve(c);
                    if (static_cast<size_t>(n) < buf.size())
                        break;
                }
            }
            // Deliveries queue output on any connection, so every one is flushed.
            const Time now = Clock::now();
            for (const auto& c : m_clients) {
                if (!c->dead)
                    flush(*c);
                if (c->closing && now >= c->closeBy)
                    c->dead = true;
            }
            for (auto it = m_clients.begin(); it != m_clients.end();) {
                if ((*it)->dead) {
                    close((*it)->fd);
                    it = m_clients.erase(it);
                } else {
                    ++it;
                }
            }
            for (int i = 0; i < kAcceptsPerTurn; ++i) {
                const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0)
                    break;
                // Acknowledgements go out at once: clients wait for them.
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                m_clients.push_back(std::make_unique<Client>());
                m_clients.back()->fd = fd;
            }
        }
        m_changed.notify_all();
    }
    for (const auto& c : m_clients)
        close(c->fd);
}

void QuotaBroker::serve(Client& c) {
    const size_t limit = m_settings.maxPacketSize ? m_settings.maxPacketSize : kProtocolMaxPacket;
    size_t pos = 0;
    while (!c.dead && !c.closing && c.in.size() - pos >= 2) {
        const std::string_view rest = std::string_view(c.in).substr(pos);
        size_t head = 0, len = 0;
        bool bad = false;
        if (!header(rest, &head, &len, &bad)) {
            if (bad)
                closeWith(c, kMalformed);
            break;
        }
        // Judged on the header alone, so that an oversized packet is never buffered.
        if (head + len > limit) {
            ++m_counts.oversized;
            closeWith(c, kPacketTooLarge);
            break;
        }
        if (rest.size() < head + len)
            break;
        const auto first = static_cast<unsigned char>(rest[0]);
        pos += head + len;
        handle(c, first >> 4, first & 0x0f, rest.substr(head, len));
    }
    if (c.closing || c.dead)
        c.in.clear();
    else
        c.in.erase(0, pos);
}

void QuotaBroker::handle(Client& c, unsigned char type, unsigned char flags,
                         std::string_view body) {
    if (!c.level && type != CONNECT) {
        closeWith(c, 0); // the first packet must be a CONNECT
        return;
    }
    switch (type) {
    case CONNECT:
        if (c.level)
            closeWith(c, kProtocolError);
        else
            connect(c, body);
        return;
    case PUBLISH:
        publish(c, flags, body);
        return;
    case PUBREL: {
        Reader r(body);
        const unsigned id = r.u16();
        if (!r.ok()) {
            closeWith(c, kMalformed);
            return;
        }
        c.qos2.erase(id);
        send(c, packet(PUBCOMP << 4, u16(id)), true);
        return;
    }
    case SUBSCRIBE:
    case UNSUBSCRIBE:
        subscribe(c, type, body);
        return;
    case PINGREQ:
        send(c, packet(PINGRESP << 4, {}));
        return;
    case DISCONNECT:
        c.dead = true;
        return;
    case PUBACK:
    case PUBREC:
    case PUBCOMP:
        return; // deliveries are QoS 0: nothing awaits these
    default:
        closeWith(c, kProtocolError);
    }
}

void QuotaBroker::connect(Client& c, std::string_view body) {
    Reader r(body);
    const std::string_view name = r.view();
    const int level = static_cast<int>(r.byte());
    const unsigned flags = r.byte();
    r.u16(); // keep-alive: not enforced
    if (level == 5)
        r.skipProperties(); // session expiry and the like: no session outlives its connection
    std::string id(r.view());
    if (flags & 0x04) { // will
        if (level == 5)
            r.skipProperties();
        r.view();
        r.view();
    }
    if (flags & 0x80)
        r.view();
    if (flags & 0x40)
        r.view();
    if (!r.ok() || (flags & 0x01)) {
        closeWith(c, 0);
        return;
    }
    if (level < 3 || level > 5 || name != (level == 3 ? "MQIsdp" : "MQTT")) {
        send(c, packet(CONNACK << 4, level == 5 ? u16(kBadProtocolVersion) + byte(0) : u16(1)));
        closeWith(c, 0);
        return;
    }
    c.level = level;
    const bool assign = id.empty();
    if (assign && (level == 3 || (level == 4 && !(flags & 0x02)))) {
        send(c, packet(CONNACK << 4, u16(2))); // identifier rejected
        closeWith(c, 0);
        return;
    }
    if (assign)
        id = "quota-" + std::to_string(++m_assigned);
    c.id = id;
    const Time now = Clock::now();
    QuotaConnection record;
    record.clientId = id;
    record.protocolLevel = level;
    if (m_settings.oneConnectPerSecond) {
        // Only accepted connects count, so that a client retrying now and then gets in.
        auto last = m_lastConnect.find(id);
        record.refused = last != m_lastConnect.end() && now - last->second < kConnectInterval;
        if (!record.refused)
            m_lastConnect[id] = now;
    }
    m_connections.push_back(record);
    c.record = m_connections.size() - 1;
    if (record.refused) {
        send(c, packet(CONNACK << 4, level == 5 ? u16(kConnectionRate) + byte(0) : u16(3)));
        closeWith(c, 0);
        return;
    }
    // A new connection with a client id takes it over from the old one.
    for (const auto& other : m_clients)
        if (other.get() != &c && other->level && !other->closing && !other->dead && other->id == id)
            closeWith(*other, kTakenOver);
    c.packets = std::max(m_settings.rate, 1.0);
    c.bytes = m_settings.byteRate;
    c.refilled = now;

    std::string reply = u16(0); // no session present, accepted
    if (level == 5) {
        std::string props;
        if (m_settings.receiveMaximum > 0)
            props +=
                byte(0x21) + u16(static_cast<unsigned>(std::min(m_settings.receiveMaximum, 65535)));
        if (m_settings.maxPacketSize > 0)
            props +=
                byte(0x27) +
                u32(static_cast<uint32_t>(std::min<size_t>(m_settings.maxPacketSize, UINT32_MAX)));
        if (assign)
            props += byte(0x12) + u16(static_cast<unsigned>(id.size())) + id;
        reply += varint(props.size()) + props;
    }
    send(c, packet(CONNACK << 4, reply));
}

bool QuotaBroker::withinQuota(Client& c, size_t bytes, Time now) {
    const double dt = std::chrono::duration<double>(now - c.refilled).count();
    c.refilled = now;
    const double rate = m_settings.rate, byteRate = m_settings.byteRate;
    if (rate > 0)
        c.packets = std::min(std::max(rate, 1.0), c.packets + dt * rate);
    if (byteRate > 0)
        c.bytes = std::min(byteRate, c.bytes + dt * byteRate);
    if ((rate > 0 && c.packets < 1) || (byteRate > 0 && c.bytes < static_cast<double>(bytes)))
        return false;
    c.packets -= 1;
    c.bytes -= static_cast<double>(bytes);
    return true;
}

void QuotaBroker::publish(Client& c, unsigned char flags, std::string_view body) {
    const unsigned qos = (flags >> 1) & 3;
    Reader r(body);
    const std::string_view topic = r.view();
    const unsigned id = qos ? r.u16() : 0;
    if (c.level == 5)
        r.skipProperties();
    const std::string_view payload = r.rest();
    if (qos == 3 || !r.ok() || (qos && !id)) {
        closeWith(c, kMalformed);
        return;
    }
    // No topic aliases are offered, so an empty topic is as invalid as a wildcard.
    if (topic.empty() ||
        mosquitto_pub_topic_check2(topic.data(), topic.size()) != MOSQ_ERR_SUCCESS) {
        closeWith(c, kTopicInvalid);
        return;
    }
    if (qos == 2 && m_settings.noQos2) {
        if (c.level == 5)
            send(c, packet(PUBREC << 4, u16(id) + byte(kQosNotSupported)), true);
        else
            closeWith(c, 0); // 3.1.1 has no way to refuse one
        return;
    }
    if (qos == 2 && c.qos2.count(id)) {
        send(c, packet(PUBREC << 4, u16(id))); // a resend of one taken already
        return;
    }
    if (c.level == 5 && qos) {
        // The acknowledgements still unsent here cannot have reached the client when it sent
        // this one, so they were all in flight then.
        const size_t limit = m_settings.receiveMaximum > 0
                                 ? static_cast<size_t>(std::min(m_settings.receiveMaximum, 65535))
                                 : 65535;
        if (c.ackEnds.size() + c.qos2.size() + 1 > limit) {
            ++m_counts.receiveMaximumExceeded;
            closeWith(c, kReceiveMaximumExceeded);
            return;
        }
    }
    QuotaConnection& record = m_connections[c.record];
    const Time now = Clock::now();
    if (!withinQuota(c, topic.size() + payload.size(), now)) {
        ++record.throttled;
        ++m_counts.throttled;
        if (c.level == 5 && qos)
            send(c, packet((qos == 1 ? PUBACK : PUBREC) << 4, u16(id) + byte(kQuotaExceeded)),
                 true);
        return;
    }
    c.window.push_back(now);
    while (now - c.window.front() >= kWindow)
        c.window.pop_front();
    ++record.accepted;
    ++m_counts.accepted;
    record.peakPerSecond = std::max(record.peakPerSecond, c.window.size());
    m_counts.peakPerSecond = std::max(m_counts.peakPerSecond, c.window.size());
    m_accepted.push_back({c.id, std::string(topic), std::string(payload), static_cast<int>(qos),
                          (flags & 1) != 0, now});
    deliver(topic, payload);
    if (qos == 1) {
        send(c, packet(PUBACK << 4, u16(id)), true);
    } else if (qos == 2) {
        c.qos2.insert(id);
        send(c, packet(PUBREC << 4, u16(id)));
    }
}

void QuotaBroker::deliver(std::string_view topic, std::string_view payload) {
    std::string forms[2]; // 3.1.1 and 5, made when first needed
    for (const auto& o : m_clients) {
        if (!o->level || o->closing || o->dead)
            continue;
        const bool match = std::any_of(o->filters.begin(), o->filters.end(), [&](const auto& f) {
            bool result = false;
            return mosquitto_topic_matches_sub2(f.first.data(), f.first.size(), topic.data(),
                                                topic.size(), &result) == MOSQ_ERR_SUCCESS &&
                   result;
        });
        if (!match)
            continue;
        std::string& form = forms[o->level == 5];
        if (form.empty()) {
            std::string body = u16(static_cast<unsigned>(topic.size()));
            body += topic;
            if (o->level == 5)
                body += byte(0); // no properties
            body += payload;
            form = packet(PUBLISH << 4, body);
        }
        send(*o, form);
    }
}

void QuotaBroker::subscribe(Client& c, unsigned char type, std::string_view body) {
    Reader r(body);
    const unsigned id = r.u16();
    if (c.level == 5)
        r.skipProperties();
    std::vector<std::pair<std::string, unsigned>> asked;
    while (r.more()) {
        std::string filter = r.str();
        const unsigned options = type == SUBSCRIBE ? r.byte() : 0;
        asked.emplace_back(std::move(filter), options);
    }
    if (!r.ok() || asked.empty() || !id) {
        closeWith(c, kProtocolError);
        return;
    }
    std::string reply = u16(id) + (c.level == 5 ? byte(0) : std::string());
    auto held = [&](const std::string& f) {
        return std::find_if(c.filters.begin(), c.filters.end(),
                            [&](const auto& h) { return h.first == f; });
    };
    if (type == UNSUBSCRIBE) {
        for (const auto& a : asked) {
            auto it = held(a.first);
            if (c.level == 5)
                reply += byte(it == c.filters.end() ? kNoSubscription : 0u);
            if (it != c.filters.end())
                c.filters.erase(it);
        }
        send(c, packet(UNSUBACK << 4, reply));
        return;
    }
    const bool refuse =
        m_settings.maxFiltersPerSubscribe && asked.size() > m_settings.maxFiltersPerSubscribe;
    QuotaSubscribe record{c.id, {}, !refuse};
    for (const auto& [filter, options] : asked) {
        record.filters.push_back(filter);
        unsigned code;
        if (refuse)
            code = c.level == 5 ? kQuotaExceeded : kRefusedV3;
        else if ((options & 3) == 3 ||
                 mosquitto_sub_topic_check2(filter.data(), filter.size()) != MOSQ_ERR_SUCCESS)
            code = c.level == 5 ? kFilterInvalid : kRefusedV3;
        else
            code = std::min(options & 3, m_settings.noQos2 ? 1u : 2u);
        if (code < 0x80) {
            auto it = held(filter);
            if (it == c.filters.end())
                c.filters.emplace_back(filter, code);
            else
                it->second = code;
        }
        reply += byte(code);
    }
    m_subscribes.push_back(std::move(record));
    send(c, packet(SUBACK << 4, reply));
}

void QuotaBroker::send(Client& c, const std::string& data, bool ack) {
    if (c.dead)
        return;
    if (c.out.size() - c.outPos + data.size() > m_settings.maxOutput) {
        ++m_counts.slowDropped; // it does not read: holding more would only grow memory
        c.dead = true;
        return;
    }
    c.out += data;
    c.queued += data.size();
    if (ack)
        c.ackEnds.push_back(c.queued);
}

void QuotaBroker::closeWith(Client& c, unsigned reason) {
    if (c.closing || c.dead)
        return;
    if (c.level == 5 && reason)
        send(c, packet(DISCONNECT << 4, byte(reason) + byte(0)));
    c.closing = true;
    c.closeBy = Clock::now() + kCloseGrace;
}

void QuotaBroker::flush(Client& c) {
    while (c.outPos < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            c.dead = true;
            return;
        }
        c.outPos += static_cast<size_t>(n);
        c.written += static_cast<uint64_t>(n);
    }
    while (!c.ackEnds.empty() && c.ackEnds.front() <= c.written)
        c.ackEnds.pop_front();
    if (c.outPos == c.out.size()) {
        c.out.clear();
        c.outPos = 0;
    } else if (c.outPos >= kCompactAt) {
        c.out.erase(0, c.outPos);
        c.outPos = 0;
    }
    // A closing connection ends with a FIN after its last packet rather than a reset that
    // could discard it.
    if (c.closing && c.out.empty() && !c.shut) {
        shutdown(c.fd, SHUT_WR);
        c.shut = true;
    }
}

std::vector<QuotaPublish> QuotaBroker::accepted(size_t from) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (from >= m_accepted.size())
        return {};
    return std::vector<QuotaPublish>(m_accepted.begin() + static_cast<long>(from),
                                     m_accepted.end());
}

std::vector<QuotaConnection> QuotaBroker::connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

std::vector<QuotaSubscribe> QuotaBroker::subscribes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscribes;
}

QuotaCounts QuotaBroker::counts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

template <class Pred>
bool QuotaBroker::waitUntil(std::chrono::milliseconds timeout, Pred pred) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, pred);
}

bool QuotaBroker::waitAccepted(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&] { return m_counts.accepted >= count; });
}

bool QuotaBroker::waitThrottled(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&] { return m_counts.throttled >= count; });
}

bool QuotaBroker::waitConnects(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&] { return m_connections.size() >= count; });
}

bool QuotaBroker::waitSubscribes(size_t count, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&] { return m_subscribes.size() >= count; });
}

} // namespace kro::test
