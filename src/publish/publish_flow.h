#pragma once

// The pace and acknowledgement bookkeeping of one publish connection, with no
// MQTT inside: the session asks when it may hand the next message over and
// how many may be unacknowledged, and tells what the broker answered. The
// caller gives every time, so a fake clock drives it in tests. Not
// thread-safe: the session calls it with its lock held.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <utility>
#include <vector>

struct FlowSettings {
    // "PubRate": PUBLISH packets a second; 0: no pace.
    double rate = 0;
    // "PubByteRate": topic and payload bytes a second; 0: no pace.
    double byteRate = 0;
    // "PubInflight": QoS 1/2 values unacknowledged at most; 0: the session's
    // own bound.
    size_t inflight = 0;
    // "PubAckTimeout": how long a QoS 1/2 value may wait for its
    // acknowledgement on a live connection before the session reconnects to
    // send it again; 0: never. 10 s: long enough for a slow uplink to carry a
    // full window, short enough that a broker that silently drops over its
    // quota costs seconds, not minutes.
    std::chrono::milliseconds ackTimeout{10000};
};

class PublishFlow {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;
    enum class Verdict { Retry, SetAside };

    PublishFlow(const FlowSettings& settings, size_t defaultWindow);

    // A new connection: nothing in flight any more (the session takes back
    // what was), buckets full, the broker's Receive Maximum (0: none).
    void connected(Time now, size_t receiveMaximum);
    // The most QoS 1/2 values that may be unacknowledged now: "PubInflight"
    // (or the session's bound), never more than the Receive Maximum.
    size_t window() const;
    // The earliest time a message of `bytes` (topic and payload) may be
    // handed over; `now` when at once. The pace only: the session checks
    // window() itself.
    Time readyAt(Time now, size_t bytes) const;
    // A message handed over takes its tokens; with `acked` (QoS 1/2) the
    // clock of `id`, the value's posting sequence number, starts. Sending an
    // id again restarts its clock.
    // A message carries `values` values (a batch more than one).
    void sent(Time now, size_t bytes, uint64_t id, bool acked, size_t values = 1);
    // The broker acknowledged `id` (QoS 1/2), or the connection wrote it
    // (QoS 0): this is what the pace is measured and grown on.
    void acknowledged(Time now, uint64_t id);
    // The broker refused `id` with reason `reason` (0x80 and up), the
    // `times`-th time in a row for this value and reason. Retry: put it back
    // in posting order (a quota refusal also slows the pace); SetAside: it
    // will never be taken.
    Verdict refused(Time now, uint64_t id, int reason, int times);
    // Any loss of the connection, with the broker's DISCONNECT reason (0 for
    // none): the clocks end. True for the quota reasons (0x93, 0x96, 0x97):
    // the pace slows and what was in flight is to be sent again.
    bool disconnected(Time now, int reason);
    // How many values are in flight once the oldest of them has waited
    // past the timeout; 0 before.
    size_t overdue(Time now) const;
    // The session reconnects for the overdue values: the pace slows and the
    // clocks end.
    void timedOut(Time now);
    // Values per second handed over in the last five whole seconds.
    double sentRate(Time now) const;
    // When the session must wake: the next token for a waiting message of
    // `nextBytes` (0: none waits), or the oldest clock's timeout;
    // Time::max() for nothing.
    Time nextEvent(Time now, size_t nextBytes) const;
    // A value that will not be answered (the library refused it): its clock
    // ends, nothing is measured.
    void endClock(uint64_t id);
    // The packet pace in force, packets a second; 0 for none.
    double pace() const { return m_packets.rate; }

private:
    // Refilled continuously, holding a little under one second's worth: a
    // broker with the same bucket sees our packets with jitter, and 5 % of
    // a second absorbs 50 ms of it.
    struct Bucket {
        double rate = 0; // 0: unlimited
        double capacity = 0;
        double tokens = 0;
        Time at{};
        double level(Time now) const;
        Time readyAt(Time now, double need) const;
        void take(Time now, double n);
        void setRate(Time now, double rate);
        void fill(Time now);
    };
    // Event counts per second of the clock, for the last `seconds`.
    class PerSecond {
    public:
        explicit PerSecond(size_t seconds) : m_slots(seconds) {}
        void add(Time now, uint64_t n = 1);
        uint64_t sum(int64_t from, int64_t to) const;

    private:
        struct Slot {
            int64_t sec = INT64_MIN;
            uint64_t n = 0;
        };
        std::vector<Slot> m_slots;
    };

    // Halves the pace unless the event's `evidence` (when the value that
    // shows it was sent) predates the last slow-down: one burst, one halving.
    void slowDown(Time now, Time evidence);
    void growPace(Time now);
    double ackRate(Time now) const;
    // Drops the entries of ended clocks from the front of the order.
    void sweep();
    void endClocks();

    const FlowSettings m_settings;
    const size_t m_defaultWindow;
    size_t m_receiveMaximum = 0;
    Bucket m_packets;
    Bucket m_bytes;
    // The pace imposed by a slow-down; 0 while none is.
    double m_slowPace = 0;
    Time m_slowedAt = Time::min();
    Time m_grownAt = Time::min();
    // The last quota trouble, counted even when it did not halve again.
    Time m_troubleAt = Time::min();
    // The last send that left no whole token: the pace was what held.
    Time m_limitedAt = Time::min();
    Time m_measureFrom = Time::max();
    PerSecond m_acks;
    PerSecond m_sends;
    // The clocks: the send time of each unacknowledged id, and the ids in
    // sending order, where entries whose id was acknowledged or sent again
    // stay behind until they reach the front (acknowledgements come mostly
    // in order).
    std::unordered_map<uint64_t, Time> m_pending;
    std::deque<std::pair<uint64_t, Time>> m_order;
};
