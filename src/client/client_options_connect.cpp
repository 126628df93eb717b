// Handlers of the connection, identity and general options.

#include "client/client_options_parts.h"
#include "platform/sysinfo.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mqtt_protocol.h>

namespace client_opts {

namespace {

bool ascii_prefix_nocase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        char c = *text;
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != *prefix)
            return false;
    }
    return true;
}

} // namespace

int on_text(parse_state& st, char* value) {
    // A failed copy has no message of its own; the field simply stays unset.
    set_text(&(st.cfg->*st.opt->text), value);
    return 0;
}

// -i and -I. MQTT strings carry a 16-bit length: a longer id cannot be sent.
// The id made from a prefix has this process's id appended in decimal.
int on_client_id(parse_state& st, char* value) {
    size_t len = std::strlen(value);
    if (st.opt->text == &mosq_config::id_prefix)
        len += static_cast<size_t>(std::snprintf(nullptr, 0, "%d", sys_process_id()));
    if (len > 65535) {
        say("Error: Client id too long.\n");
        return 1;
    }
    return on_text(st, value);
}

int on_unix(parse_state& st, char* value) {
    set_text(&st.cfg->host, value);
    st.cfg->port = PORT_UNIX;
    return 0;
}

int on_help(parse_state&, char*) {
    return 2;
}

int on_version(parse_state&, char*) {
    return 3;
}

int on_flag(parse_state& st, char*) {
    st.cfg->*st.opt->flag = st.opt->flag_value;
    return 0;
}

int on_port(parse_state& st, char* value) {
    if (read_int(value, &st.cfg->port)) {
        std::fprintf(stderr, "Error: Invalid port given: %s\n", value);
        return 1;
    }
    if (st.cfg->port < 0 || st.cfg->port > 65535) {
        std::fprintf(stderr, "Error: Invalid port given: %d\n", st.cfg->port);
        return 1;
    }
    return 0;
}

int on_keepalive(parse_state& st, char* value) {
    if (read_int(value, &st.cfg->keepalive) || st.cfg->keepalive < 5 || st.cfg->keepalive > 65535) {
        say("Error: Invalid keepalive given, it must be between 5 and 65535 inclusive.\n\n");
        return 1;
    }
    return 0;
}

int on_max_inflight(parse_state& st, char* value) {
    int n = 0;
    int fits = read_int(value, &n);
    if (fits > 0)
        return say_invalid_number(value, "-M");
    if (fits < 0 || n < 1) {
        say("Error: Maximum inflight messages must be greater than 0.\n\n");
        return 1;
    }
    st.cfg->max_inflight = static_cast<uint32_t>(n);
    return 0;
}

int on_session_expiry(parse_state& st, char* value) {
    if (std::strcmp(value, "\xE2\x88\x9E") == 0) {
        st.cfg->session_expiry_interval = UINT32_MAX;
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(value, &end, 0);
    if (end == value || *end != '\0') {
        say("Error: session-expiry-interval not a number.\n\n");
        return 1;
    }
    // Intervals travel as 32-bit values; larger ones cannot be sent.
    if (errno == ERANGE || n < -1 || n > static_cast<long long>(UINT32_MAX)) {
        say("Error: session-expiry-interval out of range.\n\n");
        return 1;
    }
    st.cfg->session_expiry_interval = n == -1 ? static_cast<int64_t>(UINT32_MAX) : n;
    return 0;
}

int on_protocol_version(parse_state& st, char* value) {
    if (!std::strcmp(value, "mqttv31") || !std::strcmp(value, "31")) {
        st.cfg->protocol_version = MQTT_PROTOCOL_V31;
    } else if (!std::strcmp(value, "mqttv311") || !std::strcmp(value, "311")) {
        st.cfg->protocol_version = MQTT_PROTOCOL_V311;
    } else if (!std::strcmp(value, "mqttv5") || !std::strcmp(value, "5")) {
        st.cfg->protocol_version = MQTT_PROTOCOL_V5;
    } else {
        say("Error: Invalid protocol version argument given.\n\n");
        return 1;
    }
    return 0;
}

int on_property(parse_state& st, char*) {
    ++*st.idx;
    if (cfg_parse_property(st.cfg, st.argc, st.argv, st.idx))
        return 1;
    st.cfg->protocol_version = MQTT_PROTOCOL_V5;
    return 0;
}

// mqtt[s]://[user[:password]@]host[:port]/topic, cut in place.
int on_url(parse_state& st, char* url) {
    mosq_config* c = st.cfg;
    char* authority;
    if (ascii_prefix_nocase(url, "mqtt://")) {
        authority = url + 7;
        c->port = 1883;
    } else if (ascii_prefix_nocase(url, "mqtts://")) {
        authority = url + 8;
        c->port = 8883;
        c->tls_use_os_certs = true;
    } else {
        say("Error: unsupported URL scheme.\n\n");
        return 1;
    }

    char* slash = std::strchr(authority, '/');
    if (!slash) {
        say("Error: Invalid URL for -L argument specified - topic missing.\n");
        return 1;
    }
    *slash = '\0';
    if (cfg_add_topic(c, st.pub_or_sub, slash + 1, "-L topic"))
        return 1;

    char* host = authority;
    char* at = std::strchr(authority, '@');
    if (at) {
        *at = '\0';
        host = at + 1;
        char* colon = std::strchr(authority, ':');
        if (colon) {
            *colon = '\0';
            set_text(&c->password, colon + 1);
        }
        set_text(&c->username, authority);
    }
    char* colon = std::strchr(host, ':');
    if (colon) {
        *colon = '\0';
        // Any port that fits is taken as it is; the connection refuses the rest.
        if (read_int(colon + 1, &c->port))
            return say_invalid_number(colon + 1, "-L");
    }
    set_text(&c->host, host);
    return 0;
}

} // namespace client_opts
