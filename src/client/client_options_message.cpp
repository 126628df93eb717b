// Handlers of the topic, QoS, last will, message source and repetition options.

#include "client/client_options_parts.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mqtt_protocol.h>

namespace client_opts {

int on_topic(parse_state& st, char* value) {
    return cfg_add_topic(st.cfg, st.pub_or_sub, value, "-t");
}

int on_response_topic(parse_state& st, char* value) {
    return cfg_add_topic(st.cfg, CLIENT_RESPONSE_TOPIC, value, "-e");
}

int on_qos(parse_state& st, char* value) {
    if (read_int(value, &st.cfg->qos)) {
        std::fprintf(stderr, "Error: Invalid QoS given: %s\n", value);
        return 1;
    }
    if (st.cfg->qos < 0 || st.cfg->qos > 2) {
        std::fprintf(stderr, "Error: Invalid QoS given: %d\n", st.cfg->qos);
        return 1;
    }
    return 0;
}

int on_will_topic(parse_state& st, char* value) {
    if (mosquitto_validate_utf8(value, text_len(value)) != MOSQ_ERR_SUCCESS) {
        say("Error: Malformed UTF-8 in --will-topic argument.\n\n");
        return 1;
    }
    // The library takes an empty topic, but a broker drops the connection for it.
    if (*value == '\0' || mosquitto_pub_topic_check(value) == MOSQ_ERR_INVAL) {
        std::fprintf(stderr, "Error: Invalid will topic '%s', does it contain '+' or '#'?\n",
                     value);
        return 1;
    }
    set_text(&st.cfg->will_topic, value);
    return 0;
}

int on_will_payload(parse_state& st, char* value) {
    if (set_text(&st.cfg->will_payload, value) == 0)
        st.cfg->will_payloadlen = text_len(value);
    else
        st.cfg->will_payloadlen = 0;
    return 0;
}

int on_will_qos(parse_state& st, char* value) {
    if (read_int(value, &st.cfg->will_qos)) {
        std::fprintf(stderr, "Error: Invalid will QoS %s.\n\n", value);
        return 1;
    }
    if (st.cfg->will_qos < 0 || st.cfg->will_qos > 2) {
        std::fprintf(stderr, "Error: Invalid will QoS %d.\n\n", st.cfg->will_qos);
        return 1;
    }
    return 0;
}

int on_message(parse_state& st, char* value) {
    mosq_config* c = st.cfg;
    if (set_text(&c->message, value)) {
        say("Error: Out of memory.\n\n");
        return 1;
    }
    size_t len = std::strlen(value);
    if (len > MQTT_MAX_PAYLOAD) { // the largest payload a packet can carry
        std::fprintf(stderr, "Error: Message length must be less than %u bytes.\n\n",
                     static_cast<unsigned>(MQTT_MAX_PAYLOAD));
        return 1;
    }
    c->msglen = static_cast<int32_t>(len);
    c->pub_mode = MSGMODE_CMD;
    return 0;
}

int on_file(parse_state& st, char* value) {
    st.cfg->pub_mode = MSGMODE_FILE;
    if (set_text(&st.cfg->file_input, value)) {
        err_printf(st.cfg, "Error: Out of memory.\n");
        return 1;
    }
    return 0;
}

int on_stdin_file(parse_state& st, char*) {
    st.cfg->pub_mode = MSGMODE_STDIN_FILE;
    return 0;
}

int on_null_message(parse_state& st, char*) {
    st.cfg->pub_mode = MSGMODE_NULL;
    return 0;
}

int on_stdin_line(parse_state& st, char*) {
    st.cfg->pub_mode = MSGMODE_STDIN_LINE;
    return 0;
}

int on_repeat(parse_state& st, char* value) {
    int fits = read_int(value, &st.cfg->repeat_count);
    if (fits > 0)
        return say_invalid_number(value, "--repeat");
    if (fits < 0 || st.cfg->repeat_count < 1) {
        say("Error: --repeat argument must be >0.\n\n");
        return 1;
    }
    return 0;
}

int on_repeat_delay(parse_state& st, char* value) {
    float seconds = std::strtof(value, nullptr);
    if (!(seconds >= 0.0f)) {
        say("Error: --repeat-delay argument must be >=0.0.\n\n");
        return 1;
    }
    float micros = seconds * 1000000.0f;
    // Whole seconds must fit the record's 32-bit field; beyond that (and for
    // infinity) the conversion would be undefined.
    if (!(micros < 2147483648.0f * 1000000.0f)) {
        say("Error: --repeat-delay argument out of range.\n\n");
        return 1;
    }
    long long us = static_cast<long long>(micros);
    st.cfg->repeat_delay.tv_sec = static_cast<int32_t>(us / 1000000);
    st.cfg->repeat_delay.tv_usec = static_cast<int32_t>(us % 1000000);
    return 0;
}

} // namespace client_opts
