#include "client/broker_list.h"

#include <cstring>

namespace {

// A port as written in a list: digits only, 1 to 65535.
bool parse_port(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *port = std::stoi(text);
    return *port >= 1 && *port <= 65535;
}

bool parse_entry(const std::string& entry, int port, broker_addr* out, std::string* error) {
    out->port = port;
    std::string rest;
    if (!entry.empty() && entry[0] == '[') {
        const size_t close = entry.find(']');
        if (close == std::string::npos || close == 1) {
            *error = "\"" + entry + "\" has no closing bracket or no address";
            return false;
        }
        out->host = entry.substr(1, close - 1);
        rest = entry.substr(close + 1);
        if (!rest.empty() && (rest[0] != ':' || !parse_port(rest.substr(1), &out->port))) {
            *error = "\"" + entry + "\" has no valid port after its address";
            return false;
        }
        return true;
    }
    const size_t colon = entry.find(':');
    // Two colons or more: an IPv6 address without a port.
    if (colon == std::string::npos || entry.find(':', colon + 1) != std::string::npos) {
        out->host = entry;
    } else {
        out->host = entry.substr(0, colon);
        if (!parse_port(entry.substr(colon + 1), &out->port)) {
            *error = "\"" + entry + "\" has no valid port (1 to 65535)";
            return false;
        }
    }
    if (out->host.empty()) {
        *error = "\"" + entry + "\" names no host";
        return false;
    }
    return true;
}

// Exactly one "NAME:DIGITS" or "[ADDRESS]:DIGITS" entry: no host name holds
// a lone colon before digits, nor brackets, so such a text cannot be taken
// whole and is read as a one-entry list. A bare IPv6 address has two colons
// or more and stays a host.
bool is_one_entry(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size() ||
        text.find_first_not_of("0123456789", colon + 1) != std::string::npos)
        return false;
    if (text[0] == '[')
        return colon > 2 && text[colon - 1] == ']' && text.find(']') == colon - 1;
    return colon > 0 && text.find(':') == colon;
}

} // namespace

std::string broker_addr_text(const broker_addr& broker) {
    const bool v6 = broker.host.find(':') != std::string::npos;
    return (v6 ? "[" + broker.host + "]" : broker.host) + ":" + std::to_string(broker.port);
}

bool broker_list_is_list(const char* hosts) {
    return hosts && (std::strchr(hosts, ',') || is_one_entry(hosts));
}

bool broker_list_parse(const char* hosts, int port, std::vector<broker_addr>* out,
                       std::string* error) {
    out->clear();
    const std::string text = hosts ? hosts : "";
    if (!broker_list_is_list(hosts)) {
        out->push_back({text, port});
        return true;
    }
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string entry = text.substr(start, comma - start);
        broker_addr broker;
        if (entry.empty()) {
            *error = "an entry is empty";
            return false;
        }
        if (!parse_entry(entry, port, &broker, error))
            return false;
        out->push_back(broker);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}
