// The network side of one subscriber run: waiting for the connection, the
// library's network loop with its reconnection, and the ends the library's own
// loop knows nothing of (the -W deadline, a stop from another thread). Every
// wait in here is cut into steps of at most LOOP_WAIT_MS, so that neither a
// deadline nor a stop is ever noticed later than that, whatever the network
// does.
#pragma once

#include <chrono>

#include <mosquitto.h>

struct sub_para_t;

// When a run must end whatever the network does.
struct sub_deadline {
    bool set = false;
    std::chrono::steady_clock::time_point at;
};

// How the wait for a run's first connection ended.
enum sub_connect_wait {
    SUB_CONNECTED,      // the TCP connection is up; the loop takes over
    SUB_CONNECT_HALTED, // a stop or the deadline came first (timed_out tells which)
    SUB_CONNECT_FAILED, // the connect failed; errno holds the system's code
};

// Waits for the connect started by client_connect_start to complete.
sub_connect_wait sub_wait_connected(sub_para_t* slot, struct mosquitto* mosq,
                                    const sub_deadline& deadline);

// Receives a run's status with its device context (the subscriber's status
// callback); handed in so that the loop needs nothing from the run above it.
typedef void (*sub_status_report)(int state, void* obj);

// Runs the library's loop until the run ends; returns the loop's result. A
// connection that had been accepted and drops without the run asking for it is
// reported once through `report` with MOSQ_ERR_CONN_LOST; the loop then
// reconnects, 1 s between attempts, for as long as it takes.
int sub_run_loop(sub_para_t* slot, struct mosquitto* mosq, const sub_deadline& deadline,
                 sub_status_report report);

// Starts the connect to the slot's current broker of its several (see
// broker_list.h); the libmosquitto result.
int sub_connect_broker(sub_para_t* slot, struct mosquitto* mosq);

// What the run's loop does after one pass of the library's network loop.
enum sub_loop_next {
    SUB_LOOP_CONTINUE,  // go on looping
    SUB_LOOP_RECONNECT, // the connection is gone: wait and reconnect
    SUB_LOOP_END,       // the run is over
};

// Decides how the loop goes on after mosquitto_loop returned `rc` (with `err`
// the errno at that moment). `disconnect_sent`: the run asked for the
// disconnect itself. `handling_done`: no more messages are wanted. For
// SUB_LOOP_END, `*end_rc` receives the result to end with.
sub_loop_next sub_loop_decide(int rc, int err, bool disconnect_sent, bool handling_done,
                              int* end_rc);
