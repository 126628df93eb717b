// Balanced initialisation of libmosquitto for a process that runs several
// clients, possibly on different threads at once (one subscriber run per
// driver thread, the publisher, tests).
//
// mosquitto_lib_init and mosquitto_lib_cleanup act on the whole process: a
// cleanup while another client is connected tears down that client's TLS and
// network state. So nothing in this library calls them directly. Instead:
//
//   - The process holds a count of references under one lock. The real
//     mosquitto_lib_init runs when the count goes from 0 to 1, the real
//     mosquitto_lib_cleanup when it goes from 1 to 0.
//
//   - A client run takes its reference with client_lib_init_run(run), where
//     `run` is the run's configuration record, and gives it back with
//     client_lib_cleanup_run(run). The reference is remembered per record, and
//     giving it back a second time does nothing. That is what lets the
//     connection set-up (client_id_generate, client_opts_set, client_connect)
//     release the run's reference on its failure paths while the caller still
//     runs its own clean-up afterwards: the pair together releases exactly once.
//     A record that holds no reference (a test calling the set-up directly) is
//     left alone.
//
//   - Code that is not a client run (a test keeping its own connection, a
//     program that wants the library for longer) uses client_lib_init and
//     client_lib_cleanup, which take and release one plain reference each and
//     must be paired by the caller.
//
// Usage by a run (subscriber or publisher):
//
//     client_lib_init_run(cfg);            // first thing in the run
//     ... client_id_generate / mosquitto_new / client_opts_set / client_connect
//         (each releases the run's reference itself when it fails) ...
//     client_lib_cleanup_run(cfg);         // on every way out of the run
//
// All functions are thread-safe.
#pragma once

struct mosq_config;

// Takes one plain reference; the real mosquitto_lib_init runs on the first.
// Returns the library's result (0 on success); on failure no reference is held.
int client_lib_init(void);

// Releases one plain reference; the real mosquitto_lib_cleanup runs on the
// last. A call without a reference held does nothing.
void client_lib_cleanup(void);

// Takes the reference of the run described by `run`. A run that already holds
// one keeps it (the count does not grow). Returns the library's result.
int client_lib_init_run(const mosq_config* run);

// Releases the reference of the run described by `run`, if it holds one.
// Safe to call any number of times.
void client_lib_cleanup_run(const mosq_config* run);

// References held at the moment (plain and per run), for diagnostics and tests.
int client_lib_refcount(void);
