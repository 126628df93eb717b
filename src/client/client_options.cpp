// The option language of the MQTT clients: one table row per option, one
// handler per row or group, and a short walk over the argument vector.

#include "client/client_shared.h"
#include "platform/sysinfo.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mqtt_protocol.h>

namespace {

// Client kinds accepting an option, as a bit set.
enum : unsigned { K_PUB = 1u << CLIENT_PUB, K_SUB = 1u << CLIENT_SUB, K_RR = 1u << CLIENT_RR };
constexpr unsigned K_ALL = K_PUB | K_SUB | K_RR;

enum arg_kind {
    ARG_NONE,  // a flag
    ARG_VALUE, // takes the next entry, whatever it looks like
    ARG_SELF,  // reads its own arguments through the walk's index (-D)
};

struct option_def;

struct parse_state {
    mosq_config* cfg;
    int pub_or_sub;
    int argc;
    char** argv;
    int* idx;              // the walk's index; -D moves it past its arguments
    const option_def* opt; // the row being applied
};

// Handlers return the parser's result: 0 go on, 1 error, 2 help, 3 version.
using option_handler = int (*)(parse_state& st, char* value);
// Checks that run before the value is looked at; non-zero ends the parse with 1.
using option_precheck = int (*)(const mosq_config* cfg);

struct option_def {
    const char* short_name; // may be null
    const char* long_name;  // may be null
    unsigned kinds;
    arg_kind arg;
    const char* missing; // printed when a value is due but argv has ended
    option_precheck pre;
    option_handler run;
    char* mosq_config::*text; // the field of a plain text option
    bool mosq_config::*flag;  // the field of a flag, and what the flag sets it to
    bool flag_value;
};

void say(const char* text) {
    std::fputs(text, stderr);
}

// Stores a copy of `value` in a text field. When the copy fails the field is
// left unset (never pointing at released memory).
int set_text(char** field, const char* value) {
    std::free(*field);
    *field = strdup(value);
    return *field ? 0 : 1;
}

// The record keeps lengths as int32; argument texts are far below 2 GiB.
int32_t text_len(const char* text) {
    return static_cast<int32_t>(std::strlen(text));
}

// Reads a number as atoi does (leading blanks, a sign and leading digits;
// anything else reads as 0) into `value`, but a number beyond the range of int
// is not wrapped into it: the result is then -1 (below) or 1 (above) and
// `value` is left alone. 0 when it fits.
int read_int(const char* text, int* value) {
    // long long holds every int and then some: a clamped result is out of range too.
    const long long n = std::strtoll(text, nullptr, 10);
    if (n < INT_MIN)
        return -1;
    if (n > INT_MAX)
        return 1;
    *value = static_cast<int>(n);
    return 0;
}

// For a number too large for the option whose range message would not say so.
int say_invalid_number(const char* text, const char* option) {
    std::fprintf(stderr, "Error: Invalid number \"%s\" for %s.\n\n", text, option);
    return 1;
}

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

// ---- prechecks -------------------------------------------------------------

int pre_message_source(const mosq_config* cfg) {
    if (cfg->pub_mode != MSGMODE_NONE) {
        say("Error: Only one type of message can be sent at once.\n\n");
        return 1;
    }
    return 0;
}

int pre_id(const mosq_config* cfg) {
    if (cfg->id_prefix) {
        say("Error: -i and -I argument cannot be used together.\n\n");
        return 1;
    }
    return 0;
}

int pre_id_prefix(const mosq_config* cfg) {
    if (cfg->id) {
        say("Error: -i and -I argument cannot be used together.\n\n");
        return 1;
    }
    return 0;
}

// ---- handlers: texts and flags ---------------------------------------------

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

int on_no_retain(parse_state& st, char*) {
    st.cfg->no_retain = true;
    st.cfg->sub_opts |= MQTT_SUB_OPT_SEND_RETAIN_NEVER;
    return 0;
}

int on_retain_as_published(parse_state& st, char*) {
    st.cfg->sub_opts |= MQTT_SUB_OPT_RETAIN_AS_PUBLISHED;
    return 0;
}

// ---- handlers: numbers -----------------------------------------------------

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

int on_msg_count(parse_state& st, char* value) {
    if (read_int(value, &st.cfg->msg_count)) {
        std::fprintf(stderr, "Error: Invalid message count \"%s\".\n\n", value);
        return 1;
    }
    if (st.cfg->msg_count < 1) {
        std::fprintf(stderr, "Error: Invalid message count \"%d\".\n\n", st.cfg->msg_count);
        return 1;
    }
    return 0;
}

int on_timeout(parse_state& st, char* value) {
    int n = 0;
    if (read_int(value, &n)) {
        std::fprintf(stderr, "Error: Invalid timeout \"%s\".\n\n", value);
        return 1;
    }
    if (n < 1) {
        std::fprintf(stderr, "Error: Invalid timeout \"%d\".\n\n", n);
        return 1;
    }
    st.cfg->timeout = static_cast<uint32_t>(n);
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

// Nearest whole number, halves away from zero (as lround), for values within
// the 32-bit range. Written out so that the publisher program, started once
// per publication, needs no math library to be loaded for this alone.
int32_t round_half_away(double x) {
    const int32_t whole = static_cast<int32_t>(x); // truncates toward zero
    const double rest = x - whole;                 // exact: |rest| < 1
    return whole + (rest >= 0.5 ? 1 : rest <= -0.5 ? -1 : 0);
}

int on_random_filter(parse_state& st, char* value) {
    // The value is a percentage with one decimal (0.1 .. 100.0); the record
    // keeps it out of 10000.
    double scaled = std::strtod(value, nullptr) * 100.0;
    bool representable = std::isfinite(scaled) && scaled > -2147483648.0 && scaled < 2147483647.0;
    if (representable)
        st.cfg->random_filter = round_half_away(scaled);
    if (!representable || st.cfg->random_filter < 1 || st.cfg->random_filter > 10000) {
        say("Error: --random-filter chance must be between 0.1-100.0\n\n");
        return 1;
    }
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

// ---- handlers: message source ----------------------------------------------

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

// ---- handlers: topics ------------------------------------------------------

int on_topic(parse_state& st, char* value) {
    return cfg_add_topic(st.cfg, st.pub_or_sub, value, "-t");
}

int on_response_topic(parse_state& st, char* value) {
    return cfg_add_topic(st.cfg, CLIENT_RESPONSE_TOPIC, value, "-e");
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

// -T and -U: validated subscription filters appended to a list.
int append_filter(char*** list, int32_t* count, char* value, const char* opt, const char* what) {
    if (mosquitto_validate_utf8(value, text_len(value)) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "Error: Malformed UTF-8 in %s argument.\n\n", opt);
        return 1;
    }
    // An empty filter is no filter a broker accepts.
    if (*value == '\0' || mosquitto_sub_topic_check(value) == MOSQ_ERR_INVAL) {
        std::fprintf(stderr,
                     "Error: Invalid %s topic '%s', are all '+' and '#' wildcards correct?\n", what,
                     value);
        return 1;
    }
    char* copy = strdup(value);
    char** grown =
        copy ? static_cast<char**>(std::realloc(*list, sizeof(char*) * (size_t)(*count + 1)))
             : nullptr;
    if (!grown) {
        std::free(copy);
        say("Error: Out of memory.\n");
        return 1;
    }
    *list = grown;
    (*list)[(*count)++] = copy;
    return 0;
}

int on_filter_out(parse_state& st, char* value) {
    return append_filter(&st.cfg->filter_outs, &st.cfg->filter_out_count, value, "-T", "filter");
}

int on_unsubscribe(parse_state& st, char* value) {
    return append_filter(&st.cfg->unsub_topics, &st.cfg->unsub_topic_count, value, "-U",
                         "unsubscribe");
}

int on_format(parse_state& st, char* value) {
    if (set_text(&st.cfg->format, value)) {
        say("Error: Out of memory.\n");
        return 1;
    }
    return check_format(st.cfg->format);
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

// ---- the table -------------------------------------------------------------

// Row builders, one per shape of option.
constexpr option_def value_opt(const char* s, const char* l, unsigned kinds, const char* missing,
                               option_handler run, option_precheck pre = nullptr) {
    return {s, l, kinds, ARG_VALUE, missing, pre, run, nullptr, nullptr, false};
}
constexpr option_def text_opt(const char* s, const char* l, unsigned kinds, const char* missing,
                              char* mosq_config::*field, option_precheck pre = nullptr,
                              option_handler run = on_text) {
    return {s, l, kinds, ARG_VALUE, missing, pre, run, field, nullptr, false};
}
constexpr option_def flag_opt(const char* s, const char* l, unsigned kinds,
                              bool mosq_config::*field, bool value = true) {
    return {s, l, kinds, ARG_NONE, nullptr, nullptr, on_flag, nullptr, field, value};
}
constexpr option_def action_opt(const char* s, const char* l, unsigned kinds, option_handler run,
                                option_precheck pre = nullptr, arg_kind arg = ARG_NONE) {
    return {s, l, kinds, arg, nullptr, pre, run, nullptr, nullptr, false};
}

#define MISSING(opt, what) "Error: " opt " argument given but no " what " specified.\n\n"

using C = mosq_config;

const option_def options[] = {
    // Connection, identity and general options.
    text_opt("-A", nullptr, K_ALL, MISSING("-A", "address"), &C::bind_address),
    text_opt("-h", "--host", K_ALL, MISSING("-h", "host"), &C::host),
    value_opt("-p", "--port", K_ALL, MISSING("-p", "port"), on_port),
    value_opt(nullptr, "--unix", K_ALL, MISSING("--unix", "socket path"), on_unix),
    value_opt("-L", "--url", K_ALL, MISSING("-L", "URL"), on_url),
    text_opt("-i", "--id", K_ALL, MISSING("-i", "id"), &C::id, pre_id, on_client_id),
    text_opt("-I", "--id-prefix", K_ALL, MISSING("-I", "id prefix"), &C::id_prefix, pre_id_prefix,
             on_client_id),
    text_opt("-u", "--username", K_ALL, MISSING("-u", "username"), &C::username),
    text_opt("-P", "--pw", K_ALL, MISSING("-P", "password"), &C::password),
    value_opt("-k", "--keepalive", K_ALL, MISSING("-k", "keepalive"), on_keepalive),
    value_opt("-V", "--protocol-version", K_ALL, MISSING("--protocol-version", "version"),
              on_protocol_version),
    flag_opt("-c", "--disable-clean-session", K_ALL, &C::clean_session, false),
    value_opt("-x", nullptr, K_ALL, MISSING("-x", "session expiry interval"), on_session_expiry),
    value_opt("-M", nullptr, K_ALL, "Error: -M argument given but max_inflight not specified.\n\n",
              on_max_inflight),
    flag_opt(nullptr, "--nodelay", K_ALL, &C::tcp_nodelay),
    flag_opt("-d", "--debug", K_ALL, &C::debug),
    flag_opt(nullptr, "--quiet", K_ALL, &C::quiet),
    action_opt("-D", "--property", K_ALL, on_property, nullptr, ARG_SELF),
    action_opt(nullptr, "--help", K_ALL, on_help),
    action_opt(nullptr, "--version", K_ALL, on_version),
    // TLS.
    text_opt(nullptr, "--cafile", K_ALL, MISSING("--cafile", "file"), &C::cafile),
    text_opt(nullptr, "--capath", K_ALL, MISSING("--capath", "directory"), &C::capath),
    text_opt(nullptr, "--cert", K_ALL, MISSING("--cert", "file"), &C::certfile),
    text_opt(nullptr, "--key", K_ALL, MISSING("--key", "file"), &C::keyfile),
    text_opt(nullptr, "--keyform", K_ALL, MISSING("--keyform", "keyform"), &C::keyform),
    text_opt(nullptr, "--ciphers", K_ALL, MISSING("--ciphers", "ciphers"), &C::ciphers),
    text_opt(nullptr, "--tls-alpn", K_ALL, MISSING("--tls-alpn", "protocol"), &C::tls_alpn),
    text_opt(nullptr, "--tls-engine", K_ALL, MISSING("--tls-engine", "engine_id"), &C::tls_engine),
    text_opt(nullptr, "--tls-engine-kpass-sha1", K_ALL,
             MISSING("--tls-engine-kpass-sha1", "kpass sha1"), &C::tls_engine_kpass_sha1),
    text_opt(nullptr, "--tls-version", K_ALL, MISSING("--tls-version", "version"), &C::tls_version),
    flag_opt(nullptr, "--insecure", K_ALL, &C::insecure),
    flag_opt(nullptr, "--tls-use-os-certs", K_ALL, &C::tls_use_os_certs),
    // Last will.
    value_opt(nullptr, "--will-topic", K_ALL, MISSING("--will-topic", "will topic"), on_will_topic),
    value_opt(nullptr, "--will-payload", K_ALL, MISSING("--will-payload", "will payload"),
              on_will_payload),
    value_opt(nullptr, "--will-qos", K_ALL, MISSING("--will-qos", "will QoS"), on_will_qos),
    flag_opt(nullptr, "--will-retain", K_ALL, &C::will_retain),
    // Topic and QoS.
    value_opt("-t", "--topic", K_ALL, MISSING("-t", "topic"), on_topic),
    value_opt("-q", "--qos", K_ALL, MISSING("-q", "QoS"), on_qos),
    // Publisher message source and repetition.
    value_opt("-m", "--message", K_PUB | K_RR, MISSING("-m", "message"), on_message,
              pre_message_source),
    value_opt("-f", "--file", K_PUB | K_RR, MISSING("-f", "file"), on_file, pre_message_source),
    action_opt("-s", "--stdin-file", K_PUB | K_RR, on_stdin_file, pre_message_source),
    action_opt("-n", "--null-message", K_PUB | K_RR, on_null_message, pre_message_source),
    action_opt("-l", "--stdin-line", K_PUB, on_stdin_line, pre_message_source),
    flag_opt("-r", "--retain", K_PUB, &C::retain),
    value_opt(nullptr, "--repeat", K_PUB, MISSING("--repeat", "count"), on_repeat),
    value_opt(nullptr, "--repeat-delay", K_PUB, MISSING("--repeat-delay", "time"), on_repeat_delay),
    // Subscriber and output.
    value_opt("-C", nullptr, K_SUB, MISSING("-C", "count"), on_msg_count),
    flag_opt("-E", nullptr, K_SUB, &C::exit_after_sub),
    action_opt("-R", nullptr, K_SUB | K_RR, on_no_retain),
    action_opt(nullptr, "--retain-as-published", K_SUB | K_RR, on_retain_as_published),
    flag_opt(nullptr, "--retained-only", K_SUB, &C::retained_only),
    flag_opt(nullptr, "--remove-retained", K_SUB, &C::remove_retained),
    value_opt(nullptr, "--random-filter", K_SUB, MISSING("--random-filter", "chance"),
              on_random_filter),
    value_opt("-T", "--filter-out", K_SUB, MISSING("-T", "topic filter"), on_filter_out),
    value_opt("-U", "--unsubscribe", K_SUB, MISSING("-U", "unsubscribe topic"), on_unsubscribe),
    flag_opt("-N", nullptr, K_SUB | K_RR, &C::eol, false),
    flag_opt(nullptr, "--pretty", K_SUB | K_RR, &C::pretty),
    flag_opt("-v", "--verbose", K_SUB | K_RR, &C::verbose),
    value_opt("-F", nullptr, K_SUB | K_RR, MISSING("-F", "format"), on_format),
    value_opt("-W", nullptr, K_SUB | K_RR, MISSING("-W", "timeout"), on_timeout),
    // Request/response.
    value_opt("-e", nullptr, K_RR, MISSING("-e", "response topic"), on_response_topic),
};

#undef MISSING

const option_def* find_option(const char* entry, int pub_or_sub) {
    unsigned kind = (pub_or_sub >= 0 && pub_or_sub < 32) ? 1u << pub_or_sub : 0;
    for (const option_def& opt : options) {
        bool named = (opt.short_name && std::strcmp(entry, opt.short_name) == 0) ||
                     (opt.long_name && std::strcmp(entry, opt.long_name) == 0);
        if (named)
            return (opt.kinds & kind) ? &opt : nullptr;
    }
    return nullptr;
}

} // namespace

int client_config_line_proc(mosq_config* cfg, int pub_or_sub, int argc, char** argv) {
    for (int i = 1; i < argc; i++) {
        const char* entry = argv[i] ? argv[i] : "";
        const option_def* opt = find_option(entry, pub_or_sub);
        if (!opt) {
            std::fprintf(stderr, "Error: Unknown option '%s'.\n", entry);
            return 1;
        }
        if (opt->pre && opt->pre(cfg))
            return 1;
        char* value = nullptr;
        if (opt->arg == ARG_VALUE) {
            if (i == argc - 1 || !argv[i + 1]) {
                say(opt->missing);
                return 1;
            }
            value = argv[++i];
        }
        parse_state st{cfg, pub_or_sub, argc, argv, &i, opt};
        int rc = opt->run(st, value);
        if (rc)
            return rc;
    }
    return 0;
}

namespace {

// A larger width or precision would ask for that much padding per message.
constexpr size_t kMaxFieldNumber = 65535;

// One more digit of a width or precision; past the limit it stays just above it.
size_t add_field_digit(size_t value, char digit) {
    value = value * 10 + static_cast<size_t>(digit - '0');
    return value > kMaxFieldNumber ? kMaxFieldNumber + 1 : value;
}

} // namespace

// One pass over an output format: conversions ("%" with an optional flag,
// width and precision), time conversions ("@" and one character) and escapes.
int check_format(const char* str) {
    const char* incomplete = "Error: Incomplete format specifier.\n";
    size_t len = std::strlen(str);
    for (size_t i = 0; i < len; i++) {
        if (str[i] == '%') {
            if (i == len - 1) {
                say(incomplete);
                return 1;
            }
            i++;
            if (str[i] == '0' || str[i] == '-') {
                if (i == len - 1) {
                    say(incomplete);
                    return 1;
                }
                i++;
            }
            size_t width = 0;
            while (str[i] >= '0' && str[i] <= '9') {
                if (i == len - 1) {
                    say(incomplete);
                    return 1;
                }
                width = add_field_digit(width, str[i]);
                i++;
            }
            size_t precision = 0;
            if (str[i] == '.') {
                if (i == len - 1) {
                    say(incomplete);
                    return 1;
                }
                i++;
                while (str[i] >= '0' && str[i] <= '9') {
                    if (i == len - 1) {
                        say(incomplete);
                        return 1;
                    }
                    precision = add_field_digit(precision, str[i]);
                    i++;
                }
            }
            char code = str[i];
            if (code == 'U') {
                std::fprintf(stderr, "Error: The %%U format option is not supported on Windows.\n");
                return 1;
            }
            if (!std::strchr("%ACDEFIjJlmpPqrRStxX", code) || width > kMaxFieldNumber ||
                precision > kMaxFieldNumber) {
                std::fprintf(stderr, "Error: Invalid format specifier '%c'.\n", code);
                return 1;
            }
        } else if (str[i] == '@') {
            if (i == len - 1) {
                say(incomplete);
                return 1;
            }
            i++;
        } else if (str[i] == '\\') {
            if (i == len - 1) {
                say("Error: Incomplete escape specifier.\n");
                return 1;
            }
            i++;
            if (!std::strchr("0\\aenrtv", str[i])) {
                std::fprintf(stderr, "Error: Invalid escape specifier '%c'.\n", str[i]);
                return 1;
            }
        }
    }
    return 0;
}
