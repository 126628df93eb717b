#pragma once

// The publish side's lasting connection ("PubMode": "session"): one MQTT
// client per driver, fed in posting order from a bounded buffer of the values
// as they were posted, with no process started per value.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <mosquitto.h>

#include "client/broker_list.h"
#include "drivers/driver_state.h"
#include "kro/kro.h"
#include "publish/publish_flow.h"
#include "publish/publish_format.h"
#include "publish/publish_settings.h"
#include "publish/publish_store.h"
#include "publish/sparkplug_node.h"

struct mosq_config;

// How the publish side of a driver sends ("PubMode").
enum class PubMode { Process, Session };

// "session" selects the lasting connection; anything else, or nothing, the
// process per value.
PubMode readPubMode(const std::string& settings);

// The "PubBuffer" setting: how many values a session keeps while it cannot
// send, 100000 when not set. A value that is not a whole number from 1 is
// reported on standard output and the default is used.
size_t readPubBuffer(const std::string& settings);

class PublishSession {
public:
    // One value as it was posted.
    struct Value {
        std::string topic;
        std::string payload;
        bool retain = false;
        // Stamped by post(): wall clock, and the posting order.
        int64_t postedMs = 0;
        uint64_t seq = 0;
        // Its row in the store; 0 while it is in memory only.
        int64_t storeId = 0;
        // A batch: the values it carries, in posting order (its own topic and
        // payload are the message's; seq and postedMs its first value's).
        std::vector<std::shared_ptr<const Value>> members;
        // A Sparkplug birth or death: no value, sent at `qos` in its place
        // among the values written.
        bool control = false;
        int qos = 0;
    };

    // What a Sparkplug edge node asks of its driver, called with the
    // session's lock released: the device's variables with the values they
    // hold now, a DCMD's value for a SubVariable, and the state of the
    // command subscription (101 until the broker grants it, then 0).
    struct SparkplugHooks {
        std::function<std::vector<SparkplugNode::Variable>()> variables;
        std::function<void(const std::string& address, const std::string& text)> write;
        std::function<void(int state)> subState;
    };

    explicit PublishSession(size_t capacity);
    // With the settings' store (opened when the session runs) and the
    // diagnostics variables "<prefix>pubwaiting", "<prefix>pubdropped" and
    // "<prefix>puboldest".
    PublishSession(const SessionSettings& settings, std::string varPrefix);
    // Reports values that were posted but never given a run.
    ~PublishSession();
    PublishSession(const PublishSession&) = delete;
    PublishSession& operator=(const PublishSession&) = delete;

    // Queues a value behind those posted before; with the buffer full, the
    // oldest waiting value is dropped and counted. Never waits on the
    // network. Any thread.
    void post(Value value);

    // The publish thread's body. Makes the connection from `args` (program
    // name first, the publisher's option language), keeps it (a lost one is
    // made again every second), publishes what is posted until `stop`, then
    // gives the connection up to one second to take what is waiting,
    // disconnects and reports what was left unsent.
    void run(const std::vector<std::string>& args, StopSignal& stop);

    // Values posted and not yet sent: buffered, or handed to the connection
    // and not yet written (QoS 0) or acknowledged (QoS 1 and 2).
    size_t waiting() const;

    // Called by the publish thread at each report, at least once a second,
    // with the session's lock released; set before run().
    void setTick(std::function<void()> tick);

    // Makes the session a Sparkplug B edge node; set before run(). Posted
    // values then name their variable's address as their topic.
    void setSparkplug(const SparkplugSettings& settings, SparkplugHooks hooks);

private:
    using Entry = std::shared_ptr<const Value>;

    static void onConnect(mosquitto* mosq, void* obj, int rc, int flags,
                          const mosquitto_property* props);
    static void onDisconnect(mosquitto* mosq, void* obj, int rc, const mosquitto_property* props);
    static void onPublish(mosquitto* mosq, void* obj, int mid, int reason,
                          const mosquitto_property* props);
    static void onLog(mosquitto* mosq, void* obj, int level, const char* str);
    static void onMessage(mosquitto* mosq, void* obj, const mosquitto_message* msg,
                          const mosquitto_property* props);
    static void onSubscribe(mosquitto* mosq, void* obj, int mid, int count, const int* granted,
                            const mosquitto_property* props);

    // One connect attempt, driven by the calling thread until the broker
    // answers, the attempt fails, the connect bound passes or the session
    // stops; true once connected. Called with m_mutex held.
    bool connectOnce(std::unique_lock<std::mutex>& lock, mosquitto* mosq, mosq_config& record);
    // Takes values and reports until the stop or, while the library's thread
    // runs the connection, until it is lost. Called with m_mutex held.
    void serve(std::unique_lock<std::mutex>& lock, mosquitto* mosq);

    // All below with m_mutex held.
    size_t handed() const { return m_handed0.size() - m_controls + m_inflight; }
    // In memory, posted and not yet stored, and on disk only: each value once.
    size_t waitingLocked() const {
        return m_buffer.size() + handed() + m_batchExtra + m_unstored.size() + diskOnly();
    }
    bool canHand(size_t limit) const;
    int wantedState() const;
    bool hasWork() const;
    void wake();
    void dropOverflow();
    void noteDrops(bool final);
    // Prints the queued lines and writes "pubstate" when it should change;
    // releases the lock while doing so.
    void report(std::unique_lock<std::mutex>& lock);
    // Hands the next values to the connection.
    void handOver(std::unique_lock<std::mutex>& lock, mosquitto* mosq);
    // A value the broker has (acknowledged, or written at QoS 0) or refused:
    // its row is deleted at the next commit; a refused one is set aside.
    void completed(const Entry& entry, int reason);
    // The broker's answer to a QoS 1/2 value: done, refused for good, or
    // refused for now (a quota) and put back in posting order.
    void answered(const Entry& entry, int reason);
    // A value the broker can never take for its size, set aside before it is
    // sent; `limit` the bound it passes.
    void setAsideOversize(const Entry& entry, uint64_t limit);
    // No acknowledgement on a live connection: the line, the slower pace, and
    // a reconnect that sends what was in flight again. Releases the lock.
    void stalled(std::unique_lock<std::mutex>& lock, mosquitto* mosq, size_t late);
    // Bytes the pace counts for the value that would go next (0: none may).
    size_t nextBytes() const;
    // Batches (publish_session_batch.cpp). The next message of values at the
    // front of the buffer that share its batch, taken out of the buffer when
    // the pace lets it go now (*bytes: what it counts); null while it waits,
    // for its batch to fill or its time bound, or for the pace.
    Entry takeBatch(std::chrono::steady_clock::time_point now, size_t* bytes);
    // Whether the front waits for its batch to fill (no scan: until its time
    // bound, or until enough values came to look again).
    bool batchHeld(std::chrono::steady_clock::time_point now) const;
    // The largest value a message may carry now: the batch bound, or
    // "PubMaxBytes"; 0 for none.
    size_t valueLimit() const;
    // A message leaves the hands of the library: its values no longer count
    // as its own.
    void released(const Entry& entry);
    // The values of messages, each batch as its values, for the buffer
    // (births and deaths are no values).
    static std::vector<Entry> unbatched(const std::vector<Entry>& entries);
    // Sparkplug (publish_session_sparkplug.cpp). Before each connect: the
    // next bdSeq and its NDEATH as the will.
    void sparkplugConnecting(mosquitto* mosq);
    // The options a node sets itself, with a line for those given.
    void sparkplugOptions(mosq_config& record);
    // On a live connection: the command subscriptions, what received
    // commands ask, and the births when they are due. Releases the lock.
    void sparkplugTurn(std::unique_lock<std::mutex>& lock, mosquitto* mosq);
    bool sparkplugDue() const;
    // The messages to hand over as DDATA by alias, each after the DBIRTH it
    // needs.
    void sparkplugRender(std::vector<Entry>& messages);
    // Births and deaths, written in their place among the values. Releases
    // the lock.
    void sendControls(std::unique_lock<std::mutex>& lock, mosquitto* mosq,
                      const std::vector<SparkplugNode::Message>& messages);
    // A birth or death the library refused: out of m_handed0, with a line.
    void controlFailed(const Entry& entry, uint64_t generation, int rc);
    // The stop: DDEATH (once born), NDEATH, given up to a second.
    void sparkplugStop(std::unique_lock<std::mutex>& lock, mosquitto* mosq);
    // Waits (bounded) until the births and deaths handed over are done.
    void awaitControls(std::unique_lock<std::mutex>& lock);
    // Writes the command subscription's state when it changed. Releases the lock.
    void showSubState(std::unique_lock<std::mutex>& lock);
    // The store's part of a pass of the publish thread: opens it, commits
    // the values posted and deletes the completed ones in one group, refills
    // the buffer from the disk. Releases the lock during its disk work.
    void persist(std::unique_lock<std::mutex>& lock);
    bool persistDue() const;
    void storeFailed(const std::string& line);
    // Every few seconds: checkpoints the store, or makes it anew at its path
    // when the path no longer names its file. Releases the lock meanwhile.
    void keepStore(std::unique_lock<std::mutex>& lock);
    PublishStore::Limits storeLimits() const;
    // Values stored and not in memory.
    uint64_t diskOnly() const;
    // Writes the diagnostics variables when they changed, at most once a
    // second (`now` at the end). Releases the lock while writing.
    void writeDiagnostics(std::unique_lock<std::mutex>& lock, bool now);
    // The pause before the next connect attempt: doubling from 1 s to the
    // settings' maximum, varied by up to 20 %.
    std::chrono::milliseconds nextDelay();
    // How many values may be handed over and not yet done: one at a time
    // while the session looks for a value the broker closes the connection on.
    size_t window() const;
    // A client with the record's options and this session's callbacks; null
    // (with a line) when the library refuses. The first is made before any
    // connect.
    mosquitto* makeClient(mosq_config& record, bool first);
    // After a lost connection (QoS 1 and 2, the library's thread stopped):
    // a close on a connection that acknowledged nothing starts sending the
    // values in flight one at a time, so that the one the broker closes on is
    // known; at its third close in a row it is set aside. True when the values
    // in flight are to be taken back from the library, to a client made anew.
    bool probeAfterLoss();
    // Takes the values in flight back to the front of the buffer.
    void takeBackInflight();
    // Takes back values the connection refused, to the front of the buffer.
    void takeBack(const std::vector<Entry>& batch, size_t from, uint64_t generation);
    // Puts a value back into the buffer where its posting order puts it.
    void putBack(const Entry& entry);
    // The broker closed the connection for a reason of its own (a quota,
    // another client): the values in flight did not cause it.
    bool lossSaysNothingOfValues() const;
    // "publish connection failed: REASON", once per reason until the broker
    // answers.
    void noteFailure(const std::string& reason);
    // After a lost connection that was up for `upFor`: the line that another
    // client takes it, once per streak.
    void noteTakeover(std::chrono::steady_clock::duration upFor);

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    const size_t m_capacity;
    std::deque<Entry> m_buffer;
    // QoS 0: handed and not yet written, in order; put back when the
    // connection is lost, since the library then drops them.
    std::deque<Entry> m_handed0;
    // QoS 1 and 2: handed and not yet acknowledged; the library keeps and
    // resends these itself. Counted before the library has them; known by
    // message id once it has, by posting order for the oldest.
    size_t m_inflight = 0;
    std::unordered_map<int, Entry> m_byMid;
    std::map<uint64_t, Entry> m_inflightBySeq;
    // Acknowledgements that came before mosquitto_publish returned the id.
    std::unordered_map<int, int> m_earlyAcks;
    int m_qos = 0;
    bool m_retainAll = false;
    bool m_v5 = false;
    const mosquitto_property* m_publishProps = nullptr;
    bool m_connected = false;
    bool m_lost = false;
    int m_refused = 0;
    // The reasons told since the broker last answered.
    std::vector<std::string> m_failures;
    // A connect attempt is under way (the library's errors are collected), and
    // the broker has answered it.
    bool m_attempting = false;
    bool m_answered = false;
    // The library's error-level log lines of this attempt (OpenSSL's reasons).
    std::string m_attemptLog;
    bool m_debugLog = false;
    // The library's thread runs the connection.
    bool m_threaded = false;
    uint64_t m_generation = 0;
    bool m_stopping = false;
    bool m_ran = false;
    bool m_waiterIdle = false;
    int m_state = 0;
    uint64_t m_dropped = 0;
    uint64_t m_droppedReported = 0;
    bool m_dropsAnnounced = false;
    std::vector<std::string> m_lines;
    std::function<void()> m_tick;

    // Settings beyond the buffer; the store's file is empty for none.
    SessionSettings m_settings;
    const std::string m_varPrefix;
    bool m_diagnostics = false;
    uint64_t m_seq = 0;
    // Touched by the publish thread only.
    std::unique_ptr<PublishStore> m_store;
    std::chrono::steady_clock::time_point m_storeRetry{};
    std::chrono::steady_clock::time_point m_lastCommit{};
    std::string m_storeError;
    // Posted and not yet committed (with a store).
    std::deque<Value> m_unstored;
    // Rows of completed values, deleted at the next commit.
    std::vector<int64_t> m_doneIds;
    // Stored values beyond m_lastId wait on disk only, m_tailCount of them.
    bool m_diskTail = false;
    int64_t m_lastId = 0;
    uint64_t m_tailCount = 0;
    std::chrono::steady_clock::time_point m_storeCheckAt{};
    std::string m_renewError;
    int64_t m_storeLastId = 0;
    uint64_t m_storeCount = 0;
    int64_t m_storeOldestId = 0;
    int64_t m_storeOldestMs = 0;
    PublishStore::Drops m_storeDrops;
    PublishStore::Drops m_storeDropsReported;
    // Refused by the broker and set aside; (topic, reason) pairs told.
    uint64_t m_setAside = 0;
    std::set<std::pair<std::string, int>> m_setAsideTold;
    // Last written diagnostics and when.
    int64_t m_diag[4] = {-1, -1, -1, -1};
    std::chrono::steady_clock::time_point m_diagAt{};
    // Looking for a value the broker closes on: values up to m_probeUntil go
    // one at a time; m_probeSeq has been alone in flight at m_probeCloses
    // closes in a row.
    bool m_probing = false;
    uint64_t m_probeUntil = 0;
    uint64_t m_probeSeq = 0;
    int m_probeCloses = 0;
    bool m_ackedOnConnection = false;
    // The reason of the last lost connection (the broker's DISCONNECT under
    // MQTT 5), and the streak of connections another client may be taking.
    int m_lossReason = 0;
    int m_shortCloses = 0;
    bool m_takeoverTold = false;
    std::string m_clientId;
    // The connection's pace, and what the broker announced (0: nothing).
    PublishFlow m_flow;
    uint32_t m_brokerMaxPacket = 0;
    // The values in flight go back to the buffer at the next loss, to a
    // client made anew, so that the pace holds for them too.
    bool m_takeBackAll = false;
    // "no acknowledgement" told, until a value is acknowledged again.
    bool m_stallTold = false;
    // Values of handed batches beyond one each; the front's batch waits until
    // m_batchHoldUntil or until the buffer reaches m_batchHoldSize; a batch
    // larger than the broker took halves this connection's bound.
    size_t m_batchExtra = 0;
    std::chrono::steady_clock::time_point m_batchHoldUntil{};
    size_t m_batchHoldSize = 0;
    size_t m_batchCap = 0;
    // The bytes of the batch that waits for the pace (0: none waits).
    size_t m_batchPaceBytes = 0;
    // Refusals in a row per value (posting sequence): the reason and times.
    std::unordered_map<uint64_t, std::pair<int, int>> m_refusals;
    // The will's properties, for each client made anew (the library takes
    // ownership of the record's).
    mosquitto_property* m_willProps = nullptr;
    // The brokers of "-h" in order, the one of the next attempt, and where
    // the round of attempts since the last connection began.
    std::vector<broker_addr> m_brokers;
    size_t m_broker = 0;
    size_t m_roundStart = 0;
    // Reconnect pause.
    std::chrono::milliseconds m_delay{0};
    std::chrono::steady_clock::time_point m_connectedAt{};
    std::minstd_rand m_random;

    // Sparkplug B: the edge node (null without it), its hooks, the commands
    // received and not yet carried out, a rebirth asked for, the connection
    // whose subscriptions were made, and births and deaths in m_handed0.
    std::unique_ptr<SparkplugNode> m_node;
    SparkplugHooks m_spHooks;
    std::vector<SparkplugNode::Action> m_spActions;
    bool m_spRebirth = false;
    uint64_t m_spSubscribed = 0;
    size_t m_controls = 0;
    // Leaving the connection after the host went offline: nothing more is
    // handed over on it.
    bool m_spLeaving = false;
    // Values posted before the births of this connection are historical.
    uint64_t m_spBornSeq = 0;
    int64_t m_spBornMs = 0;
    // The command subscription's state: wanted, and last written.
    int m_spSubState = 101;
    int m_spSubStateShown = -1;
};

// The reconnect pause after `previous` (zero before the first): 1 s, then
// doubled up to `most` (at least 1 s). Before the random variation.
std::chrono::milliseconds reconnectPause(std::chrono::milliseconds previous,
                                         std::chrono::seconds most);

// A driver's session for its settings; none in process mode.
// `varPrefix` goes before the diagnostics variables' names ("dev1." or "").
// "PubStore" without session mode is reported, not ignored.
// `aws`: the pace defaults to AWS IoT Core's limits.
std::unique_ptr<PublishSession> makePublishSession(const std::string& settings,
                                                   const std::string& varPrefix, bool aws = false);

// A driver's postData: without a session as the base does; with one, a
// "PubVariable" is queued on it with the value it holds now (any other
// variable is ignored) and, with `retainSuffix`, a value ending in
// " --retain" is published retained without it. With a `format`, the value
// is rendered in it at the post (without a session the variable is stamped
// with the posting time, for the builder to render).
bool postToDriver(kro::UARTDriverBase& driver, PublishSession* session,
                  std::shared_ptr<kro::IDvcVariable> var, bool retainSuffix,
                  const PubFormat* format = nullptr);
