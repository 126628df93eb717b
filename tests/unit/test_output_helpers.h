#pragma once

// Hand-built messages, property lists and records for the output layer's tests.

#include <cstdlib>
#include <cstring>
#include <string>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "client/client_shared.h"
#include "client/sub_client_output.h"
#include "support/capture.h"

namespace kro::test {

// A received message. The payload lives in a heap block of exactly its length,
// as a library buffer may: anything reading past the end shows up under
// AddressSanitizer.
class Message {
public:
    Message(const std::string& topic, const std::string& payload, int qos = 0, bool retain = false,
            int mid = 0)
        : m_topic(topic) {
        m_msg.mid = mid;
        m_msg.topic = const_cast<char*>(m_topic.c_str());
        m_msg.payloadlen = static_cast<int>(payload.size());
        m_msg.payload = payload.empty() ? nullptr : std::malloc(payload.size());
        if (m_msg.payload)
            std::memcpy(m_msg.payload, payload.data(), payload.size());
        m_msg.qos = qos;
        m_msg.retain = retain;
    }
    ~Message() { std::free(m_msg.payload); }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    const mosquitto_message* get() const { return &m_msg; }

private:
    std::string m_topic;
    mosquitto_message m_msg{};
};

// An owned MQTT v5 property list.
class Properties {
public:
    Properties() = default;
    ~Properties() { mosquitto_property_free_all(&m_list); }
    Properties(const Properties&) = delete;
    Properties& operator=(const Properties&) = delete;

    mosquitto_property** out() { return &m_list; }
    const mosquitto_property* get() const { return m_list; }

private:
    mosquitto_property* m_list = nullptr;
};

// A subscriber's record with its defaults, optionally with a -F format.
class Record {
public:
    explicit Record(const char* format = nullptr) {
        init_config(&m_cfg, CLIENT_SUB);
        if (format)
            m_cfg.format = strdup(format);
    }
    ~Record() { client_config_cleanup(&m_cfg); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    mosq_config* operator->() { return &m_cfg; }
    mosq_config* get() { return &m_cfg; }

private:
    mosq_config m_cfg;
};

struct Printed {
    std::string out;
    std::string err;
};

// print_message with both standard streams captured.
inline Printed print_captured(mosq_config* lcfg, const mosquitto_message* message,
                              const mosquitto_property* properties) {
    CaptureBoth capture;
    print_message(lcfg, message, properties);
    Printed printed;
    printed.out = capture.out.take();
    printed.err = capture.err.take();
    return printed;
}

} // namespace kro::test
