// Filling a record for one client run: defaults, the per-user configuration
// file, the argument vector, then the checks that need every option at once.

#include "client/broker_list.h"
#include "client/client_connect.h"
#include "client/client_shared.h"
#include "platform/env.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <mqtt_protocol.h>

namespace {

const char* config_file_name(int pub_or_sub) {
    switch (pub_or_sub) {
    case CLIENT_PUB:
        return "mosquitto_pub.conf";
    case CLIENT_SUB:
        return "mosquitto_sub.conf";
    default:
        return "mosquitto_rr.conf";
    }
}

// Feeds one configuration file line to the option parser. The line is split
// once, at the first space after any leading spaces: an option and the whole
// rest of the line as its value. Keeps no state between calls, so several
// runs may load at once.
int config_line(mosq_config* cfg, int pub_or_sub, char* line) {
    if (line[0] == '#')
        return 0;
    size_t len = std::strlen(line);
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        line[--len] = '\0';

    char* first = line;
    while (*first == ' ')
        first++;
    if (*first == '\0')
        return 0;
    char* rest = std::strchr(first, ' ');
    if (rest)
        *rest++ = '\0';

    char* argv[3] = {nullptr, first, rest};
    int argc = (rest && *rest) ? 3 : 2;
    return client_config_line_proc(cfg, pub_or_sub, argc, argv);
}

enum line_read { LINE_READ, LINE_END, LINE_TOO_LONG };

// Reads one line without its line feed into `line`, terminated. A line that
// does not fit is refused whole: read on in pieces, its rest would be taken
// for a line of its own. Counts bytes, not characters up to a NUL, so a NUL
// byte cannot hide the length either.
line_read read_line(FILE* fp, char* line, size_t size) {
    size_t len = 0;
    int c = std::getc(fp);
    if (c == EOF)
        return LINE_END;
    for (; c != EOF && c != '\n'; c = std::getc(fp)) {
        if (len == size - 1)
            return LINE_TOO_LONG;
        line[len++] = static_cast<char>(c);
    }
    line[len] = '\0';
    return LINE_READ;
}

// 0 when there is no file or every line was taken, else the parser's result.
int load_config_file(mosq_config* cfg, int pub_or_sub) {
    char* path = nullptr;
    switch (user_config_file(config_file_name(pub_or_sub), &path)) {
    case USER_CONFIG_NO_MEMORY:
        err_printf(cfg, "Error: Out of memory.\n");
        return 1;
    case USER_CONFIG_FOUND:
        break;
    default:
        return 0;
    }

    FILE* fp = std::fopen(path, "rt");
    if (!fp) {
        std::free(path);
        return 0;
    }
    char line[1024];
    int rc = 0;
    for (int number = 1; rc == 0; number++) {
        const line_read got = read_line(fp, line, sizeof(line));
        if (got == LINE_END)
            break;
        if (got == LINE_TOO_LONG) {
            std::fprintf(stderr, "Error: Line %d of the configuration file is too long.\n", number);
            rc = 1;
        } else {
            rc = config_line(cfg, pub_or_sub, line);
        }
    }
    std::fclose(fp);
    std::free(path);
    return rc;
}

int final_checks(const mosq_config* cfg) {
    const char* msg = nullptr;
    if (cfg->will_payload && !cfg->will_topic)
        msg = "Error: Will payload given, but no will topic given.\n";
    else if (cfg->will_retain && !cfg->will_topic)
        msg = "Error: Will retain given, but no will topic given.\n";
    else if ((cfg->certfile && !cfg->keyfile) || (cfg->keyfile && !cfg->certfile))
        msg = "Error: Both certfile and keyfile must be provided if one of them is set.\n";
    else if (cfg->keyform && !cfg->keyfile)
        msg = "Error: If keyform is set, keyfile must be also specified.\n";
    else if (cfg->tls_engine_kpass_sha1 && (!cfg->keyform || !cfg->tls_engine))
        msg = "Error: when using tls-engine-kpass-sha1, both tls-engine and keyform must also be "
              "provided.\n";
    if (msg) {
        std::fputs(msg, stderr);
        return 1;
    }
    return 0;
}

int session_rules(mosq_config* cfg) {
    bool fixed_id = cfg->id && !cfg->id_prefix;
    if (cfg->protocol_version == MQTT_PROTOCOL_V5) {
        if (!cfg->clean_session && cfg->session_expiry_interval == -1)
            cfg->session_expiry_interval = UINT32_MAX;
        if (cfg->session_expiry_interval > 0) {
            if (cfg->session_expiry_interval == UINT32_MAX && !fixed_id) {
                std::fputs("Error: You must provide a client id if you are using an infinite "
                           "session expiry interval.\n",
                           stderr);
                return 1;
            }
            if (mosquitto_property_add_int32(&cfg->connect_props, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                             static_cast<uint32_t>(cfg->session_expiry_interval))) {
                std::fputs("Error adding property session-expiry-interval\n", stderr);
            }
        }
    } else if (!cfg->clean_session && !fixed_id) {
        std::fputs("Error: You must provide a client id if you are using the -c option.\n", stderr);
        return 1;
    }
    return 0;
}

int check_properties(const mosq_config* cfg) {
    struct packet {
        int command;
        const mosquitto_property* props;
        const char* name;
    };
    const packet packets[] = {
        {CMD_CONNECT, cfg->connect_props, "CONNECT"},
        {CMD_PUBLISH, cfg->publish_props, "PUBLISH"},
        {CMD_SUBSCRIBE, cfg->subscribe_props, "SUBSCRIBE"},
        {CMD_UNSUBSCRIBE, cfg->unsubscribe_props, "UNSUBSCRIBE"},
        {CMD_DISCONNECT, cfg->disconnect_props, "DISCONNECT"},
        {CMD_WILL, cfg->will_props, "Will"},
    };
    for (const packet& p : packets) {
        int rc = mosquitto_property_check_all(p.command, p.props);
        if (rc) {
            err_printf(cfg, "Error in %s properties: %s\n", p.name, mosquitto_strerror(rc));
            return 1;
        }
    }
    return 0;
}

} // namespace

int client_config_load(mosq_config* cfg, int pub_or_sub, int argc, char** argv) {
    init_config(cfg, pub_or_sub);

    int rc = load_config_file(cfg, pub_or_sub);
    if (rc)
        return rc;
    rc = client_config_line_proc(cfg, pub_or_sub, argc, argv);
    if (rc)
        return rc;

    if (final_checks(cfg) || session_rules(cfg))
        return 1;
    if (pub_or_sub == CLIENT_SUB && cfg->topic_count == 0) {
        std::fputs("Error: You must specify a topic to subscribe to.\n", stderr);
        return 1;
    }
    if (!cfg->host) {
        cfg->host = strdup("localhost");
        if (!cfg->host) {
            err_printf(cfg, "Error: Out of memory.\n");
            return 1;
        }
    }
    std::vector<broker_addr> brokers;
    std::string error;
    if (!broker_list_parse(cfg->host, client_connect_port(cfg), &brokers, &error)) {
        err_printf(cfg, "Error: Invalid broker list: %s.\n", error.c_str());
        return 1;
    }
    return check_properties(cfg);
}
