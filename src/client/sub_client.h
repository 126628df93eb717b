// The in-process subscriber: one run connects, subscribes and hands every
// accepted message to the output layer until the run ends. Several runs may
// proceed at once on different threads; each keeps its state in one slot of a
// fixed table of subscription contexts, found by the device context the run
// was started with.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include <mosquitto.h>

#include "client/client_shared.h"
#include "client/sub_loop.h"
#include "client/sub_slot.h"
#include "platform/export.h"

// Slots in the table of subscription contexts.
#define CNT_CFG 16

// The table, all zero at load.
extern sub_para_t sub_para[CNT_CFG];

// Claims the first unclaimed slot for one run of `pdev` (a null context marks
// it with the slot's own address). Null when all slots are in use, or when
// another live run holds the same context (`*busy` tells which, when given). A
// claimed slot must be given back with sub_slot_release at the end of the run.
sub_para_t* getCfg1(void* pdev, bool* busy = nullptr);

// Ends a run's use of its slot: the slot is unclaimed again.
void sub_slot_release(sub_para_t* slot);

// The slot whose live client is `pmosq` (exact match), or null.
sub_para_t* getCfg2(struct mosquitto* pmosq);

// Receives the result of every CONNACK with the run's device context.
typedef void (*CallbackFunction1)(int state, void* obj);

// Replaces the status callback of every subscriber run in the process; null
// switches status reporting off. Safe while runs are live.
KRO_EXPORT void register_callback1(CallbackFunction1 cb);

// Calls the registered status callback, if any.
KRO_EXPORT void trigger_callback1(int state, void* obj);

// One subscriber run with a process-style argument vector (argv[0] is a
// program name and is not parsed; the strings must be writable). Blocks on the
// calling thread until the run ends. `pdev` is handed back unchanged through
// both callbacks. Returns 0; 1 for usage, set-up and slot errors; the broker's
// refusal code; 27 when -W ran out; or the libmosquitto error that ended it.
KRO_EXPORT int mqttclinet_sub(int argc, char** argv, void* pdev);

// Makes the live run of `pdev` end soon (within a fraction of a second while
// it is connected, connecting or waiting to reconnect) with the result it
// would have without further messages, normally 0. With a null `pdev` every
// live run that was started with a null context is stopped. Safe to call from
// any thread at any time; returns the number of runs asked to stop, 0 when
// none was live. A stop that arrives before a run has claimed its slot does
// not reach that run: a caller racing with a run's start calls it again until
// the run has returned.
int sub_client_stop(void* pdev);

// The same for the live run executing on `thread` (a run executes entirely on
// the thread that called mqttclinet_sub), whatever its context.
int sub_client_stop_thread(std::thread::id thread);

// "HOST:PORT" of the broker the run on the calling thread is connected or
// connecting to, when it has several; empty otherwise. For the status
// callback.
std::string sub_client_broker_in_use();

// What a run learned beyond its result.
struct sub_run_info {
    // The broker denied every subscription (the run still returns 0, as it
    // does for a direct caller of mqttclinet_sub).
    bool denied = false;
};

// mqttclinet_sub, also telling the caller what ended the run when `info` is
// given. `per_request` filters at most go in one SUBSCRIBE (0: no limit), for
// brokers that refuse a bigger request whole.
int sub_client_run(int argc, char** argv, void* pdev, sub_run_info* info, size_t per_request = 0);

// The library callbacks installed on every run's client.
void my_connect_callback(struct mosquitto* mosq, void* obj, int result, int flags,
                         const mosquitto_property* properties);
void my_subscribe_callback(struct mosquitto* mosq, void* obj, int mid, int qos_count,
                           const int* granted_qos);
void my_message_callback(struct mosquitto* mosq, void* obj, const struct mosquitto_message* message,
                         const mosquitto_property* properties);
void my_publish_callback(struct mosquitto* mosq, void* obj, int mid);
void my_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str);

// Answers to --help (the usage text on standard output) and --version
// (nothing is printed).
void print_usage(void);
void print_version(void);
