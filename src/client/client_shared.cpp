// The client configuration record: defaults, topic storage, release, and the
// error printer that honours --quiet.

#include "client/client_shared.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

mosq_config cfg;

void init_config(mosq_config* cfg, int pub_or_sub) {
    std::memset(cfg, 0, sizeof(*cfg));
    cfg->port = PORT_UNDEFINED;
    cfg->max_inflight = 20;
    cfg->keepalive = 60;
    cfg->clean_session = true;
    cfg->eol = true;
    cfg->repeat_count = 1;
    cfg->repeat_delay.tv_sec = 0;
    cfg->repeat_delay.tv_usec = 0;
    cfg->random_filter = 10000;
    cfg->session_expiry_interval = -1;
    if (pub_or_sub == CLIENT_RR) {
        cfg->protocol_version = MQTT_PROTOCOL_V5;
        cfg->msg_count = 1;
    } else {
        cfg->protocol_version = MQTT_PROTOCOL_V311;
    }
}

void err_printf(const mosq_config* cfg, const char* fmt, ...) {
    if (cfg && cfg->quiet)
        return;
    va_list va;
    va_start(va, fmt);
    std::vfprintf(stderr, fmt, va);
    va_end(va);
}

// Replaces an owned text with a copy of `value`; the old text is released only
// when the copy succeeded, so a failed copy leaves the field unset rather than
// dangling.
static int replace_text(char** field, const char* value) {
    char* copy = strdup(value);
    if (!copy)
        return 1;
    std::free(*field);
    *field = copy;
    return 0;
}

int cfg_add_topic(mosq_config* cfg, int type, char* topic, const char* arg) {
    // The library takes an empty topic, but a broker drops the connection for it.
    const bool empty = *topic == '\0';
    if (mosquitto_validate_utf8(topic, static_cast<int>(std::strlen(topic))) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "Error: Malformed UTF-8 in %s argument.\n\n", arg);
        return 1;
    }
    if (type == CLIENT_PUB || type == CLIENT_RR) {
        if (empty || mosquitto_pub_topic_check(topic) == MOSQ_ERR_INVAL) {
            std::fprintf(stderr, "Error: Invalid publish topic '%s', does it contain '+' or '#'?\n",
                         topic);
            return 1;
        }
        if (replace_text(&cfg->topic, topic)) {
            err_printf(cfg, "Error: Out of memory.\n");
            return 1;
        }
    } else if (type == CLIENT_RESPONSE_TOPIC) {
        if (empty || mosquitto_pub_topic_check(topic) == MOSQ_ERR_INVAL) {
            std::fprintf(
                stderr, "Error: Invalid response topic '%s', does it contain '+' or '#'?\n", topic);
            return 1;
        }
        if (replace_text(&cfg->response_topic, topic)) {
            err_printf(cfg, "Error: Out of memory.\n");
            return 1;
        }
    } else {
        if (empty || mosquitto_sub_topic_check(topic) == MOSQ_ERR_INVAL) {
            std::fprintf(
                stderr,
                "Error: Invalid subscription topic '%s', are all '+' and '#' wildcards correct?\n",
                topic);
            return 1;
        }
        char* copy = strdup(topic);
        char** grown = copy ? static_cast<char**>(std::realloc(
                                  cfg->topics, sizeof(char*) * (size_t)(cfg->topic_count + 1)))
                            : nullptr;
        if (!grown) {
            std::free(copy);
            err_printf(cfg, "Error: Out of memory.\n");
            return 1;
        }
        cfg->topics = grown;
        cfg->topics[cfg->topic_count++] = copy;
    }
    return 0;
}

static void free_text(char** text) {
    std::free(*text);
    *text = nullptr;
}

static void free_list(char*** list, int32_t* count) {
    if (*list) {
        for (int32_t i = 0; i < *count; i++)
            std::free((*list)[i]);
        std::free(*list);
    }
    *list = nullptr;
    *count = 0;
}

// Everything released is also cleared, so a second cleanup of the same record
// (a caller's error path after the run's own) releases nothing twice.
void client_config_cleanup(mosq_config* cfg) {
    char** texts[] = {&cfg->id,
                      &cfg->id_prefix,
                      &cfg->host,
                      &cfg->file_input,
                      &cfg->message,
                      &cfg->topic,
                      &cfg->bind_address,
                      &cfg->username,
                      &cfg->password,
                      &cfg->will_topic,
                      &cfg->will_payload,
                      &cfg->format,
                      &cfg->response_topic,
                      &cfg->cafile,
                      &cfg->capath,
                      &cfg->certfile,
                      &cfg->keyfile,
                      &cfg->ciphers,
                      &cfg->tls_alpn,
                      &cfg->tls_version,
                      &cfg->tls_engine,
                      &cfg->tls_engine_kpass_sha1,
                      &cfg->keyform};
    for (char** text : texts)
        free_text(text);
    free_list(&cfg->topics, &cfg->topic_count);
    free_list(&cfg->filter_outs, &cfg->filter_out_count);
    free_list(&cfg->unsub_topics, &cfg->unsub_topic_count);
    mosquitto_property_free_all(&cfg->connect_props);
    mosquitto_property_free_all(&cfg->publish_props);
    mosquitto_property_free_all(&cfg->subscribe_props);
    mosquitto_property_free_all(&cfg->unsubscribe_props);
    mosquitto_property_free_all(&cfg->disconnect_props);
    mosquitto_property_free_all(&cfg->will_props);
}
