// Arbitrary argument vectors through the option language of every client
// kind, then through a whole load (final checks included). The input is split
// at NUL bytes into the entries after the program name.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <mosquitto.h>

#include "client/client_shared.h"

#include "fuzz_util.h"

namespace {

// A fresh writable argv for every parse: -L cuts its value in place.
class Argv {
public:
    explicit Argv(const std::vector<std::string>& entries) {
        for (const std::string& e : entries) {
            std::vector<char> text(e.begin(), e.end());
            text.push_back('\0');
            m_texts.push_back(std::move(text));
        }
        for (std::vector<char>& t : m_texts)
            m_ptrs.push_back(t.data());
        m_ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(m_texts.size()); }
    char** argv() { return m_ptrs.data(); }

private:
    std::vector<std::vector<char>> m_texts;
    std::vector<char*> m_ptrs;
};

// Never empty: a broker drops the connection for an empty topic.
bool valid_filter(const char* topic) {
    return *topic &&
           mosquitto_validate_utf8(topic, static_cast<int>(std::strlen(topic))) ==
               MOSQ_ERR_SUCCESS &&
           mosquitto_sub_topic_check(topic) == MOSQ_ERR_SUCCESS;
}

bool valid_publish_topic(const char* topic) {
    return *topic &&
           mosquitto_validate_utf8(topic, static_cast<int>(std::strlen(topic))) ==
               MOSQ_ERR_SUCCESS &&
           mosquitto_pub_topic_check(topic) == MOSQ_ERR_SUCCESS;
}

// What a successful parse promises about the record, whatever the input.
void check_record(const mosq_config& c) {
    require(c.qos >= 0 && c.qos <= 2);
    require(c.will_qos >= 0 && c.will_qos <= 2);
    require(c.keepalive >= 5 && c.keepalive <= 65535);
    require(c.random_filter >= 1 && c.random_filter <= 10000);
    require(c.repeat_count >= 1);
    require(c.repeat_delay.tv_sec >= 0 && c.repeat_delay.tv_usec >= 0 &&
            c.repeat_delay.tv_usec < 1000000);
    require(c.session_expiry_interval >= -1 && c.session_expiry_interval <= UINT32_MAX);
    require(!c.message || static_cast<size_t>(c.msglen) == std::strlen(c.message));
    require(!c.will_payload ||
            static_cast<size_t>(c.will_payloadlen) == std::strlen(c.will_payload));
    require(!c.will_topic || valid_publish_topic(c.will_topic));
    require(!c.topic || valid_publish_topic(c.topic));
    require(!c.response_topic || valid_publish_topic(c.response_topic));
    require(c.topic_count >= 0 && (c.topic_count == 0) == (c.topics == nullptr));
    for (int32_t i = 0; i < c.topic_count; i++)
        require(valid_filter(c.topics[i]));
    for (int32_t i = 0; i < c.filter_out_count; i++)
        require(valid_filter(c.filter_outs[i]));
    for (int32_t i = 0; i < c.unsub_topic_count; i++)
        require(valid_filter(c.unsub_topics[i]));
    require(!(c.id && c.id_prefix));
    // Ids fit a packet; numbers never wrapped into range; formats passed their check.
    require(!c.id || std::strlen(c.id) <= 65535);
    require(!c.id_prefix || std::strlen(c.id_prefix) <= 65535);
    require(c.max_inflight >= 1 && c.max_inflight <= INT_MAX);
    require(c.msg_count >= 0 && c.timeout <= INT_MAX);
    require(!c.format || check_format(c.format) == 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No per-user configuration file: the loads see the argument vector only.
    unsetenv("USERPROFILE");
    unsetenv("HOME");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> entries{"prog"};
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i == size || data[i] == '\0') {
            entries.emplace_back(text + start, i - start);
            start = i + 1;
        }
    }

    for (int kind : {CLIENT_PUB, CLIENT_SUB, CLIENT_RR}) {
        mosq_config c;
        init_config(&c, kind);
        Argv args(entries);
        int rc = client_config_line_proc(&c, kind, args.argc(), args.argv());
        require(rc >= 0 && rc <= 3);
        if (rc == 0)
            check_record(c);
        client_config_cleanup(&c);

        Argv again(entries);
        rc = client_config_load(&c, kind, again.argc(), again.argv());
        require(rc >= 0 && rc <= 3);
        if (rc == 0) {
            check_record(c);
            require(c.host != nullptr);
            require(kind != CLIENT_SUB || c.topic_count > 0);
        }
        client_config_cleanup(&c);
    }
    return 0;
}
