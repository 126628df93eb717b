// Handlers of the subscriber and output options, and the check of an output
// format.

#include "client/client_options_parts.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mqtt_protocol.h>

namespace client_opts {

namespace {

// Nearest whole number, halves away from zero (as lround), for values within
// the 32-bit range. Written out so that the publisher program, started once
// per publication, needs no math library to be loaded for this alone.
int32_t round_half_away(double x) {
    const int32_t whole = static_cast<int32_t>(x); // truncates toward zero
    const double rest = x - whole;                 // exact: |rest| < 1
    return whole + (rest >= 0.5 ? 1 : rest <= -0.5 ? -1 : 0);
}

// -T and -U: validated subscription filters appended to a list.
int append_filter(char*** list, int32_t* count, char* value, const char* opt, const char* what) {
    if (mosquitto_validate_utf8(value, text_len(value)) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "Error: Malformed UTF-8 in %s argument.\n\n", opt);
        return 1;
    }
    // An empty filter is no filter a broker accepts.
    if (*value == '\0' || mosquitto_sub_topic_check(value) == MOSQ_ERR_INVAL) {
        std::fprintf(stderr,
                     "Error: Invalid %s topic '%s', are all '+' and '#' wildcards correct?\n", what,
                     value);
        return 1;
    }
    char* copy = strdup(value);
    char** grown =
        copy ? static_cast<char**>(std::realloc(*list, sizeof(char*) * (size_t)(*count + 1)))
             : nullptr;
    if (!grown) {
        std::free(copy);
        say("Error: Out of memory.\n");
        return 1;
    }
    *list = grown;
    (*list)[(*count)++] = copy;
    return 0;
}

} // namespace

int on_msg_count(parse_state& st, char* value) {
    if (read_int(value, &st.cfg->msg_count)) {
        std::fprintf(stderr, "Error: Invalid message count \"%s\".\n\n", value);
        return 1;
    }
    if (st.cfg->msg_count < 1) {
        std::fprintf(stderr, "Error: Invalid message count \"%d\".\n\n", st.cfg->msg_count);
        return 1;
    }
    return 0;
}

int on_timeout(parse_state& st, char* value) {
    int n = 0;
    if (read_int(value, &n)) {
        std::fprintf(stderr, "Error: Invalid timeout \"%s\".\n\n", value);
        return 1;
    }
    if (n < 1) {
        std::fprintf(stderr, "Error: Invalid timeout \"%d\".\n\n", n);
        return 1;
    }
    st.cfg->timeout = static_cast<uint32_t>(n);
    return 0;
}

int on_no_retain(parse_state& st, char*) {
    st.cfg->no_retain = true;
    st.cfg->sub_opts |= MQTT_SUB_OPT_SEND_RETAIN_NEVER;
    return 0;
}

int on_retain_as_published(parse_state& st, char*) {
    st.cfg->sub_opts |= MQTT_SUB_OPT_RETAIN_AS_PUBLISHED;
    return 0;
}

int on_random_filter(parse_state& st, char* value) {
    // The value is a percentage with one decimal (0.1 .. 100.0); the record
    // keeps it out of 10000.
    double scaled = std::strtod(value, nullptr) * 100.0;
    bool representable = std::isfinite(scaled) && scaled > -2147483648.0 && scaled < 2147483647.0;
    if (representable)
        st.cfg->random_filter = round_half_away(scaled);
    if (!representable || st.cfg->random_filter < 1 || st.cfg->random_filter > 10000) {
        say("Error: --random-filter chance must be between 0.1-100.0\n\n");
        return 1;
    }
    return 0;
}

int on_filter_out(parse_state& st, char* value) {
    return append_filter(&st.cfg->filter_outs, &st.cfg->filter_out_count, value, "-T", "filter");
}

int on_unsubscribe(parse_state& st, char* value) {
    return append_filter(&st.cfg->unsub_topics, &st.cfg->unsub_topic_count, value, "-U",
                         "unsubscribe");
}

int on_format(parse_state& st, char* value) {
    if (set_text(&st.cfg->format, value)) {
        say("Error: Out of memory.\n");
        return 1;
    }
    return check_format(st.cfg->format);
}

} // namespace client_opts

using client_opts::say;

namespace {

// A larger width or precision would ask for that much padding per message.
constexpr size_t kMaxFieldNumber = 65535;

// One more digit of a width or precision; past the limit it stays just above it.
size_t add_field_digit(size_t value, char digit) {
    value = value * 10 + static_cast<size_t>(digit - '0');
    return value > kMaxFieldNumber ? kMaxFieldNumber + 1 : value;
}

} // namespace

// One pass over an output format: conversions ("%" with an optional flag,
// width and precision), time conversions ("@" and one character) and escapes.
int check_format(const char* str) {
    const char* incomplete = "Error: Incomplete format specifier.\n";
    size_t len = std::strlen(str);
    for (size_t i = 0; i < len; i++) {
        if (str[i] == '%') {
            if (i == len - 1) {
                say(incomplete);
                return 1;
            }
            i++;
            if (str[i] == '0' || str[i] == '-') {
                if (i == len - 1) {
                    say(incomplete);
                    return 1;
                }
                i++;
            }
            size_t width = 0;
            while (str[i] >= '0' && str[i] <= '9') {
                if (i == len - 1) {
                    say(incomplete);
                    return 1;
                }
                width = add_field_digit(width, str[i]);
                i++;
            }
            size_t precision = 0;
            if (str[i] == '.') {
                if (i == len - 1) {
                    say(incomplete);
                    return 1;
                }
                i++;
                while (str[i] >= '0' && str[i] <= '9') {
                    if (i == len - 1) {
                        say(incomplete);
                        return 1;
                    }
                    precision = add_field_digit(precision, str[i]);
                    i++;
                }
            }
            char code = str[i];
            if (code == 'U') {
                std::fprintf(stderr, "Error: The %%U format option is not supported on Windows.\n");
                return 1;
            }
            if (!std::strchr("%ACDEFIjJlmpPqrRStxX", code) || width > kMaxFieldNumber ||
                precision > kMaxFieldNumber) {
                std::fprintf(stderr, "Error: Invalid format specifier '%c'.\n", code);
                return 1;
            }
        } else if (str[i] == '@') {
            if (i == len - 1) {
                say(incomplete);
                return 1;
            }
            i++;
        } else if (str[i] == '\\') {
            if (i == len - 1) {
                say("Error: Incomplete escape specifier.\n");
                return 1;
            }
            i++;
            if (!std::strchr("0\\aenrtv", str[i])) {
                std::fprintf(stderr, "Error: Invalid escape specifier '%c'.\n", str[i]);
                return 1;
            }
        }
    }
    return 0;
}
