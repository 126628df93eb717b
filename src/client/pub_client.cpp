#include "client/pub_client.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "client/client_connect.h"
#include "client/client_shared.h"
#include "client/lib_init.h"
#include "client/pub_shared.h"
#include "platform/tick.h"

namespace {

enum pub_status {
    STATUS_CONNECTING = 0,
    STATUS_DISCONNECTED = 1,
    STATUS_NOHOPE = 2,
};

// Run state. Everything here is set back at the start of every run, so that
// runs one after another in one process behave alike.
int mid_sent = -1;
volatile int status = STATUS_CONNECTING;
int connack_result = 0;
bool first_publish = true;
int publish_count = 0;
bool ready_for_repeat = false;
bool disconnect_sent = false;
uint64_t next_publish_tv = 0;
// Why the first publish of the connection could not be sent; the run then
// ends with the disconnect it asks for, which must not read as success.
int first_publish_error = 0;

void reset_run_state() {
    mid_sent = -1;
    status = STATUS_CONNECTING;
    connack_result = 0;
    first_publish = true;
    publish_count = 0;
    ready_for_repeat = false;
    disconnect_sent = false;
    next_publish_tv = 0;
    first_publish_error = 0;
}

const char* const PUB_VERSION = "1.0";

void print_version() {
    int major = 0, minor = 0, revision = 0;
    mosquitto_lib_version(&major, &minor, &revision);
    std::printf("mosquitto_pub version %s running on libmosquitto %d.%d.%d.\n", PUB_VERSION, major,
                minor, revision);
}

void print_usage() {
    int major = 0, minor = 0, revision = 0;
    mosquitto_lib_version(&major, &minor, &revision);
    std::printf("mosquitto_pub is a simple mqtt client that will publish a message on a single "
                "topic and exit.\n");
    std::printf("mosquitto_pub version %s running on libmosquitto %d.%d.%d.\n\n", PUB_VERSION,
                major, minor, revision);
    std::printf(
        "Usage: mosquitto_pub {[-h host] [--unix path] [-p port] [-u username] [-P password] -t "
        "topic | -L URL}\n"
        "                     {-f file | -l | -n | -m message}\n"
        "                     [-c] [-k keepalive] [-q qos] [-r] [--repeat N] [--repeat-delay "
        "time] [-x session-expiry]\n"
        "                     [-A bind_address] [--nodelay]\n"
        "                     [-i id] [-I id_prefix]\n"
        "                     [-d] [--quiet]\n"
        "                     [-M max_inflight]\n"
        "                     [-u username [-P password]]\n"
        "                     [--will-topic [--will-payload payload] [--will-qos qos] "
        "[--will-retain]]\n"
        "                     [{--cafile file | --capath dir} [--cert file] [--key file]\n"
        "                       [--ciphers ciphers] [--insecure]\n"
        "                       [--tls-alpn protocol]\n"
        "                       [--tls-engine engine] [--keyform keyform] "
        "[--tls-engine-kpass-sha1]]\n"
        "                       [--tls-use-os-certs]\n"
        "                     [--property command identifier value]\n"
        "                     [-D command identifier value]\n"
        "       mosquitto_pub --help\n"
        "\n");
    std::printf(
        " -A : bind the outgoing socket to this host/ip address. Use to control which interface\n"
        "      the client communicates over.\n"
        " -d : enable debug messages.\n"
        " -c : disable clean session/enable persistent client mode\n"
        "      When this argument is used, the broker will be instructed not to clean existing\n"
        "      sessions for the same client id when the client connects, and sessions will never\n"
        "      expire when the client disconnects. MQTT v5 clients can change their session\n"
        "      expiry interval with the -x argument.\n"
        " -D : define an MQTT v5 property: a packet name, a property name and its value.\n"
        " -f : send the contents of a file as the message.\n"
        " -h : mqtt host to connect to. Defaults to localhost.\n"
        " -i : id to use for this client. Defaults to mosquitto_pub_ appended with the process "
        "id.\n"
        " -I : define the client id as id_prefix appended with the process id. Useful for when\n"
        "      the broker is using the clientid_prefixes option.\n"
        " -k : keep alive in seconds for this client. Defaults to 60.\n"
        " -L : specify user, password, hostname, port and topic as a URL in the form:\n"
        "      mqtt(s)://[username[:password]@]host[:port]/topic\n"
        " -l : read messages from stdin, sending a separate message for each line.\n"
        " -m : message payload to send.\n"
        " -M : the maximum inflight messages for QoS 1/2. Defaults to 20.\n"
        " -n : send a null (zero length) message.\n"
        " -p : network port to connect to. Defaults to 1883 for plain MQTT and 8883 for MQTT "
        "over TLS.\n"
        " -P : provide a password\n"
        " -q : quality of service level to use for all messages. Defaults to 0.\n"
        " -r : message should be retained.\n"
        " -s : read message from stdin, sending the entire input as a message.\n"
        " -t : mqtt topic to publish to.\n"
        " -u : provide a username\n"
        " -V : specify the version of the MQTT protocol to use when connecting.\n"
        "      Can be mqttv5, mqttv311 or mqttv31. Defaults to mqttv311.\n"
        " -x : Set the session-expiry-interval property on the CONNECT packet. Applies to MQTT v5\n"
        "      clients only. Set to 0-4294967294 to specify the session will expire in that many\n"
        "      seconds after the client disconnects, or use -1, 4294967295, or \xe2\x88\x9e for a "
        "session\n"
        "      that does not expire. Defaults to -1 if -c is also given, or 0 if -c not given.\n"
        " --help : display this message.\n"
        " --nodelay : disable Nagle's algorithm, to reduce socket sending latency at the possible\n"
        "             expense of more packets being sent.\n"
        " --quiet : don't print error messages.\n"
        " --repeat : if publish mode is -f, -m, or -s, then repeat the publish N times.\n"
        " --repeat-delay : if using --repeat, wait time seconds between publishes. Defaults to "
        "0.\n"
        " --unix : connect to a broker through a unix domain socket instead of a TCP socket,\n"
        "          e.g. /tmp/mosquitto.sock\n"
        " --will-payload : payload for the client Will, which is sent by the broker in case of\n"
        "                  unexpected disconnection. If not given and will-topic is set, a zero\n"
        "                  length message will be sent.\n"
        " --will-qos : QoS level for the client Will.\n"
        " --will-retain : if given, make the client Will retained.\n"
        " --will-topic : the topic on which to publish the client Will.\n"
        " --cafile : path to a file containing trusted CA certificates to enable encrypted\n"
        "            communication.\n"
        " --capath : path to a directory containing trusted CA certificates to enable encrypted\n"
        "            communication.\n"
        " --cert : client certificate for authentication, if required by server.\n"
        " --key : client private key for authentication, if required by server.\n"
        " --keyform : keyfile type, can be either \"pem\" or \"engine\".\n"
        " --ciphers : openssl compatible list of TLS ciphers to support.\n"
        " --tls-version : TLS protocol version, can be one of tlsv1.3 tlsv1.2 or tlsv1.1.\n"
        "                 Defaults to tlsv1.2 if available.\n"
        " --insecure : do not check that the server certificate hostname matches the remote\n"
        "              hostname. Using this option means that you cannot be sure that the\n"
        "              remote host is the server you wish to connect to and so is insecure.\n"
        "              Do not use this option in a production environment.\n"
        " --tls-engine : If set, enables the use of a TLS engine device.\n"
        " --tls-engine-kpass-sha1 : SHA1 of the key password to be used with the selected SSL "
        "engine.\n"
        " --tls-use-os-certs : Load and trust OS provided CA certificates.\n");
    std::printf("\nSee https://mosquitto.org/ for more information.\n\n");
}

void set_repeat_time() {
    next_publish_tv = tick_count_ms() + static_cast<uint64_t>(cfg.repeat_delay.tv_sec) * 1000u +
                      static_cast<uint64_t>(cfg.repeat_delay.tv_usec) / 1000u;
}

bool check_repeat_time() {
    return tick_count_ms() > next_publish_tv;
}

int my_publish(struct mosquitto* mosq, int* mid, const char* topic, int payloadlen,
               const void* payload, int qos, bool retain) {
    ready_for_repeat = false;
    // Under MQTT v5 with a topic alias, only the first publish of a connection
    // names the topic; the alias stands for it afterwards.
    if (cfg.protocol_version == MQTT_PROTOCOL_V5 && cfg.have_topic_alias && !first_publish) {
        return mosquitto_publish_v5(mosq, mid, nullptr, payloadlen, payload, qos, retain,
                                    cfg.publish_props);
    }
    first_publish = false;
    return mosquitto_publish_v5(mosq, mid, topic, payloadlen, payload, qos, retain,
                                cfg.publish_props);
}

// The message of this run, by its source.
int publish_message(struct mosquitto* mosq) {
    switch (cfg.pub_mode) {
    case MSGMODE_CMD:
    case MSGMODE_STDIN_FILE:
    case MSGMODE_FILE:
        return my_publish(mosq, &mid_sent, cfg.topic, cfg.msglen, cfg.message, cfg.qos, cfg.retain);
    case MSGMODE_NULL:
        return my_publish(mosq, &mid_sent, cfg.topic, 0, nullptr, cfg.qos, cfg.retain);
    default:
        return MOSQ_ERR_SUCCESS;
    }
}

void my_connect_callback(struct mosquitto* mosq, void* obj, int result, int flags,
                         const mosquitto_property* properties) {
    (void)obj;
    (void)flags;
    (void)properties;
    connack_result = result;
    if (result == 0) {
        first_publish = true;
        int rc = publish_message(mosq);
        if (rc) {
            first_publish_error = rc;
            switch (rc) {
            case MOSQ_ERR_NOMEM:
                err_printf(&cfg, "Error: Out of memory when trying to publish message.\n");
                break;
            case MOSQ_ERR_PROTOCOL:
                err_printf(&cfg, "Error: Protocol error when communicating with broker.\n");
                break;
            case MOSQ_ERR_INVAL:
                err_printf(&cfg, "Error: Invalid input. Does your topic contain '+' or '#'?\n");
                break;
            case MOSQ_ERR_NO_CONN:
                err_printf(&cfg, "Error: Client not connected when trying to publish.\n");
                break;
            case MOSQ_ERR_PAYLOAD_SIZE:
                err_printf(&cfg, "Error: Message payload is too large.\n");
                break;
            case MOSQ_ERR_QOS_NOT_SUPPORTED:
                err_printf(&cfg, "Error: Message QoS not supported on broker, try a lower QoS.\n");
                break;
            default:
                break;
            }
            mosquitto_disconnect_v5(mosq, 0, cfg.disconnect_props);
        }
        return;
    }

    if (cfg.protocol_version == MQTT_PROTOCOL_V5) {
        if (result == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) {
            err_printf(&cfg,
                       "Connection error: %s. Try connecting to an MQTT v5 broker, or use MQTT "
                       "v3.x mode.\n",
                       mosquitto_reason_string(result));
        } else {
            err_printf(&cfg, "Connection error: %s\n", mosquitto_reason_string(result));
        }
    } else {
        err_printf(&cfg, "Connection error: %s\n", mosquitto_connack_string(result));
    }
    status = STATUS_NOHOPE;
}

void my_disconnect_callback(struct mosquitto* mosq, void* obj, int rc,
                            const mosquitto_property* properties) {
    (void)mosq;
    (void)obj;
    (void)properties;
    // 0 only for the disconnect this client asked for.
    if (rc == 0)
        status = STATUS_DISCONNECTED;
}

void my_publish_callback(struct mosquitto* mosq, void* obj, int mid, int reason_code,
                         const mosquitto_property* properties) {
    (void)obj;
    std::printf("reason_code  reason_code = %d \n", reason_code);
    if (reason_code > 127) {
        err_printf(&cfg, "Warning: Publish %d failed: %s.\n", mid,
                   mosquitto_reason_string(reason_code));
        char* reason_string = nullptr;
        mosquitto_property_read_string(properties, MQTT_PROP_REASON_STRING, &reason_string, false);
        if (reason_string) {
            err_printf(&cfg, "%s\n", reason_string);
            std::free(reason_string);
        }
    }
    publish_count++;
    std::printf("publish_count  publish_count = %d \n", publish_count);
    std::printf("cfg.repeat_count = %d \n", cfg.repeat_count);
    // A caller reading through a pipe sees each completed publish at once.
    std::fflush(stdout);

    if (publish_count < cfg.repeat_count) {
        ready_for_repeat = true;
        set_repeat_time();
    } else if (!disconnect_sent) {
        mosquitto_disconnect_v5(mosq, 0, cfg.disconnect_props);
        disconnect_sent = true;
    }
}

int pub_other_loop(struct mosquitto* mosq) {
    // Wake often enough to send a repeat on time: half the sub-second part of
    // the delay, not at all when there is no delay, else once a second.
    int loop_delay = 1000;
    if (cfg.repeat_count > 1 && (cfg.repeat_delay.tv_sec == 0 || cfg.repeat_delay.tv_usec != 0))
        loop_delay = cfg.repeat_delay.tv_usec / 2000;

    int rc;
    do {
        rc = mosquitto_loop(mosq, loop_delay, 1);
        if (ready_for_repeat && check_repeat_time()) {
            rc = publish_message(mosq);
            if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
                err_printf(&cfg, "Error sending repeat publish: %s", mosquitto_strerror(rc));
        }
    } while (rc == MOSQ_ERR_SUCCESS);

    if (status == STATUS_DISCONNECTED)
        return MOSQ_ERR_SUCCESS;
    return rc;
}

int pub_shared_loop(struct mosquitto* mosq) {
    return pub_other_loop(mosq);
}

// The common way out of a run that never reached the loop.
int pub_fail(struct mosquitto* mosq) {
    if (mosq)
        mosquitto_destroy(mosq);
    client_lib_cleanup_run(&cfg);
    client_config_cleanup(&cfg);
    return 1;
}

} // namespace

KRO_EXPORT int mqttclinet_pub(int argc, char** argv) {
    reset_run_state();
    client_lib_init_run(&cfg);

    int rc = client_config_load(&cfg, CLIENT_PUB, argc, argv);
    if (rc) {
        if (rc == 2)
            print_usage();
        else if (rc == 3)
            print_version();
        else
            std::fprintf(stderr, "\nUse 'mosquitto_pub --help' to see usage.\n");
        return pub_fail(nullptr);
    }

    if (cfg.pub_mode == MSGMODE_STDIN_LINE) {
        std::fprintf(stderr, "Error: '-l' mode not available, threading support has not been "
                             "compiled in.\n");
        return pub_fail(nullptr);
    }

    if (cfg.pub_mode == MSGMODE_STDIN_FILE) {
        if (load_stdin()) {
            err_printf(&cfg, "Error loading input from stdin.\n");
            return pub_fail(nullptr);
        }
    } else if (cfg.file_input) {
        if (load_file(cfg.file_input)) {
            err_printf(&cfg, "Error loading input file \"%s\".\n", cfg.file_input);
            return pub_fail(nullptr);
        }
    }

    if (!cfg.topic || cfg.pub_mode == MSGMODE_NONE) {
        std::fprintf(stderr, "Error: Both topic and message must be supplied.\n");
        print_usage();
        return pub_fail(nullptr);
    }

    if (client_id_generate(&cfg))
        return pub_fail(nullptr);

    struct mosquitto* mosq = mosquitto_new(cfg.id, cfg.clean_session, nullptr);
    if (!mosq) {
        switch (errno) {
        case ENOMEM:
            err_printf(&cfg, "Error: Out of memory.\n");
            break;
        case EINVAL:
            err_printf(&cfg, "Error: Invalid id.\n");
            break;
        default:
            break;
        }
        return pub_fail(nullptr);
    }

    if (cfg.debug)
        mosquitto_log_callback_set(mosq, pub::my_log_callback);
    mosquitto_connect_v5_callback_set(mosq, my_connect_callback);
    mosquitto_disconnect_v5_callback_set(mosq, my_disconnect_callback);
    mosquitto_publish_v5_callback_set(mosq, my_publish_callback);

    if (client_opts_set(mosq, &cfg) || client_connect(mosq, &cfg))
        return pub_fail(mosq);

    rc = pub_shared_loop(mosq);

    if (cfg.message && cfg.pub_mode == MSGMODE_FILE) {
        std::free(cfg.message);
        cfg.message = nullptr;
    }
    mosquitto_destroy(mosq);
    client_lib_cleanup_run(&cfg);
    client_config_cleanup(&cfg);

    if (rc)
        err_printf(&cfg, "Error: %s\n", mosquitto_strerror(rc));
    if (connack_result)
        return connack_result;
    return rc ? rc : first_publish_error;
}
