// Configuration side of the MQTT client library: the record that describes one
// client run, the option language that fills it, MQTT v5 property arguments and
// loading a record from the per-user configuration file and an argument vector.
#pragma once

#include <cstdint>

#include <mosquitto.h>

// Client kinds, passed everywhere as `pub_or_sub`.
#define CLIENT_PUB 1
#define CLIENT_SUB 2
#define CLIENT_RR 3
// Not a client kind: the topic kind with which -e stores its response topic.
#define CLIENT_RESPONSE_TOPIC 4

// Where the publisher's message comes from.
#define MSGMODE_NONE 0
#define MSGMODE_CMD 1
#define MSGMODE_STDIN_LINE 2
#define MSGMODE_STDIN_FILE 3
#define MSGMODE_FILE 4
#define MSGMODE_NULL 5

// `port` before anything chose one: the connection picks 1883 or 8883 by TLS use.
#define PORT_UNDEFINED -1
// `port` for a local socket given with --unix.
#define PORT_UNIX 0

struct repeat_delay_t {
    int32_t tv_sec;
    int32_t tv_usec;
};

// One client run. Texts are heap copies owned by the record (malloc/strdup),
// lists are owned arrays of owned texts with a separate count; everything is
// released by client_config_cleanup.
struct mosq_config {
    char* id;
    char* id_prefix;
    int32_t protocol_version;
    int32_t keepalive;
    char* host;
    int32_t port;
    int32_t qos;
    bool retain;
    int32_t pub_mode;
    char* file_input;
    char* message;
    int32_t msglen;
    char* topic;
    char* bind_address;
    int32_t repeat_count;
    repeat_delay_t repeat_delay;
    bool debug;
    bool quiet;
    uint32_t max_inflight;
    char* username;
    char* password;
    char* will_topic;
    char* will_payload;
    int32_t will_payloadlen;
    int32_t will_qos;
    bool will_retain;
    char* cafile;
    char* capath;
    char* certfile;
    char* keyfile;
    char* ciphers;
    bool insecure;
    char* tls_alpn;
    char* tls_version;
    char* tls_engine;
    char* tls_engine_kpass_sha1;
    char* keyform;
    bool tls_use_os_certs;
    bool clean_session;
    char** topics;
    int32_t topic_count;
    bool exit_after_sub;
    bool no_retain;
    bool retained_only;
    bool remove_retained;
    char** filter_outs;
    int32_t filter_out_count;
    char** unsub_topics;
    int32_t unsub_topic_count;
    bool verbose;
    bool eol;
    int32_t msg_count;
    char* format;
    bool pretty;
    uint32_t timeout;
    int32_t sub_opts;
    int64_t session_expiry_interval;
    int32_t random_filter;
    mosquitto_property* connect_props;
    mosquitto_property* publish_props;
    mosquitto_property* subscribe_props;
    mosquitto_property* unsubscribe_props;
    mosquitto_property* disconnect_props;
    mosquitto_property* will_props;
    bool have_topic_alias;
    char* response_topic;
    bool tcp_nodelay;
    void* pDevice; // the driver's device context; not owned
};

// The publisher's record; zero until a run loads it.
extern mosq_config cfg;

// Zero-fills the record and sets the defaults for the client kind.
void init_config(mosq_config* cfg, int pub_or_sub);

// Validates and stores one topic: the publish topic for CLIENT_PUB/CLIENT_RR, the
// response topic for CLIENT_RESPONSE_TOPIC, otherwise an appended subscription.
// `arg` names the option in messages. 0 when stored, 1 after printing an error.
int cfg_add_topic(mosq_config* cfg, int type, char* topic, const char* arg);

// Releases everything the record owns and clears what it released, so calling
// it twice is harmless. The record is used again only after init_config.
void client_config_cleanup(mosq_config* cfg);

// printf to standard error unless the record asks for quiet.
void err_printf(const mosq_config* cfg, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Applies argv[1..argc-1] to the record. 0 done, 1 error (printed), 2 --help,
// 3 --version. The strings of argv must be writable (-L cuts its value in place).
int client_config_line_proc(mosq_config* cfg, int pub_or_sub, int argc, char** argv);

// 0 when `str` is an acceptable -F output format, else 1 after printing why.
int check_format(const char* str);

// Reads one -D property from argv; on entry *idx indexes the packet name, on
// success it indexes the last argument consumed. 0 on success; otherwise a
// libmosquitto code (3 or 10 for refusals) after printing the reason.
int cfg_parse_property(mosq_config* cfg, int argc, char** argv, int* idx);

// Fills the record for one run: defaults, per-user configuration file, argv,
// final checks. 0 ready, 1 error (printed), 2 --help, 3 --version.
int client_config_load(mosq_config* cfg, int pub_or_sub, int argc, char** argv);
