#include "client/sub_loop.h"

#include <cerrno>
#include <thread>

#include "client/sub_slot.h"
#include "platform/socket.h"

namespace {

using steady = std::chrono::steady_clock;

// How long one pass of the library's loop, or of the wait for a connection,
// may wait for network activity. It bounds how late a stop request or the -W
// deadline is noticed.
constexpr int LOOP_WAIT_MS = 100;
// The library's own pause between reconnection attempts, and the step in
// which that pause watches for a stop request or the deadline.
constexpr auto RECONNECT_DELAY = std::chrono::seconds(1);
constexpr auto PAUSE_STEP = std::chrono::milliseconds(50);
// Passes of the loop allowed for a DISCONNECT to leave when a run is stopped
// from outside, so that the broker sees a clean end (and keeps the will).
constexpr int DRAIN_PASSES = 10;
// How long a connect to one of several brokers waits for its CONNACK.
constexpr auto CONNACK_BOUND = std::chrono::seconds(10);

// Codes after which another connection attempt cannot help.
bool is_fatal(int rc) {
    switch (rc) {
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_NOT_FOUND:
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_ACL_DENIED:
    case MOSQ_ERR_UNKNOWN:
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_PROXY:
        return true;
    default:
        return false;
    }
}

enum class halt { none, stop, deadline };

halt halt_reason(const sub_para_t* slot, const sub_deadline& deadline) {
    if (slot->stop_requested.load(std::memory_order_relaxed))
        return halt::stop;
    if (deadline.set && steady::now() >= deadline.at)
        return halt::deadline;
    return halt::none;
}

// No more messages are handled once a run is halted from outside.
void mark_halted(sub_para_t* slot, halt why) {
    slot->process_messages = false;
    if (why == halt::deadline)
        slot->timed_out = true;
}

// Ends a run from outside its callbacks: a live connection is closed with a
// DISCONNECT that is given a moment to leave.
int halt_run(sub_para_t* slot, struct mosquitto* mosq, halt why) {
    mark_halted(slot, why);
    const bool already_sent = slot->disconnect_sent;
    slot->disconnect_sent = true;
    if (!already_sent &&
        mosquitto_disconnect_v5(mosq, 0, slot->cfg.disconnect_props) == MOSQ_ERR_SUCCESS) {
        for (int i = 0; i < DRAIN_PASSES; ++i) {
            if (mosquitto_loop(mosq, LOOP_WAIT_MS, 1) != MOSQ_ERR_SUCCESS)
                break;
        }
    }
    return MOSQ_ERR_SUCCESS;
}

// A drop of an accepted connection that the run did not ask for shows as
// "connection lost" until the next CONNACK says how the new one went.
void report_lost(sub_para_t* slot, sub_status_report report) {
    if (!slot->accepted || slot->disconnect_sent)
        return;
    slot->accepted = false;
    report(MOSQ_ERR_CONN_LOST, slot->cfg.pDevice);
}

} // namespace

sub_connect_wait sub_wait_connected(sub_para_t* slot, struct mosquitto* mosq,
                                    const sub_deadline& deadline) {
    const int sock = mosquitto_socket(mosq);
    // Nothing to watch: the library's loop reports whatever became of it.
    if (sock < 0)
        return SUB_CONNECTED;
    for (;;) {
        const halt why = halt_reason(slot, deadline);
        if (why != halt::none) {
            mark_halted(slot, why);
            return SUB_CONNECT_HALTED;
        }
        switch (sys_wait_connected(sock, LOOP_WAIT_MS)) {
        case 1:
            return SUB_CONNECTED;
        case -1:
            return SUB_CONNECT_FAILED;
        default:
            break;
        }
    }
}

int sub_run_loop(sub_para_t* slot, struct mosquitto* mosq, const sub_deadline& deadline,
                 sub_status_report report) {
    for (;;) {
        int rc = mosquitto_loop(mosq, LOOP_WAIT_MS, 1);
        const int err = errno;
        halt why = halt_reason(slot, deadline);
        if (why != halt::none)
            return halt_run(slot, mosq, why);

        int end_rc = MOSQ_ERR_SUCCESS;
        sub_loop_next next =
            sub_loop_decide(rc, err, slot->disconnect_sent, !slot->process_messages, &end_rc);
        // With other brokers to go to, one that takes the connection and
        // never answers it is left.
        if (next == SUB_LOOP_CONTINUE && slot->awaiting_connack && slot->brokers.size() > 1 &&
            steady::now() - slot->connect_started >= CONNACK_BOUND)
            next = SUB_LOOP_RECONNECT;
        if (next == SUB_LOOP_CONTINUE)
            continue;
        report_lost(slot, report);
        if (next == SUB_LOOP_END)
            return end_rc;

        // The connect is started without blocking: an address that does not
        // answer is waited for by the loop above, in its short steps.
        do {
            const steady::time_point resume = steady::now() + RECONNECT_DELAY;
            while (steady::now() < resume) {
                why = halt_reason(slot, deadline);
                if (why != halt::none)
                    return halt_run(slot, mosq, why);
                std::this_thread::sleep_for(PAUSE_STEP);
            }
            if (slot->brokers.size() > 1) {
                // The next broker; a lost one is tried again last.
                slot->broker = (slot->broker + 1) % slot->brokers.size();
                rc = sub_connect_broker(slot, mosq);
            } else {
                rc = mosquitto_reconnect_async(mosq);
            }
        } while (rc != MOSQ_ERR_SUCCESS);
    }
}

int sub_connect_broker(sub_para_t* slot, struct mosquitto* mosq) {
    const broker_addr& broker = slot->brokers[slot->broker];
    slot->awaiting_connack = true;
    slot->connect_started = std::chrono::steady_clock::now();
    const mosq_config& cfg = slot->cfg;
    if (cfg.connect_props)
        return mosquitto_connect_bind_v5(mosq, broker.host.c_str(), broker.port, cfg.keepalive,
                                         cfg.bind_address, cfg.connect_props);
    return mosquitto_connect_bind_async(mosq, broker.host.c_str(), broker.port, cfg.keepalive,
                                        cfg.bind_address);
}

sub_loop_next sub_loop_decide(int rc, int err, bool disconnect_sent, bool handling_done,
                              int* end_rc) {
    if (rc == MOSQ_ERR_SUCCESS)
        return SUB_LOOP_CONTINUE;
    // The run asked for the end itself: whatever the library reports about the
    // closed connection is no failure.
    if (disconnect_sent) {
        *end_rc = MOSQ_ERR_SUCCESS;
        return SUB_LOOP_END;
    }
    // A run that wants no more messages (only waiting for its clearing
    // publish to be acknowledged) has nothing to reconnect for.
    if (is_fatal(rc) || (rc == MOSQ_ERR_ERRNO && err == EPROTO) || handling_done) {
        *end_rc = rc;
        return SUB_LOOP_END;
    }
    return SUB_LOOP_RECONNECT;
}
