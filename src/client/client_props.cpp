// MQTT v5 property arguments: -D <packet> <property> <value> [<user value>].

#include "client/client_shared.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mqtt_protocol.h>

namespace {

// The packet names whose properties the library knows but this client never
// sends; they get a clear refusal instead of silence.
bool is_unsupported_command(int command) {
    switch (command) {
    case CMD_PUBACK:
    case CMD_PUBREC:
    case CMD_PUBREL:
    case CMD_PUBCOMP:
    case CMD_SUBACK:
    case CMD_UNSUBACK:
    case CMD_AUTH:
        return true;
    default:
        return false;
    }
}

void print_not_supported(const char* propname, const char* cmdname) {
    std::fprintf(stderr, "Error: %s property not supported for %s in --property argument.\n\n",
                 propname, cmdname);
}

// The list of the record that a property for `command` goes to. Refusals print
// their message and set *rc; a null result with *rc 0 never happens.
mosquitto_property** target_list(mosq_config* cfg, int command, int identifier,
                                 const char* propname, const char* cmdname, int* rc) {
    *rc = MOSQ_ERR_INVAL;
    switch (command) {
    case CMD_CONNECT:
        return &cfg->connect_props;
    case CMD_PUBLISH:
        if (identifier == MQTT_PROP_TOPIC_ALIAS)
            cfg->have_topic_alias = true;
        if (identifier == MQTT_PROP_SUBSCRIPTION_IDENTIFIER) {
            print_not_supported(propname, cmdname);
            return nullptr;
        }
        return &cfg->publish_props;
    case CMD_SUBSCRIBE:
        if (identifier != MQTT_PROP_SUBSCRIPTION_IDENTIFIER &&
            identifier != MQTT_PROP_USER_PROPERTY) {
            print_not_supported(propname, cmdname);
            *rc = MOSQ_ERR_NOT_SUPPORTED;
            return nullptr;
        }
        return &cfg->subscribe_props;
    case CMD_UNSUBSCRIBE:
        return &cfg->unsubscribe_props;
    case CMD_DISCONNECT:
        return &cfg->disconnect_props;
    case CMD_WILL:
        return &cfg->will_props;
    default:
        if (is_unsupported_command(command)) {
            print_not_supported(propname, cmdname);
            *rc = MOSQ_ERR_NOT_SUPPORTED;
        }
        return nullptr;
    }
}

// Reads a number as atol does (sign and leading digits, anything else reads as
// 0) but keeps it whole: a value too large for 32 bits must be refused by the
// range check, not wrapped into range.
long long read_number(const char* text) {
    return std::strtoll(text, nullptr, 10);
}

bool out_of_range(long long value, long long max, const char* propname) {
    if (value >= 0 && value <= max)
        return false;
    std::fprintf(stderr, "Error: Property value (%lld) out of range for property %s.\n\n", value,
                 propname);
    return true;
}

} // namespace

int cfg_parse_property(mosq_config* cfg, int argc, char** argv, int* idx) {
    const char* not_enough =
        "Error: --property argument given but not enough arguments specified.\n\n";
    if (*idx + 2 >= argc) {
        std::fputs(not_enough, stderr);
        return MOSQ_ERR_INVAL;
    }
    const char* cmdname = argv[*idx];
    const char* propname = argv[*idx + 1];

    int command = 0;
    if (mosquitto_string_to_command(cmdname, &command) != MOSQ_ERR_SUCCESS) {
        std::fputs("Error: Invalid command given in --property argument.\n\n", stderr);
        return MOSQ_ERR_INVAL;
    }
    int identifier = 0;
    int type = 0;
    if (mosquitto_string_to_property_info(propname, &identifier, &type) != MOSQ_ERR_SUCCESS) {
        std::fputs("Error: Invalid property name given in --property argument.\n\n", stderr);
        return MOSQ_ERR_INVAL;
    }
    if (mosquitto_property_check_command(command, identifier) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "Error: %s property not allowed for %s in --property argument.\n\n",
                     propname, cmdname);
        return MOSQ_ERR_INVAL;
    }

    const char* value = nullptr;
    const char* pair_value = nullptr;
    int consumed = 2;
    if (identifier == MQTT_PROP_USER_PROPERTY) {
        if (*idx + 3 >= argc) {
            std::fputs(not_enough, stderr);
            return MOSQ_ERR_INVAL;
        }
        value = argv[*idx + 2];
        pair_value = argv[*idx + 3];
        consumed = 3;
    } else {
        value = argv[*idx + 2];
    }

    int rc = 0;
    mosquitto_property** list = target_list(cfg, command, identifier, propname, cmdname, &rc);
    if (!list)
        return rc;

    switch (type) {
    case MQTT_PROP_TYPE_BYTE: {
        long long n = read_number(value);
        if (out_of_range(n, 255, propname))
            return MOSQ_ERR_INVAL;
        rc = mosquitto_property_add_byte(list, identifier, static_cast<uint8_t>(n));
        break;
    }
    case MQTT_PROP_TYPE_INT16: {
        long long n = read_number(value);
        if (out_of_range(n, 65535, propname))
            return MOSQ_ERR_INVAL;
        rc = mosquitto_property_add_int16(list, identifier, static_cast<uint16_t>(n));
        break;
    }
    case MQTT_PROP_TYPE_INT32: {
        long long n = read_number(value);
        if (out_of_range(n, UINT32_MAX, propname))
            return MOSQ_ERR_INVAL;
        rc = mosquitto_property_add_int32(list, identifier, static_cast<uint32_t>(n));
        break;
    }
    case MQTT_PROP_TYPE_VARINT: {
        long long n = read_number(value);
        if (out_of_range(n, UINT32_MAX, propname))
            return MOSQ_ERR_INVAL;
        rc = mosquitto_property_add_varint(list, identifier, static_cast<uint32_t>(n));
        break;
    }
    case MQTT_PROP_TYPE_BINARY: {
        size_t len = std::strlen(value);
        if (len > 65535) {
            std::fprintf(stderr, "Error: Property value too long for property %s.\n\n", propname);
            return MOSQ_ERR_INVAL;
        }
        rc = mosquitto_property_add_binary(list, identifier, value, static_cast<uint16_t>(len));
        break;
    }
    case MQTT_PROP_TYPE_STRING:
        rc = mosquitto_property_add_string(list, identifier, value);
        break;
    case MQTT_PROP_TYPE_STRING_PAIR:
        rc = mosquitto_property_add_string_pair(list, identifier, value, pair_value);
        break;
    default:
        return MOSQ_ERR_INVAL;
    }
    if (rc) {
        std::fprintf(stderr, "Error adding property %s %d\n", propname, type);
        return rc;
    }
    *idx += consumed;
    return MOSQ_ERR_SUCCESS;
}
