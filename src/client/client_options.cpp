// The option language of the MQTT clients: one table row per option, one
// handler per row or group, and a short walk over the argument vector. The
// handlers are in client_options_*.cpp, by group.

#include "client/client_options_parts.h"

#include <cstdio>
#include <cstring>

using namespace client_opts;

namespace {

// Client kinds accepting an option, as a bit set.
enum : unsigned { K_PUB = 1u << CLIENT_PUB, K_SUB = 1u << CLIENT_SUB, K_RR = 1u << CLIENT_RR };
constexpr unsigned K_ALL = K_PUB | K_SUB | K_RR;

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
