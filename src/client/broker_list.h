// The brokers a client may use: "-h" holds one host, as it always has, or an
// ordered list separated by commas (a comma cannot appear in a host name),
// each entry "HOST", "HOST:PORT" or "[ADDRESS]:PORT" (an IPv6 address; one
// without brackets takes no port). An entry without a port takes the run's;
// an entry's own port wins. This is the one place where host texts are split.
#pragma once

#include <string>
#include <vector>

struct broker_addr {
    std::string host;
    int port;
};

// "HOST:PORT", with brackets round an IPv6 address.
std::string broker_addr_text(const broker_addr& broker);

// The brokers of `hosts` with `port` for entries that name none. A text
// without a comma is one broker: exactly one "NAME:DIGITS" or
// "[ADDRESS]:DIGITS" entry is read as an entry, any other text is taken whole
// with `port`. False with `*error` set for an empty entry, a port that is not
// a number from 1 to 65535, or a bracket left open.
bool broker_list_parse(const char* hosts, int port, std::vector<broker_addr>* out,
                       std::string* error);

// True when `hosts` is read as a list: several brokers, or one
// "NAME:PORT" or "[ADDRESS]:PORT" entry.
bool broker_list_is_list(const char* hosts);
