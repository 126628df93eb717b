#include "client/client_connect.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/broker_list.h"
#include "client/lib_init.h"
#include "platform/sysinfo.h"

namespace {

const int PORT_MQTT = 1883;
const int PORT_MQTTS = 8883;

// A failed step: say why, give back the run's library reference.
int opts_fail(mosq_config* cfg, const char* message) {
    err_printf(cfg, "%s", message);
    client_lib_cleanup_run(cfg);
    return 1;
}

} // namespace

int client_id_generate(mosq_config* cfg) {
    if (!cfg->id_prefix)
        return 0;
    // Room for the prefix, any int in decimal (11 characters) and the
    // terminator, so that no process id is ever cut short.
    size_t size = std::strlen(cfg->id_prefix) + 12;
    char* id = static_cast<char*>(std::malloc(size));
    if (!id) {
        err_printf(cfg, "Error: Out of memory.\n");
        client_lib_cleanup_run(cfg);
        return 1;
    }
    std::snprintf(id, size, "%s%d", cfg->id_prefix, sys_process_id());
    std::free(cfg->id);
    cfg->id = id;
    return 0;
}

int client_opts_set(struct mosquitto* mosq, mosq_config* cfg) {
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, cfg->protocol_version);

    if (cfg->will_topic) {
        if (mosquitto_will_set_v5(mosq, cfg->will_topic, cfg->will_payloadlen, cfg->will_payload,
                                  cfg->will_qos, cfg->will_retain, cfg->will_props)) {
            return opts_fail(cfg, "Error: Problem setting will.\n");
        }
        // The library owns the list from here on.
        cfg->will_props = nullptr;
    } else if (cfg->will_props) {
        // Will properties without a will have nowhere to go.
        mosquitto_property_free_all(&cfg->will_props);
        cfg->will_props = nullptr;
    }

    if ((cfg->username || cfg->password) &&
        mosquitto_username_pw_set(mosq, cfg->username, cfg->password)) {
        return opts_fail(cfg, "Error: Problem setting username and/or password.\n");
    }

    if (cfg->keyform && mosquitto_string_option(mosq, MOSQ_OPT_TLS_KEYFORM, cfg->keyform)) {
        return opts_fail(cfg,
                         "Error: Problem setting key form, it must be one of 'pem' or 'engine'.\n");
    }

    if (cfg->cafile || cfg->capath) {
        int rc =
            mosquitto_tls_set(mosq, cfg->cafile, cfg->capath, cfg->certfile, cfg->keyfile, nullptr);
        if (rc == MOSQ_ERR_INVAL)
            return opts_fail(cfg, "Error: Problem setting TLS options: File not found.\n");
        if (rc) {
            err_printf(cfg, "Error: Problem setting TLS options: %s.\n", mosquitto_strerror(rc));
            client_lib_cleanup_run(cfg);
            return 1;
        }
    } else if (cfg->port == PORT_MQTTS) {
        // The standard TLS port without a CA of our own: trust the system's.
        mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    }

    if (cfg->tls_use_os_certs)
        mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);

    if (cfg->insecure && mosquitto_tls_insecure_set(mosq, true))
        return opts_fail(cfg, "Error: Problem setting TLS insecure option.\n");

    if (cfg->tls_engine && mosquitto_string_option(mosq, MOSQ_OPT_TLS_ENGINE, cfg->tls_engine)) {
        err_printf(cfg, "Error: Problem setting TLS engine, is %s a valid engine?\n",
                   cfg->tls_engine);
        client_lib_cleanup_run(cfg);
        return 1;
    }

    if (cfg->tls_engine_kpass_sha1 &&
        mosquitto_string_option(mosq, MOSQ_OPT_TLS_ENGINE_KPASS_SHA1, cfg->tls_engine_kpass_sha1)) {
        return opts_fail(cfg, "Error: Problem setting TLS engine key pass sha, is it a 40 "
                              "character hex string?\n");
    }

    if (cfg->tls_alpn && mosquitto_string_option(mosq, MOSQ_OPT_TLS_ALPN, cfg->tls_alpn))
        return opts_fail(cfg, "Error: Problem setting TLS ALPN protocol.\n");

    if ((cfg->tls_version || cfg->ciphers) &&
        mosquitto_tls_opts_set(mosq, 1, cfg->tls_version, cfg->ciphers)) {
        return opts_fail(cfg, "Error: Problem setting TLS options, check the options are valid.\n");
    }

    mosquitto_max_inflight_messages_set(mosq, cfg->max_inflight);

    if (cfg->tcp_nodelay)
        mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);

    // A subscriber that stops after a few messages never wants more in flight.
    if (cfg->msg_count >= 1 && cfg->msg_count <= 19)
        mosquitto_int_option(mosq, MOSQ_OPT_RECEIVE_MAXIMUM, cfg->msg_count);

    return 0;
}

int client_connect_port(const mosq_config* cfg) {
    if (cfg->port != PORT_UNDEFINED)
        return cfg->port;
    return (cfg->cafile || cfg->capath) ? PORT_MQTTS : PORT_MQTT;
}

namespace {

int connect_result(mosq_config* cfg, int rc) {
    if (rc <= 0)
        return 0;

    if (rc == MOSQ_ERR_ERRNO) {
        char text[1024];
        sys_error_text(errno, text, sizeof(text));
        err_printf(cfg, "Error: %s\n", text);
    } else {
        err_printf(cfg, "Unable to connect (%s).\n", mosquitto_strerror(rc));
    }
    client_lib_cleanup_run(cfg);
    return rc;
}

} // namespace

int client_connect(struct mosquitto* mosq, mosq_config* cfg) {
    if (!broker_list_is_list(cfg->host))
        return connect_result(
            cfg, mosquitto_connect_bind_v5(mosq, cfg->host, client_connect_port(cfg),
                                           cfg->keepalive, cfg->bind_address, cfg->connect_props));
    // The first broker that takes the connection; the last one's failure
    // says why none did.
    std::vector<broker_addr> brokers;
    std::string error;
    broker_list_parse(cfg->host, client_connect_port(cfg), &brokers, &error);
    int rc = MOSQ_ERR_INVAL;
    for (const broker_addr& broker : brokers) {
        rc = mosquitto_connect_bind_v5(mosq, broker.host.c_str(), broker.port, cfg->keepalive,
                                       cfg->bind_address, cfg->connect_props);
        if (rc == MOSQ_ERR_SUCCESS)
            break;
    }
    return connect_result(cfg, rc);
}

int client_connect_start(struct mosquitto* mosq, mosq_config* cfg) {
    if (cfg->connect_props)
        return client_connect(mosq, cfg);
    // A single "HOST:PORT" goes to its own host and port.
    std::vector<broker_addr> brokers;
    std::string error;
    if (broker_list_is_list(cfg->host) &&
        broker_list_parse(cfg->host, client_connect_port(cfg), &brokers, &error))
        return client_connect_start_to(mosq, cfg, brokers.front());
    return connect_result(cfg,
                          mosquitto_connect_bind_async(mosq, cfg->host, client_connect_port(cfg),
                                                       cfg->keepalive, cfg->bind_address));
}

int client_connect_start_to(struct mosquitto* mosq, mosq_config* cfg, const broker_addr& broker) {
    if (cfg->connect_props)
        return connect_result(cfg, mosquitto_connect_bind_v5(mosq, broker.host.c_str(), broker.port,
                                                             cfg->keepalive, cfg->bind_address,
                                                             cfg->connect_props));
    return connect_result(cfg, mosquitto_connect_bind_async(mosq, broker.host.c_str(), broker.port,
                                                            cfg->keepalive, cfg->bind_address));
}

int client_connect_report(mosq_config* cfg, int rc) {
    return connect_result(cfg, rc);
}

int client_connect_failed(mosq_config* cfg) {
    return connect_result(cfg, MOSQ_ERR_ERRNO);
}
