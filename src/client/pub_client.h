// The one-shot publisher: connects, publishes one message on one topic
// (optionally repeated with a delay), disconnects and returns an exit code.
#pragma once

#include "platform/export.h"

// One publisher run with a process-style argument vector (argv[0] is a program
// name and is not parsed; the strings must be writable). Runs on the calling
// thread and returns the exit code: 0 after a clean disconnect, 1 for usage,
// input and set-up errors, the broker's CONNACK code when it refused the
// connection, otherwise the libmosquitto error code that ended the run (also
// when the message could not be sent at all, e.g. a payload too large).
// One run at a time per process: the run state is process-wide.
KRO_EXPORT int mqttclinet_pub(int argc, char** argv);
