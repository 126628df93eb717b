// Output side of the subscriber: what happens to every message the subscriber
// accepts. It is printed through a -F format, printed verbosely (-v), or, by
// default, handed to the process-wide message callback that the drivers
// register; a random filter may drop it first.
#pragma once

#include <cstddef>
#include <ctime>

#include <mosquitto.h>

#include "client/client_shared.h"
#include "platform/export.h"

// Receives one message: topic, payload as NUL-terminated text (cut at the
// first NUL byte it contains) and the run's device context. Both strings are
// valid only during the call.
typedef void (*CallbackFunction)(const char* top, const char* mes, void* pdev);

// Replaces the message callback of every subscriber run in the process; null
// switches delivery off.
KRO_EXPORT void register_callback(CallbackFunction cb);

// Calls the registered message callback, if any.
KRO_EXPORT void trigger_callback(const char* top, const char* mes, void* pdev);

// Called at every run start: payload bytes go to standard output untranslated.
void output_init();

// Output of one accepted message in the mode the run's record selects.
void print_message(mosq_config* lcfg, const mosquitto_message* message,
                   const mosquitto_property* properties);

// The local time of one clock reading, with its sub-second part in
// nanoseconds (whole milliseconds). Reports a failure through the process-wide
// record `cfg`. 0 on success, 1 on failure. `ti` is the caller's storage, so
// concurrent runs never share a time.
int get_time(struct tm* ti, long* ns);

// Writes the payload raw (hex 0) or as lower (1) or upper (2) case hexadecimal
// in a field. A width cuts a longer payload; in hexadecimal a width shows at
// most width/2 bytes. `precision` is accepted for symmetry and not used.
void write_payload(const unsigned char* payload, int payloadlen, int hex, char align, char pad,
                   int field_width, int precision);

// Writes bytes for the inside of a JSON string: '"', '\\' and control
// characters become \u00XX, everything else passes unchanged.
void write_json_payload(const char* payload, int payloadlen);

// "2024-05-01T12:00:00.250000+0200": the local time with microseconds from
// `ns` and the zone offset.
void format_time_8601(const struct tm* ti, int ns, char* buf, size_t len);

// Writes the message as one JSON object. `escaped` writes the payload as a
// JSON string; otherwise the payload must itself be JSON and is inserted as
// it is. 0 written, 1 out of memory, 3 payload is not valid JSON (nothing
// written). `pretty` is accepted and has no effect.
int json_print(const mosquitto_message* message, const mosquitto_property* properties,
               const struct tm* ti, int ns, bool escaped, bool pretty);

// The -F format walk and its pieces.
void formatted_print(const mosq_config* lcfg, const mosquitto_message* message,
                     const mosquitto_property* properties);
void formatted_print_percent(const mosq_config* lcfg, const mosquitto_message* message,
                             const mosquitto_property* properties, char format, char align,
                             char pad, int field_width, int precision);
void formatted_print_int(long long value, char align, char pad, int field_width);
void formatted_print_str(const char* value, char align, int field_width, int precision);
void formatted_print_blank(char pad, int field_width);
