// Turning a loaded configuration record into a connected libmosquitto client.
// Order of use: client_config_load -> client_id_generate -> mosquitto_new ->
// client_opts_set -> callbacks -> client_connect -> network loop.
//
// Every failure is printed through err_printf (silenced by --quiet) and
// releases the run's library reference (client_lib_cleanup_run, see
// lib_init.h) before returning; the caller's own clean-up may release it again
// without harm.
#pragma once

#include "client/broker_list.h"
#include "client/client_shared.h"

// Fills `id` from `id_prefix` and the process id ("%s%d", no separator).
// Without a prefix the id is left as it is. 0 on success, 1 on failure.
int client_id_generate(mosq_config* cfg);

// Applies protocol version, will, credentials, TLS settings and client options
// from the record. Takes over `will_props` once the will is set (or when there
// is no will topic). 0 when everything was applied, 1 on the first failure.
int client_opts_set(struct mosquitto* mosq, mosq_config* cfg);

// The port the connection goes to: `port` unless it is PORT_UNDEFINED, then
// 8883 when a CA file or directory is given and 1883 otherwise.
int client_connect_port(const mosq_config* cfg);

// Starts the connection (blocking connect; the handshake runs in the network
// loop) to the first broker of the record's list that takes it. 0 when
// started, otherwise the libmosquitto error code.
int client_connect(struct mosquitto* mosq, mosq_config* cfg);

// The same, but the TCP connect may still be under way when it returns, so
// that the caller can bound the wait (see sys_wait_connected). CONNECT
// properties can only be handed over by the library's blocking call, so with
// them the connect blocks as in client_connect. Without them a list's first
// broker is the one.
int client_connect_start(struct mosquitto* mosq, mosq_config* cfg);

// client_connect_start to one broker of the record's list.
int client_connect_start_to(struct mosquitto* mosq, mosq_config* cfg, const broker_addr& broker);

// Reports a connect that failed at once with libmosquitto's code `rc`, as
// client_connect does; releases the run's library reference. Returns `rc`.
int client_connect_report(mosq_config* cfg, int rc);

// Reports a connect that failed after client_connect_start returned, with the
// system's error number in errno, as client_connect reports a failed blocking
// connect; releases the run's library reference. Returns MOSQ_ERR_ERRNO.
int client_connect_failed(mosq_config* cfg);
