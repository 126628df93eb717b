// What the pieces of the option language share: the table row, the state a
// handler works on and the small readers every group of handlers uses. The
// table and the walk are in client_options.cpp; the handlers, by group, in
// client_options_connect.cpp, client_options_message.cpp and
// client_options_output.cpp.
#pragma once

#include "client/client_shared.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace client_opts {

enum arg_kind {
    ARG_NONE,  // a flag
    ARG_VALUE, // takes the next entry, whatever it looks like
    ARG_SELF,  // reads its own arguments through the walk's index (-D)
};

struct option_def;

struct parse_state {
    mosq_config* cfg;
    int pub_or_sub;
    int argc;
    char** argv;
    int* idx;              // the walk's index; -D moves it past its arguments
    const option_def* opt; // the row being applied
};

// Handlers return the parser's result: 0 go on, 1 error, 2 help, 3 version.
using option_handler = int (*)(parse_state& st, char* value);
// Checks that run before the value is looked at; non-zero ends the parse with 1.
using option_precheck = int (*)(const mosq_config* cfg);

struct option_def {
    const char* short_name; // may be null
    const char* long_name;  // may be null
    unsigned kinds;
    arg_kind arg;
    const char* missing; // printed when a value is due but argv has ended
    option_precheck pre;
    option_handler run;
    char* mosq_config::*text; // the field of a plain text option
    bool mosq_config::*flag;  // the field of a flag, and what the flag sets it to
    bool flag_value;
};

inline void say(const char* text) {
    std::fputs(text, stderr);
}

// Stores a copy of `value` in a text field. When the copy fails the field is
// left unset (never pointing at released memory).
inline int set_text(char** field, const char* value) {
    std::free(*field);
    *field = strdup(value);
    return *field ? 0 : 1;
}

// The record keeps lengths as int32; argument texts are far below 2 GiB.
inline int32_t text_len(const char* text) {
    return static_cast<int32_t>(std::strlen(text));
}

// Reads a number as atoi does (leading blanks, a sign and leading digits;
// anything else reads as 0) into `value`, but a number beyond the range of int
// is not wrapped into it: the result is then -1 (below) or 1 (above) and
// `value` is left alone. 0 when it fits.
inline int read_int(const char* text, int* value) {
    // long long holds every int and then some: a clamped result is out of range too.
    const long long n = std::strtoll(text, nullptr, 10);
    if (n < INT_MIN)
        return -1;
    if (n > INT_MAX)
        return 1;
    *value = static_cast<int>(n);
    return 0;
}

// For a number too large for the option whose range message would not say so.
inline int say_invalid_number(const char* text, const char* option) {
    std::fprintf(stderr, "Error: Invalid number \"%s\" for %s.\n\n", text, option);
    return 1;
}

// Connection, identity and general options (client_options_connect.cpp).
int on_text(parse_state& st, char* value);
int on_flag(parse_state& st, char* value);
int on_help(parse_state& st, char* value);
int on_version(parse_state& st, char* value);
int on_client_id(parse_state& st, char* value);
int on_unix(parse_state& st, char* value);
int on_url(parse_state& st, char* url);
int on_port(parse_state& st, char* value);
int on_keepalive(parse_state& st, char* value);
int on_protocol_version(parse_state& st, char* value);
int on_session_expiry(parse_state& st, char* value);
int on_max_inflight(parse_state& st, char* value);
int on_property(parse_state& st, char* value);

// Topics, QoS, last will, message source and repetition
// (client_options_message.cpp).
int on_topic(parse_state& st, char* value);
int on_response_topic(parse_state& st, char* value);
int on_qos(parse_state& st, char* value);
int on_will_topic(parse_state& st, char* value);
int on_will_payload(parse_state& st, char* value);
int on_will_qos(parse_state& st, char* value);
int on_message(parse_state& st, char* value);
int on_file(parse_state& st, char* value);
int on_stdin_file(parse_state& st, char* value);
int on_null_message(parse_state& st, char* value);
int on_stdin_line(parse_state& st, char* value);
int on_repeat(parse_state& st, char* value);
int on_repeat_delay(parse_state& st, char* value);

// Subscriber and output options (client_options_output.cpp).
int on_msg_count(parse_state& st, char* value);
int on_timeout(parse_state& st, char* value);
int on_no_retain(parse_state& st, char* value);
int on_retain_as_published(parse_state& st, char* value);
int on_random_filter(parse_state& st, char* value);
int on_filter_out(parse_state& st, char* value);
int on_unsubscribe(parse_state& st, char* value);
int on_format(parse_state& st, char* value);

} // namespace client_opts
