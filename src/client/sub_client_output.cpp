#include "client/sub_client_output.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <mqtt_protocol.h>
#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/random.h"

namespace {

// Read at every delivery by every run's thread while a driver may register a
// new one: atomic, so neither side needs a lock.
std::atomic<CallbackFunction> callback{nullptr};

// --random-filter threshold that keeps every message.
constexpr int RANDOM_FILTER_ALL = 10000;
constexpr size_t TIME_BUF_LEN = 100;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// One more decimal digit of a field width or precision. A longer run of
// digits than an int holds stays at INT_MAX instead of overflowing.
int add_digit(int value, char digit) {
    int d = digit - '0';
    if (value > (INT_MAX - d) / 10)
        return INT_MAX;
    return value * 10 + d;
}

void write_time_error(const mosq_config* lcfg) {
    err_printf(lcfg, "Error obtaining system time.\n");
}

// Hands a non-empty payload to the message callback as NUL-terminated text.
// The library promises no NUL byte after a received payload, so the callback
// gets a terminated copy rather than a read past the end of the buffer.
void deliver(const mosq_config* lcfg, const mosquitto_message* message) {
    size_t len = static_cast<size_t>(message->payloadlen);
    char* text = static_cast<char*>(std::malloc(len + 1));
    if (!text) {
        err_printf(lcfg, "Error: Out of memory.\n");
        return;
    }
    std::memcpy(text, message->payload, len);
    text[len] = '\0';
    trigger_callback(message->topic, text, lcfg->pDevice);
    std::free(text);
}

// Every user property as "name:value", separated by single spaces.
void print_user_properties(const mosquitto_property* properties) {
    char* name = nullptr;
    char* value = nullptr;
    const mosquitto_property* prop = mosquitto_property_read_string_pair(
        properties, MQTT_PROP_USER_PROPERTY, &name, &value, false);
    bool first = true;
    while (prop) {
        if (!first)
            std::fputc(' ', stdout);
        std::printf("%s:%s", name, value);
        std::free(name);
        std::free(value);
        name = nullptr;
        value = nullptr;
        first = false;
        prop =
            mosquitto_property_read_string_pair(prop, MQTT_PROP_USER_PROPERTY, &name, &value, true);
    }
}

} // namespace

void register_callback(CallbackFunction cb) {
    callback.store(cb, std::memory_order_release);
}

void trigger_callback(const char* top, const char* mes, void* pdev) {
    CallbackFunction cb = callback.load(std::memory_order_acquire);
    if (cb)
        cb(top, mes, pdev);
}

void output_init() {
    stdout_binary_mode();
}

int get_time(struct tm* ti, long* ns) {
    long milliseconds = 0;
    if (local_clock_read(ti, &milliseconds) != 0) {
        err_printf(&cfg, "Error obtaining system time.\n");
        return 1;
    }
    *ns = milliseconds * 1000000L;
    return 0;
}

void format_time_8601(const struct tm* ti, int ns, char* buf, size_t len) {
    if (len == 0)
        return;
    // Built in three steps rather than by overwriting fixed positions, so a
    // year of other than four digits cannot shift the fraction into the zone.
    size_t used = local_time_format(buf, len, "%Y-%m-%dT%H:%M:%S", ti);
    if (used == 0) {
        buf[0] = '\0';
        return;
    }
    int fraction = std::snprintf(buf + used, len - used, ".%06d", ns / 1000);
    if (fraction < 0 || static_cast<size_t>(fraction) >= len - used)
        return;
    used += static_cast<size_t>(fraction);
    if (local_time_format(buf + used, len - used, "%z", ti) == 0)
        buf[used] = '\0';
}

void write_payload(const unsigned char* payload, int payloadlen, int hex, char align, char pad,
                   int field_width, int precision) {
    (void)precision;
    int shown = payloadlen;
    int padlen;
    if (field_width > 0) {
        if (hex == 0) {
            if (shown > field_width)
                shown = field_width;
            padlen = field_width - shown;
        } else {
            // Two digits per byte: the width holds at most width/2 bytes, and a
            // shorter payload is shown whole.
            if (shown > field_width / 2)
                shown = field_width / 2;
            padlen = field_width - 2 * shown;
        }
    } else {
        padlen = field_width - payloadlen;
    }

    if (align != '-') {
        for (int i = 0; i < padlen; ++i)
            std::fputc(pad, stdout);
    }
    if (hex == 0) {
        if (shown > 0)
            std::fwrite(payload, 1, static_cast<size_t>(shown), stdout);
    } else {
        const char* digits = hex == 1 ? "%02x" : "%02X";
        for (int i = 0; i < shown; ++i)
            std::printf(digits, payload[i]);
    }
    if (align == '-') {
        for (int i = 0; i < padlen; ++i)
            std::fputc(' ', stdout);
    }
}

void write_json_payload(const char* payload, int payloadlen) {
    for (int i = 0; i < payloadlen; ++i) {
        signed char c = static_cast<signed char>(payload[i]);
        if (c == '"' || c == '\\' || (c >= 0 && c <= 31))
            std::printf("\\u%04x", c);
        else
            std::fputc(payload[i], stdout);
    }
}

int json_print(const mosquitto_message* message, const mosquitto_property* properties,
               const struct tm* ti, int ns, bool escaped, bool pretty) {
    (void)properties;
    (void)pretty;
    const char* payload = static_cast<const char*>(message->payload);
    int payloadlen = message->payloadlen > 0 ? message->payloadlen : 0;

    if (!escaped) {
        // Inserted as it is, the payload must be JSON itself, or the object
        // written around it would be broken.
        if (payloadlen == 0)
            return 3;
        try {
            if (!nlohmann::json::accept(payload, payload + payloadlen))
                return 3;
        } catch (const std::bad_alloc&) {
            return 1;
        }
    }

    char tst[TIME_BUF_LEN];
    format_time_8601(ti, ns, tst, sizeof(tst));
    std::printf("{\"tst\":\"%s\",\"topic\":\"", tst);
    // A topic may hold '"' or '\\'; escaped like the payload it stays a valid
    // JSON string (ordinary topics are unchanged).
    write_json_payload(message->topic, static_cast<int>(std::strlen(message->topic)));
    std::printf("\",\"qos\":%d,\"retain\":%d,\"payloadlen\":%d,", message->qos,
                message->retain ? 1 : 0, message->payloadlen);
    if (message->qos > 0)
        std::printf("\"mid\":%d,", message->mid);
    if (escaped) {
        std::fputs("\"payload\":\"", stdout);
        write_json_payload(payload, payloadlen);
        std::fputs("\"}", stdout);
    } else {
        std::fputs("\"payload\":", stdout);
        std::fwrite(payload, 1, static_cast<size_t>(payloadlen), stdout);
        std::fputc('}', stdout);
    }
    return 0;
}

void formatted_print_int(long long value, char align, char pad, int field_width) {
    if (field_width == 0)
        std::printf("%lld", value);
    else if (align == '-')
        std::printf("%-*lld", field_width, value);
    else if (pad == '0')
        std::printf("%0*lld", field_width, value);
    else
        std::printf("%*lld", field_width, value);
}

void formatted_print_str(const char* value, char align, int field_width, int precision) {
    bool left = align == '-';
    if (field_width == 0 && precision == -1)
        std::fputs(value, stdout);
    else if (precision == -1)
        std::printf(left ? "%-*s" : "%*s", field_width, value);
    else if (field_width == 0)
        std::printf(left ? "%-.*s" : "%.*s", precision, value);
    else
        std::printf(left ? "%-*.*s" : "%*.*s", field_width, precision, value);
}

void formatted_print_blank(char pad, int field_width) {
    for (int i = 0; i < field_width; ++i)
        std::fputc(pad, stdout);
}

void formatted_print_percent(const mosq_config* lcfg, const mosquitto_message* message,
                             const mosquitto_property* properties, char format, char align,
                             char pad, int field_width, int precision) {
    const unsigned char* payload = static_cast<const unsigned char*>(message->payload);
    struct tm ti;
    long ns = 0;

    switch (format) {
    case '%':
        std::fputc('%', stdout);
        break;
    case 'A': {
        uint16_t alias = 0;
        if (mosquitto_property_read_int16(properties, MQTT_PROP_TOPIC_ALIAS, &alias, false))
            formatted_print_int(alias, align, pad, field_width);
        else
            formatted_print_blank(pad, field_width);
        break;
    }
    case 'C': {
        char* content_type = nullptr;
        if (mosquitto_property_read_string(properties, MQTT_PROP_CONTENT_TYPE, &content_type,
                                           false)) {
            formatted_print_str(content_type, align, field_width, precision);
            std::free(content_type);
        } else {
            formatted_print_blank(' ', field_width);
        }
        break;
    }
    case 'D': {
        void* data = nullptr;
        uint16_t len = 0;
        if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &len,
                                           false)) {
            std::fwrite(data, 1, len, stdout);
            std::free(data);
        }
        break;
    }
    case 'E': {
        uint32_t expiry = 0;
        if (mosquitto_property_read_int32(properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry,
                                          false))
            formatted_print_int(expiry, align, pad, field_width);
        else
            formatted_print_blank(pad, field_width);
        break;
    }
    case 'F': {
        uint8_t indicator = 0;
        if (mosquitto_property_read_byte(properties, MQTT_PROP_PAYLOAD_FORMAT_INDICATOR, &indicator,
                                         false))
            formatted_print_int(indicator, align, pad, field_width);
        else
            formatted_print_blank(pad, field_width);
        break;
    }
    case 'I': {
        if (get_time(&ti, &ns) != 0) {
            write_time_error(lcfg);
            break;
        }
        char buf[TIME_BUF_LEN];
        if (local_time_format(buf, sizeof(buf), "%FT%T%z", &ti) == 0)
            formatted_print_blank(' ', field_width);
        else
            formatted_print_str(buf, align, field_width, precision);
        break;
    }
    case 'j':
        if (get_time(&ti, &ns) != 0) {
            write_time_error(lcfg);
            break;
        }
        if (json_print(message, properties, &ti, static_cast<int>(ns), true, lcfg->pretty) != 0)
            err_printf(lcfg, "Error: Out of memory.\n");
        break;
    case 'J': {
        if (get_time(&ti, &ns) != 0) {
            write_time_error(lcfg);
            break;
        }
        int rc = json_print(message, properties, &ti, static_cast<int>(ns), false, lcfg->pretty);
        if (rc == 1)
            err_printf(lcfg, "Error: Out of memory.\n");
        else if (rc == 3)
            err_printf(lcfg, "Error: Message payload is not valid JSON on topic %s.\n",
                       message->topic);
        break;
    }
    case 'l':
        formatted_print_int(message->payloadlen, align, pad, field_width);
        break;
    case 'm':
        formatted_print_int(message->mid, align, pad, field_width);
        break;
    case 'p':
        write_payload(payload, message->payloadlen, 0, align, pad, field_width, precision);
        break;
    case 'P':
        print_user_properties(properties);
        break;
    case 'q':
        std::printf("%d", message->qos);
        break;
    case 'r':
        std::fputc(message->retain ? '1' : '0', stdout);
        break;
    case 'R': {
        char* response_topic = nullptr;
        if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &response_topic,
                                           false)) {
            formatted_print_str(response_topic, align, field_width, precision);
            std::free(response_topic);
        }
        break;
    }
    case 'S': {
        uint32_t identifier = 0;
        if (mosquitto_property_read_varint(properties, MQTT_PROP_SUBSCRIPTION_IDENTIFIER,
                                           &identifier, false))
            formatted_print_int(identifier, align, pad, field_width);
        else
            formatted_print_blank(pad, field_width);
        break;
    }
    case 't':
        formatted_print_str(message->topic, align, field_width, precision);
        break;
    case 'x':
        write_payload(payload, message->payloadlen, 1, align, pad, field_width, precision);
        break;
    case 'X':
        write_payload(payload, message->payloadlen, 2, align, pad, field_width, precision);
        break;
    default:
        break;
    }
}

void formatted_print(const mosq_config* lcfg, const mosquitto_message* message,
                     const mosquitto_property* properties) {
    const char* format = lcfg->format;
    size_t len = std::strlen(format);
    // The '@' codes of one message all show the same instant.
    struct tm ti;
    long ns = 0;
    bool have_time = false;

    for (size_t i = 0; i < len; ++i) {
        char c = format[i];
        if (c == '%') {
            if (i == len - 1)
                break;
            char align = '\0';
            char pad = ' ';
            int field_width = 0;
            int precision = -1;
            ++i;
            // None of these steps consumes the last character: a cut-off
            // conversion ends on a character that is no code.
            if (format[i] == '-') {
                align = '-';
                if (i < len - 1)
                    ++i;
            }
            if (format[i] == '0') {
                pad = '0';
                if (i < len - 1)
                    ++i;
            }
            while (i < len - 1 && is_digit(format[i])) {
                field_width = add_digit(field_width, format[i]);
                ++i;
            }
            if (format[i] == '.' && i < len - 1) {
                ++i;
                precision = 0;
                while (i < len - 1 && is_digit(format[i])) {
                    precision = add_digit(precision, format[i]);
                    ++i;
                }
            }
            formatted_print_percent(lcfg, message, properties, format[i], align, pad, field_width,
                                    precision);
        } else if (c == '@') {
            if (i == len - 1)
                break;
            ++i;
            char code = format[i];
            if (code == '@') {
                std::fputc('@', stdout);
                continue;
            }
            if (!have_time) {
                if (get_time(&ti, &ns) != 0) {
                    write_time_error(lcfg);
                    return;
                }
                have_time = true;
            }
            if (code == 'N') {
                std::printf("%09ld", ns);
            } else {
                const char pattern[3] = {'%', code, '\0'};
                char buf[TIME_BUF_LEN];
                size_t written = local_time_format(buf, sizeof(buf), pattern, &ti);
                if (written > 0)
                    std::fwrite(buf, 1, written, stdout);
            }
        } else if (c == '\\') {
            if (i == len - 1)
                break;
            ++i;
            int byte = -1;
            switch (format[i]) {
            case '\\':
                byte = '\\';
                break;
            case '0':
                byte = 0;
                break;
            case 'a':
                byte = 7;
                break;
            case 'e':
                byte = 27;
                break;
            case 'n':
                byte = 10;
                break;
            case 'r':
                byte = 13;
                break;
            case 't':
                byte = 9;
                break;
            case 'v':
                byte = 11;
                break;
            default:
                break;
            }
            if (byte >= 0)
                std::fputc(byte, stdout);
        } else {
            std::fputc(c, stdout);
        }
    }
    if (lcfg->eol)
        std::fputc('\n', stdout);
    std::fflush(stdout);
}

void print_message(mosq_config* lcfg, const mosquitto_message* message,
                   const mosquitto_property* properties) {
    if (lcfg->random_filter < RANDOM_FILTER_ALL) {
        uint32_t draw = 0;
        // A failed draw keeps the message: a filter that cannot draw must not
        // silently lose data.
        if (secure_random_u32(&draw) == 0 &&
            static_cast<int>(draw % RANDOM_FILTER_ALL) >= lcfg->random_filter)
            return;
    }

    if (lcfg->format) {
        formatted_print(lcfg, message, properties);
        return;
    }

    if (lcfg->verbose) {
        if (message->payloadlen > 0) {
            std::printf("%s ", message->topic);
            write_payload(static_cast<const unsigned char*>(message->payload), message->payloadlen,
                          0, '\0', ' ', 0, -1);
            if (lcfg->eol)
                std::fputc('\n', stdout);
        } else if (lcfg->eol) {
            std::printf("%s (null)\n", message->topic);
        }
        std::fflush(stdout);
        return;
    }

    if (message->payloadlen > 0) {
        deliver(lcfg, message);
        if (lcfg->eol)
            std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}
