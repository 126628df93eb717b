#pragma once

// A Sparkplug B edge node ("SparkplugGroup", "SparkplugNode") with its one
// device: bdSeq, seq, aliases and datatypes, births and deaths, commands and
// the primary host's STATE. It makes messages and reads them; the session
// owns the connection, sends what this unit makes (in the order made) and
// carries out the actions it returns. No clock of its own: every call that
// stamps a message takes the time. Not thread-safe: the session calls it under
// its own lock.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "publish/sparkplug_codec.h"

struct SparkplugSettings {
    std::string group;  // "SparkplugGroup"
    std::string node;   // "SparkplugNode"
    std::string host;   // "SparkplugHost": empty, births go without waiting for a STATE
    std::string device; // "DeviceId": the node's one device
    bool on() const { return !group.empty(); }
};

// Sparkplug's settings of a Common driver; off (with a line saying why) when
// not in session mode, when only one of group and node is set, or when an id
// (the device's too) is empty or holds '/', '+', '#', a NUL or bytes that are
// not UTF-8.
SparkplugSettings readSparkplugSettings(const std::string& settingsJson);

bool isSparkplugId(std::string_view id);

class SparkplugNode {
public:
    struct Message {
        std::string topic;
        std::string payload;
        int qos = 0;
        bool retain = false;
    };
    // One of the device's variables: the session gives them in the device's
    // order, with the value each holds now (none when it holds nothing yet).
    struct Variable {
        std::string address;
        bool sub = false; // SubVariable (written by DCMD), else PubVariable
        std::optional<std::string> value;
    };
    // A posted value, in posting order.
    struct Value {
        std::string address;
        std::string text;
        int64_t postedMs = 0;
        bool historical = false; // posted while the connection was down
    };
    // What a received message asks of the session.
    struct Action {
        enum class Kind {
            Births,    // send births() now (a rebirth command, or the host came online)
            Write,     // write `text` into the SubVariable at `address`, as a payload is
            Reconnect, // the host went offline: send ndeath(), disconnect, connect again
        } kind = Kind::Births;
        std::string address;
        std::string text;
    };
    // DDATA of posted values, after a DBIRTH when a value needs a new
    // datatype or an address the node had not declared.
    struct Data {
        std::optional<Message> dbirth;
        Message ddata;
    };

    // `bdSeqPath`: where the next bdSeq is kept across restarts (empty: in
    // memory only); a missing file starts at 0, a bad one too with a line.
    SparkplugNode(SparkplugSettings settings, std::vector<Variable> variables,
                  std::string bdSeqPath);

    const SparkplugSettings& settings() const { return m_settings; }

    std::string nbirthTopic() const { return nodeTopic("NBIRTH"); }
    std::string ndeathTopic() const { return nodeTopic("NDEATH"); }
    std::string dbirthTopic() const { return deviceTopic("DBIRTH"); }
    std::string ddataTopic() const { return deviceTopic("DDATA"); }
    std::string ddeathTopic() const { return deviceTopic("DDEATH"); }
    std::string ncmdTopic() const { return nodeTopic("NCMD"); }
    std::string dcmdFilter() const { return nodeTopic("DCMD") + "/+"; }
    // Empty without "SparkplugHost".
    std::string stateTopic() const;
    // What the session subscribes to (QoS 1) on every connection.
    std::vector<std::string> subscriptions() const;

    // Before each CONNECT: takes the next bdSeq (kept before it returns) and
    // gives the will, NDEATH. A new connection waits for births().
    Message connecting(int64_t nowMs);
    uint8_t bdSeq() const { return m_bdSeq; }

    // The device's variables again (their values now); addresses not yet
    // known get the next aliases. Births then declare them.
    void setVariables(const std::vector<Variable>& variables);

    // Whether births may go on this connection now: not yet sent, and with a
    // host, its latest STATE seen on this connection says online.
    bool birthsDue() const;
    bool born() const { return m_born; }
    // NBIRTH (seq 0) then DBIRTH; also the answer to a rebirth command.
    std::vector<Message> births(int64_t nowMs);
    // Only once born on this connection.
    Data data(const std::vector<Value>& values, int64_t nowMs);
    Message ddeath(int64_t nowMs);
    Message ndeath(int64_t nowMs) const;

    // A message on one of subscriptions(): NCMD, DCMD or STATE, with a line
    // for each part that cannot be carried out.
    std::vector<Action> receive(const std::string& topic, std::string_view payload);

private:
    struct Known {
        std::string address;
        bool sub = false;
        std::optional<std::string> value;
        sparkplug::DataType type = sparkplug::DataType::String;
        bool typed = false; // false: declared String and null until a first value
        uint64_t alias = 0;
    };

    std::string nodeTopic(const char* kind) const;
    std::string deviceTopic(const char* kind) const;
    uint64_t nextSeq();
    Known& learn(const std::string& address, bool sub);
    Message dbirth(int64_t nowMs);
    void command(bool device, const std::string& topic, std::string_view payload,
                 std::vector<Action>& actions);
    void state(std::string_view payload, std::vector<Action>& actions);
    void saveBdSeq(uint8_t next) const;

    SparkplugSettings m_settings;
    std::string m_bdSeqPath;
    std::vector<Known> m_vars;             // in alias order
    std::map<std::string, size_t> m_index; // address -> m_vars
    uint8_t m_nextBdSeq = 0, m_bdSeq = 0;
    uint8_t m_seq = 0;
    bool m_born = false;
    // Variables changed since the last DBIRTH: the next DDATA follows a new one.
    bool m_redeclare = false;
    // The latest STATE by its timestamp, and whether one came on this connection.
    std::optional<int64_t> m_stateTime;
    bool m_hostOnline = false, m_stateSeen = false;
};

// The datatype a value's text declares: a whole JSON number that fits Int64,
// another JSON number Double, true/false Boolean, anything else String.
sparkplug::DataType sparkplugTypeOf(std::string_view text);
