// An arbitrary -F output format and an arbitrary message. The format is
// checked the way -F checks it; an accepted one prints the message. The same
// message also goes through the verbose and the default (callback) outputs.
//
// Input: format NUL topic NUL control payload, where control is three bytes:
// flags (QoS, retain, -N, --pretty, which properties) and a 16-bit message id.
// Missing parts are empty.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "client/client_shared.h"
#include "client/sub_client_output.h"

#include "fuzz_util.h"

namespace {

// A width or precision of five digits asks for up to 64 KiB of padding per
// conversion: honest output, but printing it only slows the search down. Such
// formats are still checked (larger numbers must be refused).
bool has_long_number(const std::string& format) {
    int run = 0;
    for (char c : format) {
        run = (c >= '0' && c <= '9') ? run + 1 : 0;
        if (run > 4)
            return true;
    }
    return false;
}

// What the message callback was last given, to check the delivery contract.
const mosquitto_message* g_expected = nullptr;
bool g_called = false;

void on_message(const char* top, const char* mes, void* pdev) {
    g_called = true;
    require(pdev == &g_expected);
    require(std::strcmp(top, g_expected->topic) == 0);
    // The receiver reads the payload as text: terminated, and equal to the
    // payload up to its first NUL byte.
    size_t len = std::strlen(mes);
    require(len <= static_cast<size_t>(g_expected->payloadlen));
    require(std::memcmp(mes, g_expected->payload, len) == 0);
}

void add_properties(mosquitto_property** list, uint8_t flags, uint16_t mid,
                    const std::string& topic, const std::string& payload) {
    if (flags & 0x20) {
        mosquitto_property_add_byte(list, MQTT_PROP_PAYLOAD_FORMAT_INDICATOR, flags >> 7);
        mosquitto_property_add_int32(list, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, 0xFFFF0000u | mid);
        mosquitto_property_add_string(list, MQTT_PROP_CONTENT_TYPE, topic.c_str());
        mosquitto_property_add_string(list, MQTT_PROP_RESPONSE_TOPIC, topic.c_str());
        mosquitto_property_add_binary(list, MQTT_PROP_CORRELATION_DATA, payload.data(),
                                      static_cast<uint16_t>(payload.size() & 0xFFFF));
        mosquitto_property_add_varint(list, MQTT_PROP_SUBSCRIPTION_IDENTIFIER, mid + 1u);
        mosquitto_property_add_int16(list, MQTT_PROP_TOPIC_ALIAS, mid);
    }
    if (flags & 0x40) {
        mosquitto_property_add_string_pair(list, MQTT_PROP_USER_PROPERTY, topic.c_str(),
                                           payload.c_str());
        mosquitto_property_add_string_pair(list, MQTT_PROP_USER_PROPERTY, "", "");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Formatted output is not looked at; only what producing it does.
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    register_callback(on_message);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string format = take_part(data, size);
    if (format.find('\0') != std::string::npos)
        return 0;
    std::string topic = take_part(data, size);
    uint8_t flags = 0;
    uint16_t mid = 0;
    if (size >= 3) {
        flags = data[0];
        mid = static_cast<uint16_t>(data[1] | (data[2] << 8));
        data += 3;
        size -= 3;
    } else {
        size = 0;
    }
    // The payload lives in a block of exactly its length, as a library buffer
    // may: a read past its end is caught.
    const std::string payload(reinterpret_cast<const char*>(data), size);
    void* payload_block = size ? std::malloc(size) : nullptr;
    if (size)
        std::memcpy(payload_block, data, size);

    mosquitto_message message{};
    message.mid = mid;
    message.topic = topic.data();
    message.payload = payload_block;
    message.payloadlen = static_cast<int>(size);
    message.qos = flags % 3;
    message.retain = (flags & 0x04) != 0;

    mosquitto_property* props = nullptr;
    add_properties(&props, flags, mid, topic, payload);

    mosq_config record;
    init_config(&record, CLIENT_SUB);
    record.eol = (flags & 0x08) == 0;
    record.pretty = (flags & 0x10) != 0;
    record.pDevice = &g_expected;
    g_expected = &message;

    if (check_format(format.c_str()) == 0 && !has_long_number(format)) {
        record.format = strdup(format.c_str());
        print_message(&record, &message, props);
        std::free(record.format);
        record.format = nullptr;
    }

    record.verbose = true;
    print_message(&record, &message, props);

    record.verbose = false;
    g_called = false;
    print_message(&record, &message, props);
    require(g_called == (message.payloadlen > 0));

    mosquitto_property_free_all(&props);
    client_config_cleanup(&record);
    std::free(payload_block);
    return 0;
}
