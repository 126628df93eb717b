#pragma once

// MQTT packet reading and writing shared by the test brokers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace kro::test::wire {

enum : unsigned char {
    CONNECT = 1,
    CONNACK = 2,
    PUBLISH = 3,
    PUBACK = 4,
    PUBREC = 5,
    PUBREL = 6,
    PUBCOMP = 7,
    SUBSCRIBE = 8,
    SUBACK = 9,
    UNSUBSCRIBE = 10,
    UNSUBACK = 11,
    PINGREQ = 12,
    PINGRESP = 13,
    DISCONNECT = 14,
};

// Bounds-checked reading of a packet body; any overrun clears ok(). The body must outlive it.
class Reader {
public:
    explicit Reader(std::string_view s) : m_s(s) {}
    bool ok() const { return m_ok; }
    bool more() const { return m_ok && m_pos < m_s.size(); }

    unsigned byte() {
        if (!need(1))
            return 0;
        return static_cast<unsigned char>(m_s[m_pos++]);
    }
    unsigned u16() {
        unsigned hi = byte();
        return (hi << 8) | byte();
    }
    // A length-prefixed string as a view into the body.
    std::string_view view() {
        size_t len = u16();
        if (!need(len))
            return {};
        std::string_view out = m_s.substr(m_pos, len);
        m_pos += len;
        return out;
    }
    std::string str() { return std::string(view()); }
    // Everything not read yet (a PUBLISH payload).
    std::string_view rest() {
        std::string_view out = m_ok ? m_s.substr(m_pos) : std::string_view();
        m_pos = m_s.size();
        return out;
    }
    void skipProperties() {
        size_t len = 0;
        for (int shift = 0, i = 0;; shift += 7, ++i) {
            unsigned b = byte();
            len |= static_cast<size_t>(b & 0x7f) << shift;
            if (!(b & 0x80))
                break;
            if (i == 3) {
                m_ok = false;
                return;
            }
        }
        if (need(len))
            m_pos += len;
    }

private:
    bool need(size_t n) {
        if (m_pos + n > m_s.size())
            m_ok = false;
        return m_ok;
    }
    std::string_view m_s;
    size_t m_pos = 0;
    bool m_ok = true;
};

inline std::string u16(unsigned v) {
    return std::string{static_cast<char>((v >> 8) & 0xff), static_cast<char>(v & 0xff)};
}

inline std::string varint(size_t len) {
    std::string out;
    do {
        unsigned char b = len & 0x7f;
        len >>= 7;
        out += static_cast<char>(len ? b | 0x80 : b);
    } while (len);
    return out;
}

inline std::string packet(unsigned char first, std::string_view body) {
    std::string out(1, static_cast<char>(first));
    out += varint(body.size());
    out += body;
    return out;
}

// The fixed header at the start of `in`: false while incomplete or when malformed (`*bad`);
// else the header's size and the body's length.
inline bool header(std::string_view in, size_t* headerSize, size_t* bodySize, bool* bad) {
    *bad = false;
    size_t len = 0, pos = 1;
    for (int shift = 0;; shift += 7, ++pos) {
        if (pos >= in.size())
            return false;
        if (pos > 4) {
            *bad = true; // more than four length bytes
            return false;
        }
        unsigned b = static_cast<unsigned char>(in[pos]);
        len |= static_cast<size_t>(b & 0x7f) << shift;
        if (!(b & 0x80))
            break;
    }
    *headerSize = pos + 1;
    *bodySize = len;
    return true;
}

// A listening socket on a free loopback port; its port goes to `*port`.
inline int listenOnLoopback(int backlog, int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0)
            close(fd);
        throw std::runtime_error("cannot listen on a loopback port");
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

} // namespace kro::test::wire
