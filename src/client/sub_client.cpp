#include "client/sub_client.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include <mqtt_protocol.h>

#include "client/client_connect.h"
#include "client/lib_init.h"
#include "client/sub_client_output.h"
#include "client/sub_loop.h"

sub_para_t sub_para[CNT_CFG];

namespace {

using steady = std::chrono::steady_clock;

// Held only while the table is scanned or a slot is claimed or released.
std::mutex mutex;

// Read at every CONNACK by every run's thread while a driver may register a
// new one: atomic, so neither side needs a lock.
std::atomic<CallbackFunction1> status_callback{nullptr};

// The marker a null-context run leaves in its slot: the slot's own address,
// which no device context can equal.
void* null_marker(sub_para_t* slot) {
    return slot;
}

bool is_run_of(sub_para_t* slot, void* pdev) {
    return slot->live && slot->pdev == (pdev ? pdev : null_marker(slot));
}

// The slot a library callback belongs to. The user pointer given to the
// library is the slot itself; it is trusted only when it lies in the table and
// the slot's live client is this one, otherwise the table is searched.
sub_para_t* slot_of(struct mosquitto* mosq, void* obj) {
    std::less<const void*> before;
    const void* first = &sub_para[0];
    const void* end = &sub_para[CNT_CFG];
    if (obj && !before(obj, first) && before(obj, end)) {
        // Only the run's own thread writes g_mosq, and callbacks run on it.
        sub_para_t* slot = static_cast<sub_para_t*>(obj);
        if (slot->g_mosq == mosq)
            return slot;
    }
    return getCfg2(mosq);
}

void set_handle(sub_para_t* slot, struct mosquitto* mosq) {
    std::lock_guard<std::mutex> lock(mutex);
    slot->g_mosq = mosq;
}

// Once is enough: a second DISCONNECT would only sit in the queue.
void request_disconnect(sub_para_t* slot, struct mosquitto* mosq) {
    if (slot->disconnect_sent)
        return;
    slot->disconnect_sent = true;
    mosquitto_disconnect_v5(mosq, 0, slot->cfg.disconnect_props);
}

// The common way out of a run that never reached the loop.
int sub_fail(sub_para_t* slot, struct mosquitto* mosq) {
    if (mosq) {
        set_handle(slot, nullptr);
        mosquitto_destroy(mosq);
    }
    client_lib_cleanup_run(&slot->cfg);
    client_config_cleanup(&slot->cfg);
    sub_slot_release(slot);
    return 1;
}

void start_run_state(sub_para_t* slot) {
    slot->process_messages = true;
    slot->msg_count = 0;
    slot->last_mid = 0;
    slot->timed_out = false;
    slot->connack_result = 0;
    slot->connack_received = false;
    slot->disconnect_sent = false;
    slot->accepted = false;
    slot->denied = false;
    slot->brokers.clear();
    slot->broker = 0;
    slot->awaiting_connack = false;
    slot->refusals = 0;
    slot->subacks_pending = 0;
    slot->sub_granted = false;
}

// Where each device's next run starts in its broker list: past the broker
// its last run failed on, so that a broker that refuses is not the only one
// ever tried.
std::mutex start_mutex;
std::vector<std::pair<void*, size_t>> start_broker;

size_t next_start(void* pdev, size_t count) {
    std::lock_guard<std::mutex> lock(start_mutex);
    for (const auto& [dev, index] : start_broker)
        if (dev == pdev)
            return index % count;
    return 0;
}

void set_next_start(void* pdev, size_t index) {
    std::lock_guard<std::mutex> lock(start_mutex);
    for (auto& entry : start_broker)
        if (entry.first == pdev) {
            entry.second = index;
            return;
        }
    if (start_broker.size() < 4 * CNT_CFG)
        start_broker.emplace_back(pdev, index);
}

// Bytes one SUBSCRIBE packet may take unless the broker tells less (its MQTT
// v5 maximum packet size): a broker may answer a bigger one by disconnecting,
// and a run with few topics still sends them in one request.
constexpr size_t kSubscribeBound = 64 * 1024;

size_t varint_size(size_t n) {
    return n < 128 ? 1 : n < 16384 ? 2 : n < 2097152 ? 3 : 4;
}

// One request for `count` topics from `first`; one the library finds too big
// for the broker (the SUBSCRIBE properties are not in the estimate) is halved.
// Returns the requests sent.
int subscribe_request(struct mosquitto* mosq, mosq_config* cfg, int first, int count) {
    const int rc = mosquitto_subscribe_multiple(mosq, nullptr, count, cfg->topics + first, cfg->qos,
                                                cfg->sub_opts, cfg->subscribe_props);
    if (rc == MOSQ_ERR_OVERSIZE_PACKET && count > 1)
        return subscribe_request(mosq, cfg, first, count / 2) +
               subscribe_request(mosq, cfg, first + count / 2, count - count / 2);
    return rc == MOSQ_ERR_SUCCESS ? 1 : 0;
}

// The run's topics in order, in as few requests as keep every packet within
// the bound (a topic bigger than the bound goes alone) and, with a limit, none
// with more than `per_request` topics.
int subscribe_all(struct mosquitto* mosq, mosq_config* cfg, const mosquitto_property* connack,
                  size_t per_request) {
    size_t bound = kSubscribeBound;
    uint32_t advertised = 0;
    if (connack &&
        mosquitto_property_read_int32(connack, MQTT_PROP_MAXIMUM_PACKET_SIZE, &advertised, false) &&
        advertised > 0 && advertised < bound)
        bound = advertised;
    // Packet identifier, and the property length under MQTT v5.
    const size_t head = 2 + (cfg->protocol_version == MQTT_PROTOCOL_V5 ? 1 : 0);
    int requests = 0;
    for (int first = 0; first < cfg->topic_count;) {
        size_t body = head;
        int end = first;
        for (; end < cfg->topic_count; ++end) {
            if (per_request && static_cast<size_t>(end - first) == per_request)
                break;
            // Length, filter, options byte.
            const size_t grown = body + 2 + std::strlen(cfg->topics[end]) + 1;
            if (end > first && 1 + varint_size(grown) + grown > bound)
                break;
            body = grown;
        }
        requests += subscribe_request(mosq, cfg, first, end - first);
        first = end;
    }
    return requests;
}

} // namespace

sub_para_t* getCfg1(void* pdev, bool* busy) {
    if (busy)
        *busy = false;
    std::lock_guard<std::mutex> lock(mutex);
    sub_para_t* found = nullptr;
    for (sub_para_t& slot : sub_para) {
        // Only a live run holds a context, so a match is a run still going.
        if (pdev && slot.pdev == pdev) {
            if (busy)
                *busy = true;
            return nullptr;
        }
        if (!found && !slot.pdev)
            found = &slot;
    }
    if (!found)
        return nullptr;
    found->pdev = pdev ? pdev : null_marker(found);
    found->live = true;
    found->run_thread = std::this_thread::get_id();
    found->stop_requested.store(false, std::memory_order_relaxed);
    return found;
}

void sub_slot_release(sub_para_t* slot) {
    std::lock_guard<std::mutex> lock(mutex);
    slot->live = false;
    slot->run_thread = std::thread::id();
    slot->g_mosq = nullptr;
    slot->stop_requested.store(false, std::memory_order_relaxed);
    // Free for any context: a table that kept its contexts would fill up for
    // good once sixteen of them had ever run.
    slot->pdev = nullptr;
}

sub_para_t* getCfg2(struct mosquitto* pmosq) {
    if (!pmosq)
        return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    for (sub_para_t& slot : sub_para) {
        if (slot.g_mosq == pmosq)
            return &slot;
    }
    return nullptr;
}

int sub_client_stop(void* pdev) {
    std::lock_guard<std::mutex> lock(mutex);
    int stopped = 0;
    for (sub_para_t& slot : sub_para) {
        if (is_run_of(&slot, pdev)) {
            slot.stop_requested.store(true, std::memory_order_relaxed);
            ++stopped;
        }
    }
    return stopped;
}

int sub_client_stop_thread(std::thread::id thread) {
    std::lock_guard<std::mutex> lock(mutex);
    int stopped = 0;
    for (sub_para_t& slot : sub_para) {
        if (slot.live && slot.run_thread == thread) {
            slot.stop_requested.store(true, std::memory_order_relaxed);
            ++stopped;
        }
    }
    return stopped;
}

std::string sub_client_broker_in_use() {
    std::lock_guard<std::mutex> lock(mutex);
    for (const sub_para_t& slot : sub_para)
        if (slot.live && slot.run_thread == std::this_thread::get_id())
            return slot.brokers.size() > 1 ? broker_addr_text(slot.brokers[slot.broker]) : "";
    return "";
}

void register_callback1(CallbackFunction1 cb) {
    status_callback.store(cb, std::memory_order_release);
}

void trigger_callback1(int state, void* obj) {
    CallbackFunction1 cb = status_callback.load(std::memory_order_acquire);
    if (cb)
        cb(state, obj);
}

void my_connect_callback(struct mosquitto* mosq, void* obj, int result, int flags,
                         const mosquitto_property* properties) {
    (void)flags;
    sub_para_t* slot = slot_of(mosq, obj);
    if (!slot)
        return;
    mosq_config* lcfg = &slot->cfg;
    slot->connack_received = true;
    slot->awaiting_connack = false;
    slot->connack_result = result;
    slot->accepted = result == 0;
    trigger_callback1(result, lcfg->pDevice);

    if (result == 0) {
        slot->refusals = 0;
        slot->sub_granted = false;
        slot->subacks_pending = subscribe_all(mosq, lcfg, properties, slot->per_request);
        for (int i = 0; i < lcfg->unsub_topic_count; ++i)
            mosquitto_unsubscribe_v5(mosq, nullptr, lcfg->unsub_topics[i], lcfg->unsubscribe_props);
        return;
    }

    if (lcfg->protocol_version == MQTT_PROTOCOL_V5) {
        if (result == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) {
            err_printf(lcfg,
                       "Connection error: %s. Try connecting to an MQTT v5 broker, or use MQTT "
                       "v3.x mode.\n",
                       mosquitto_reason_string(result));
        } else {
            err_printf(lcfg, "Connection error: %s\n", mosquitto_reason_string(result));
        }
    } else {
        err_printf(lcfg, "Connection error: %s\n", mosquitto_connack_string(result));
    }
    // Another broker of the list may accept: the loop moves on to it. Only
    // when every broker has refused in turn does the run end.
    if (slot->brokers.size() > 1 && ++slot->refusals < slot->brokers.size()) {
        mosquitto_disconnect_v5(mosq, 0, nullptr);
        return;
    }
    request_disconnect(slot, mosq);
}

void my_subscribe_callback(struct mosquitto* mosq, void* obj, int mid, int qos_count,
                           const int* granted_qos) {
    sub_para_t* slot = slot_of(mosq, obj);
    if (!slot)
        return;
    mosq_config* lcfg = &slot->cfg;
    bool print = lcfg->debug && !lcfg->quiet;
    // A SUBACK without a single code grants nothing.
    bool allowed = false;
    if (qos_count > 0 && granted_qos) {
        allowed = granted_qos[0] < 128;
        if (print)
            std::printf("Subscribed (mid: %d): %d", mid, granted_qos[0]);
        for (int i = 1; i < qos_count; ++i) {
            if (print)
                std::printf(", %d", granted_qos[i]);
            if (granted_qos[i] < 128)
                allowed = true;
        }
        if (print)
            std::printf("\n");
    }

    // The verdict waits for the answer to the connection's last request.
    if (slot->subacks_pending > 1) {
        --slot->subacks_pending;
        slot->sub_granted = slot->sub_granted || allowed;
        return;
    }
    const bool granted = slot->sub_granted || allowed;
    slot->subacks_pending = 0;
    slot->sub_granted = false;
    if (!granted) {
        slot->denied = true;
        request_disconnect(slot, mosq);
        err_printf(lcfg, "All subscription requests were denied.\n");
    }
    if (lcfg->exit_after_sub)
        request_disconnect(slot, mosq);
}

void my_message_callback(struct mosquitto* mosq, void* obj, const struct mosquitto_message* message,
                         const mosquitto_property* properties) {
    sub_para_t* slot = slot_of(mosq, obj);
    if (!slot || !slot->process_messages)
        return;
    mosq_config* lcfg = &slot->cfg;

    if (lcfg->retained_only && !message->retain) {
        slot->process_messages = false;
        if (slot->last_mid == 0)
            request_disconnect(slot, mosq);
        return;
    }
    if (message->retain && lcfg->no_retain)
        return;
    for (int i = 0; i < lcfg->filter_out_count; ++i) {
        bool match = false;
        mosquitto_topic_matches_sub(lcfg->filter_outs[i], message->topic, &match);
        if (match)
            return;
    }

    if (lcfg->remove_retained && message->retain) {
        int previous = slot->last_mid;
        if (mosquitto_publish(mosq, &slot->last_mid, message->topic, 0, nullptr, 1, true) !=
            MOSQ_ERR_SUCCESS) {
            // Nothing was sent, so there is no acknowledgement to wait for.
            slot->last_mid = previous;
        }
    }

    print_message(lcfg, message, properties);

    if (lcfg->msg_count > 0) {
        ++slot->msg_count;
        if (slot->msg_count == lcfg->msg_count) {
            slot->process_messages = false;
            if (slot->last_mid == 0)
                request_disconnect(slot, mosq);
        }
    }
}

// Once message handling has stopped, the run ends when its latest clearing
// publish is acknowledged, so that the retained message is gone from the
// broker when the run returns.
void my_publish_callback(struct mosquitto* mosq, void* obj, int mid) {
    sub_para_t* slot = slot_of(mosq, obj);
    if (!slot || slot->last_mid == 0 || mid != slot->last_mid)
        return;
    slot->last_mid = 0;
    if (!slot->process_messages)
        request_disconnect(slot, mosq);
}

void my_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str) {
    (void)mosq;
    (void)obj;
    (void)level;
    std::printf("%s\n", str);
}

void print_version(void) {
    int major = 0, minor = 0, revision = 0;
    mosquitto_lib_version(&major, &minor, &revision);
}

void print_usage(void) {
    int major = 0, minor = 0, revision = 0;
    mosquitto_lib_version(&major, &minor, &revision);
    std::printf("mosquitto_sub is a simple mqtt client that will subscribe to a set of topics and "
                "print all messages it receives.\n");
    std::printf(
        "Usage: mosquitto_sub {[-h host] [--unix path] [-p port] [-u username] [-P password] -t "
        "topic | -L URL [-t topic]}\n"
        "                     [-c] [-k keepalive] [-q qos] [-x session-expiry-interval]\n"
        "                     [-C msg_count] [-E] [-R] [--retained-only] [--remove-retained] [-T "
        "filter_out] [-U topic ...]\n"
        "                     [-F format]\n"
        "                     [-A bind_address] [--nodelay]\n"
        "                     [-i id] [-I id_prefix]\n"
        "                     [-d] [-N] [--quiet] [-v]\n"
        "                     [--will-topic [--will-payload payload] [--will-qos qos] "
        "[--will-retain]]\n"
        "                     [{--cafile file | --capath dir} [--cert file] [--key file]\n"
        "                       [--ciphers ciphers] [--insecure]\n"
        "                       [--tls-alpn protocol]\n"
        "                       [--tls-engine engine] [--keyform keyform] "
        "[--tls-engine-kpass-sha1]]\n"
        "                       [--tls-use-os-certs]\n"
        "                     [-D command identifier value]\n"
        "       mosquitto_sub --help\n"
        "\n");
    std::printf(
        " -A : bind the outgoing socket to this host/ip address, to choose the network\n"
        "      interface the client talks through.\n"
        " -c : disable clean session (persistent client mode). The broker keeps the session\n"
        "      and queues messages for this client id while it is away. Needs a client id (-i).\n"
        " -C : stop and exit after handling this many messages.\n"
        " -d : enable debug messages: the library's log and the granted QoS of subscriptions.\n"
        " -D : define an MQTT v5 property for a packet: -D command identifier value, e.g.\n"
        "      -D connect session-expiry-interval 60. Implies MQTT v5.\n"
        " -E : exit once the broker has acknowledged the subscriptions.\n"
        " -F : print each message through this format instead of the default output.\n"
        "      %%t topic, %%p payload, %%x/%%X payload in hexadecimal, %%l payload length,\n"
        "      %%q QoS, %%r retained flag, %%m message id, %%j/%%J JSON with the payload as a\n"
        "      string or as JSON, %%I ISO 8601 time, %%A %%C %%D %%E %%F %%P %%R %%S MQTT v5\n"
        "      properties, @ followed by a strftime code for the time, \\n \\t and other\n"
        "      escapes; %%5t, %%-5t, %%05l and %%.2t set width, alignment and precision.\n"
        " -h : mqtt host to connect to. Defaults to localhost.\n"
        " -i : id to use for this client. Without it the library makes up a random id.\n"
        " -I : define the client id as id_prefix followed by the process id.\n"
        " -k : keep alive in seconds for this client. Defaults to 60.\n"
        " -L : specify user, password, hostname, port and topic as a URL in the form:\n"
        "      mqtt(s)://[username[:password]@]host[:port]/topic\n"
        " -N : do not add an end of line after each message.\n"
        " -p : network port to connect to. Defaults to 1883 for plain MQTT and 8883 for MQTT "
        "over TLS.\n"
        " -P : provide a password.\n"
        " -q : quality of service level to use for the subscription. Defaults to 0.\n"
        " -R : drop retained (stale) messages.\n"
        " -t : mqtt topic filter to subscribe to. May be given several times.\n"
        " -T : topic filter whose messages are left out. May be given several times.\n"
        " -u : provide a username.\n"
        " -U : unsubscribe from this topic filter after subscribing. May be given several\n"
        "      times.\n"
        " -v : print each message verbosely: its topic, a space and its payload.\n"
        " -V : specify the version of the MQTT protocol to use when connecting.\n"
        "      Can be mqttv5, mqttv311 or mqttv31. Defaults to mqttv311.\n"
        " -x : set the session-expiry-interval property of the CONNECT packet (MQTT v5 only), in\n"
        "      seconds; -1, 4294967295 or \xe2\x88\x9e for a session that never expires.\n"
        " --help : display this message.\n"
        " --nodelay : disable Nagle's algorithm, so that packets leave at once at the cost of\n"
        "             sending more of them.\n"
        " --pretty : accepted for JSON output formats; the JSON object is always written on\n"
        "            one line.\n"
        " --quiet : don't print error messages.\n"
        " --random-filter : handle only this percentage of the messages, chosen at random,\n"
        "                   from 0.1 to 100.0.\n"
        " --retained-only : handle only retained messages; exit at the first message that is\n"
        "                   not retained.\n"
        " --remove-retained : clear every retained message received from the broker. Use -T\n"
        "                     to keep the ones that must stay.\n"
        " --unix : connect to a broker through a unix domain socket instead of a TCP socket,\n"
        "          e.g. /tmp/mosquitto.sock\n"
        " --will-payload : payload of the client's will, which the broker publishes when the\n"
        "                  client goes away without disconnecting. Empty when not given.\n"
        " --will-qos : QoS level of the client's will.\n"
        " --will-retain : make the client's will a retained message.\n"
        " --will-topic : the topic the client's will is published on.\n"
        " --cafile : file of trusted CA certificates; enables TLS.\n"
        " --capath : directory of trusted CA certificates; enables TLS.\n"
        " --cert : client certificate, when the broker asks for one.\n"
        " --key : client private key, when the broker asks for a certificate.\n"
        " --keyform : form of the private key, \"pem\" or \"engine\".\n"
        " --ciphers : openssl list of the TLS ciphers to offer.\n"
        " --tls-version : TLS protocol version: tlsv1.3, tlsv1.2 or tlsv1.1.\n"
        " --insecure : do not check that the host name in the broker's certificate matches the\n"
        "              host connected to. Anyone may then pose as the broker: never use this\n"
        "              in production.\n"
        " --tls-engine : use this TLS engine device.\n"
        " --tls-engine-kpass-sha1 : SHA-1 of the key password for the TLS engine.\n"
        " --tls-use-os-certs : trust the CA certificates of the operating system.\n");
    std::printf("\nSee https://mosquitto.org/ for more information.\n\n");
}

KRO_EXPORT int mqttclinet_sub(int argc, char** argv, void* pdev) {
    return sub_client_run(argc, argv, pdev, nullptr);
}

int sub_client_run(int argc, char** argv, void* pdev, sub_run_info* info, size_t per_request) {
    const steady::time_point started = steady::now();
    if (info)
        *info = sub_run_info{};

    bool busy = false;
    sub_para_t* slot = getCfg1(pdev, &busy);
    if (!slot) {
        if (busy)
            std::fprintf(stderr, "Error: Subscription context is already in use by another run.\n");
        else
            std::fprintf(stderr, "Error: No free subscription slot (all %d in use).\n", CNT_CFG);
        return 1;
    }
    start_run_state(slot);
    slot->per_request = per_request;
    mosq_config* lcfg = &slot->cfg;

    int rc = client_lib_init_run(lcfg);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "Error: %s\n", mosquitto_strerror(rc));
        sub_slot_release(slot);
        return 1;
    }
    output_init();

    rc = client_config_load(lcfg, CLIENT_SUB, argc, argv);
    if (rc) {
        if (rc == 2)
            print_usage();
        else if (rc == 3)
            print_version();
        else
            std::fprintf(stderr, "\nUse 'mosquitto_sub --help' to see usage.\n");
        return sub_fail(slot, nullptr);
    }

    if (lcfg->no_retain && lcfg->retained_only) {
        std::fprintf(stderr, "\nError: Combining '-R' and '--retained-only' makes no sense.\n");
        return sub_fail(slot, nullptr);
    }

    if (client_id_generate(lcfg))
        return sub_fail(slot, nullptr);

    lcfg->pDevice = pdev;

    struct mosquitto* mosq = mosquitto_new(lcfg->id, lcfg->clean_session, slot);
    if (!mosq) {
        switch (errno) {
        case ENOMEM:
            err_printf(lcfg, "Error: Out of memory.\n");
            break;
        case EINVAL:
            err_printf(lcfg, "Error: Invalid id and/or clean_session.\n");
            break;
        default:
            break;
        }
        return sub_fail(slot, nullptr);
    }
    set_handle(slot, mosq);

    if (client_opts_set(mosq, lcfg))
        return sub_fail(slot, mosq);

    if (lcfg->debug)
        mosquitto_log_callback_set(mosq, my_log_callback);
    mosquitto_subscribe_callback_set(mosq, my_subscribe_callback);
    mosquitto_connect_v5_callback_set(mosq, my_connect_callback);
    mosquitto_message_v5_callback_set(mosq, my_message_callback);
    if (lcfg->remove_retained)
        mosquitto_publish_callback_set(mosq, my_publish_callback);

    sub_deadline deadline;
    deadline.set = lcfg->timeout > 0;
    deadline.at = started + std::chrono::seconds(lcfg->timeout);
    sub_connect_wait wait = SUB_CONNECT_FAILED;
    std::string list_error; // checked when the record was loaded
    if (broker_list_is_list(lcfg->host)) {
        broker_list_parse(lcfg->host, client_connect_port(lcfg), &slot->brokers, &list_error);
        slot->broker = next_start(pdev, slot->brokers.size());
    }
    if (slot->brokers.size() < 2) {
        if (client_connect_start(mosq, lcfg))
            return sub_fail(slot, mosq);
        wait = sub_wait_connected(slot, mosq, deadline);
    } else {
        // The first broker that takes the connection, each tried once.
        for (size_t tried = 0; tried < slot->brokers.size(); ++tried) {
            const int rc_start = sub_connect_broker(slot, mosq);
            wait = rc_start ? SUB_CONNECT_FAILED : sub_wait_connected(slot, mosq, deadline);
            if (wait != SUB_CONNECT_FAILED)
                break;
            if (tried + 1 == slot->brokers.size()) {
                set_next_start(pdev, slot->broker + 1);
                if (rc_start) {
                    client_connect_report(lcfg, rc_start);
                    return sub_fail(slot, mosq);
                }
                break;
            }
            slot->broker = (slot->broker + 1) % slot->brokers.size();
        }
    }
    switch (wait) {
    case SUB_CONNECT_FAILED:
        client_connect_failed(lcfg);
        return sub_fail(slot, mosq);
    case SUB_CONNECT_HALTED:
        rc = MOSQ_ERR_SUCCESS;
        break;
    case SUB_CONNECTED:
        rc = sub_run_loop(slot, mosq, deadline, trigger_callback1);
        break;
    }

    set_handle(slot, nullptr);
    mosquitto_destroy(mosq);
    client_lib_cleanup_run(lcfg);

    if (lcfg->msg_count > 0 && rc == MOSQ_ERR_NO_CONN)
        rc = MOSQ_ERR_SUCCESS;
    client_config_cleanup(lcfg);

    if (slot->timed_out) {
        err_printf(lcfg, "Timed out\n");
        rc = MOSQ_ERR_TIMEOUT;
    } else {
        if (rc)
            err_printf(lcfg, "Error: %s\n", mosquitto_strerror(rc));
        if (slot->connack_result)
            rc = slot->connack_result;
    }
    if (info)
        info->denied = slot->denied;
    if (slot->brokers.size() > 1)
        set_next_start(pdev, slot->broker + (rc ? 1 : 0));
    // Last: from here on another run may take the slot.
    sub_slot_release(slot);
    return rc;
}
