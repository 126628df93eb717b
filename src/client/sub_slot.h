// The record of one subscriber run, shared by the run itself (sub_client) and
// its network loop (sub_loop), which sits below it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <mosquitto.h>

#include "client/broker_list.h"
#include "client/client_shared.h"

// One subscription context. The fields up to connack_received are the run's
// state; the ones after it keep the table honest when runs overlap.
struct sub_para_t {
    // Key for claims: the device context that claimed the slot, null while it
    // is unclaimed. A run with a null context marks the slot with the slot's
    // own address for the length of its run.
    void* pdev;
    // The client of the slot's live run, null while none exists. Recorded
    // before connecting and cleared before the client is destroyed, so a
    // library callback always finds its own run's slot.
    struct mosquitto* g_mosq;
    mosq_config cfg;       // the run's record; cfg.pDevice is the run's context
    bool process_messages; // messages are handled while set
    int32_t msg_count;     // messages handled so far (counted under -C only)
    // Id of the latest --remove-retained clearing publish still waiting for
    // its acknowledgement; 0 while none is outstanding.
    int32_t last_mid;
    bool timed_out; // the -W time ran out
    int32_t connack_result;
    bool connack_received;

    // With several brokers: the list, the one connected or being connected
    // to, and since when a connect has waited for its CONNACK.
    std::vector<broker_addr> brokers;
    size_t broker;
    bool awaiting_connack;
    size_t refusals; // CONNACK refusals in a row
    std::chrono::steady_clock::time_point connect_started;

    bool accepted; // the current connection's CONNACK accepted it
    bool denied;   // the broker denied every subscription of the run
    // The connection's SUBSCRIBE requests not yet answered, and whether an
    // answer so far granted a topic: the verdict waits for the last one.
    int32_t subacks_pending;
    bool sub_granted;
    size_t per_request; // filters one SUBSCRIBE may carry, 0: no limit

    bool live;                  // a run uses the slot now (under the table lock)
    std::thread::id run_thread; // the thread of the live run (under the table lock)
    bool disconnect_sent;       // the run asked the library to disconnect
    // Set by sub_client_stop from any thread; the run's loop checks it.
    std::atomic<bool> stop_requested;
};
