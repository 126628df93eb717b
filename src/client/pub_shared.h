// Input loading and logging for the publisher. All of them work on the
// publisher's process-wide record `cfg`.
#pragma once

struct mosquitto;

// The largest payload MQTT can carry (0xFFFFFFF bytes).
#define PUB_MAX_PAYLOAD 268435455u

// Reads all of standard input into cfg.message / cfg.msglen and sets the
// stdin-file mode. 0 on success; 1 after printing why (no input, read error,
// too long, out of memory), with the message buffer released.
int load_stdin(void);

// Reads the whole file into cfg.message / cfg.msglen and sets the file mode;
// an empty file leaves no buffer and length 0. 0 on success, 1 after printing
// why.
int load_file(const char* filename);

// Library log lines (with -d): each written to standard output. In a
// namespace of its own because the subscriber has a callback of the same name
// in the same library.
namespace pub {
void my_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str);
} // namespace pub
