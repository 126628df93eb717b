#include "support/fake_broker.h"

#include "support/mqtt_wire.h"

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace kro::test {
namespace {

constexpr size_t kMaxPacket = 1 << 20; // larger packets close the connection
constexpr int kPollMs = 50;            // how soon the thread notices the destructor

using namespace wire;

void sendAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return; // the peer is gone; the next read notices
        off += static_cast<size_t>(n);
    }
}

} // namespace

struct FakeBroker::Client {
    int fd = -1;
    int level = 4;
    std::string in;
};

FakeBroker::FakeBroker(FakeBrokerScript script) : m_script(script) {
    m_listen = listenOnLoopback(16, &m_port);
    m_thread = std::thread([this] { run(); });
}

SilentListener::SilentListener(bool full) {
    m_listen = listenOnLoopback(full ? 0 : 16, &m_port);
    if (!full)
        return;
    // A backlog of 0 holds one finished connection; once it is there the
    // kernel drops every further SYN.
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(m_port));
    m_filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_filler < 0 || connect(m_filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (m_filler >= 0)
            close(m_filler);
        close(m_listen);
        throw std::runtime_error("silent listener: the backlog did not fill");
    }
}

SilentListener::~SilentListener() {
    if (m_filler >= 0)
        close(m_filler);
    close(m_listen);
}

FakeBroker::~FakeBroker() {
    m_stop = true;
    m_thread.join();
    close(m_listen);
}

void FakeBroker::run() {
    std::vector<std::unique_ptr<Client>> clients;
    while (!m_stop) {
        std::vector<pollfd> fds{{m_listen, POLLIN, 0}};
        for (const auto& c : clients)
            fds.push_back({c->fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), kPollMs) <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                clients.push_back(std::make_unique<Client>(Client{fd, 4, {}}));
        }
        // fds[i + 1] belongs to clients[i] for the clients that existed before accept.
        for (size_t i = fds.size() - 1; i >= 1; --i) {
            if (!fds[i].revents)
                continue;
            Client& c = *clients[i - 1];
            char buf[4096];
            ssize_t n = recv(c.fd, buf, sizeof buf, 0);
            bool keep = n > 0;
            if (keep) {
                c.in.append(buf, static_cast<size_t>(n));
                keep = serve(c);
            }
            if (!keep) {
                close(c.fd);
                clients.erase(clients.begin() + static_cast<long>(i - 1));
            }
        }
    }
    for (const auto& c : clients)
        close(c->fd);
}

bool FakeBroker::serve(Client& c) {
    for (;;) {
        if (c.in.size() < 2)
            return true;
        size_t head = 0, len = 0;
        bool bad = false;
        if (!header(c.in, &head, &len, &bad))
            return !bad; // length not complete yet, or malformed
        if (len > kMaxPacket)
            return false;
        if (c.in.size() < head + len)
            return true;
        const unsigned char first = static_cast<unsigned char>(c.in[0]);
        const std::string body = c.in.substr(head, len);
        c.in.erase(0, head + len);
        if (!handle(c, first >> 4, first & 0x0f, body))
            return false;
    }
}

bool FakeBroker::handle(Client& c, unsigned char type, unsigned char flags,
                        const std::string& body) {
    Reader r(body);
    switch (type) {
    case CONNECT: {
        FakeConnect info;
        r.str(); // protocol name
        info.protocolLevel = static_cast<int>(r.byte());
        const unsigned connectFlags = r.byte();
        info.keepAlive = static_cast<int>(r.u16());
        info.cleanStart = connectFlags & 0x02;
        c.level = info.protocolLevel;
        if (c.level == 5)
            r.skipProperties();
        info.clientId = r.str();
        if (connectFlags & 0x04) { // will
            if (c.level == 5)
                r.skipProperties();
            r.str();
            r.str();
        }
        if (connectFlags & 0x80)
            info.user = r.str();
        if (connectFlags & 0x40)
            info.password = r.str();
        if (!r.ok())
            return false;
        const char code = static_cast<char>(m_script.connackCode);
        sendAll(c.fd, packet(CONNACK << 4,
                             c.level == 5 ? std::string{0, code, 0} : std::string{0, code}));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connects.push_back(info);
        }
        m_changed.notify_all();
        if (m_script.connackCode == 0 && m_script.disconnectReason && c.level == 5) {
            sendAll(c.fd, packet(DISCONNECT << 4,
                                 std::string{static_cast<char>(m_script.disconnectReason), 0}));
            return false;
        }
        return m_script.connackCode == 0 || !m_script.closeAfterRefusal;
    }
    case SUBSCRIBE:
    case UNSUBSCRIBE: {
        const unsigned id = r.u16();
        if (c.level == 5)
            r.skipProperties();
        std::vector<std::string> filters;
        while (r.more()) {
            filters.push_back(r.str());
            if (type == SUBSCRIBE)
                r.byte(); // subscription options
        }
        if (!r.ok() || filters.empty())
            return false;
        std::string reply = u16(id) + (c.level == 5 ? std::string(1, '\0') : std::string());
        if (type == SUBSCRIBE)
            reply += std::string(filters.size(), static_cast<char>(m_script.subackCode));
        else if (c.level == 5)
            reply += std::string(filters.size(), '\0');
        sendAll(c.fd, packet((type == SUBSCRIBE ? SUBACK : UNSUBACK) << 4, reply));
        if (type == SUBSCRIBE) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_subscriptions.push_back(filters);
        }
        m_changed.notify_all();
        return true;
    }
    case PUBLISH: {
        const int qos = (flags >> 1) & 3;
        r.str(); // topic
        const unsigned id = qos ? r.u16() : 0;
        if (!r.ok())
            return false;
        if (qos)
            sendAll(c.fd, packet((qos == 1 ? PUBACK : PUBREC) << 4, u16(id)));
        return true;
    }
    case PUBREL: {
        const unsigned id = r.u16();
        sendAll(c.fd, packet(PUBCOMP << 4, u16(id)));
        return r.ok();
    }
    case PINGREQ:
        sendAll(c.fd, packet(PINGRESP << 4, {}));
        return true;
    case DISCONNECT:
        return false;
    default:
        return true;
    }
}

std::vector<FakeConnect> FakeBroker::connects() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connects;
}

std::vector<std::vector<std::string>> FakeBroker::subscriptions() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscriptions;
}

bool FakeBroker::waitConnects(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_connects.size() >= count; });
}

bool FakeBroker::waitSubscriptions(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_subscriptions.size() >= count; });
}

} // namespace kro::test
