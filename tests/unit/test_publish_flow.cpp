// The publish flow against a fake clock and a simulated quota broker.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "publish/publish_flow.h"

namespace {

using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;
using Time = PublishFlow::Time;
using V = PublishFlow::Verdict;
const Time t0 = Time{} + 1h;

TEST(PublishFlow, RefusalVerdictsAndDisconnectReasons) {
    // Reason, times in a row (0: a DISCONNECT), verdict (Retry: a quota close), pace 5 s on: 100
    // acknowledged, a burst of two refused halves it once, grown a tenth a second but the next.
    const std::tuple<int, int, V, double> rows[] = {
        {0x97, 1, V::Retry, 73.205},  {0x87, 1, V::SetAside, 1000}, {0x90, 1, V::SetAside, 1000},
        {0x80, 1, V::Retry, 1000},    {0x80, 3, V::SetAside, 1000}, {0x83, 2, V::Retry, 1000},
        {0x99, 1, V::SetAside, 1000}, {0x95, 1, V::SetAside, 1000}, {0x96, 0, V::Retry, 73.205},
        {0x97, 0, V::Retry, 73.205},  {0x93, 0, V::Retry, 73.205},  {0x8E, 0, V::SetAside, 1000}};
    for (const auto& [reason, times, verdict, pace] : rows) {
        SCOPED_TRACE(std::to_string(reason) + " " + std::to_string(times));
        PublishFlow flow({1000}, 1000);
        flow.sent(t0, 10, 100, true), flow.sent(t0, 10, 101, true);
        for (uint64_t id = 0; id < 100; ++id)
            flow.sent(t0, 10, id, true), flow.acknowledged(t0, id);
        EXPECT_EQ(times > 0 ? flow.refused(t0 + 30ms, 100, reason, times)
                  : flow.disconnected(t0 + 30ms, reason) ? V::Retry
                                                         : V::SetAside,
                  verdict);
        times > 0 ? (void)flow.refused(t0 + 40ms, 101, reason, times)
                  : (void)flow.disconnected(t0 + 40ms, reason);
        EXPECT_EQ(flow.overdue(t0 + 1h), 0u); // no clock left running
        for (int s = 1; s <= 5; ++s)
            flow.acknowledged(t0 + 30ms + s * 1s, 1000 + s);
        EXPECT_NEAR(flow.pace(), pace, 1e-6);
    }
}

TEST(PublishFlow, BucketsHoldAlmostOneSecondsWorth) {
    // Rate, byte rate, n messages of `bytes` at once, then the wait in ms for the next.
    const std::tuple<double, double, size_t, int, double> rows[] = {
        {100, 0, 10, 94, 0},   {100, 0, 10, 95, 10},     {0.5, 0, 10, 1, 2000},
        {0, 1000, 100, 9, 50}, {0, 1000, 5000, 1, 5000}, {100, 1000, 100, 9, 50}};
    for (const auto& [rate, byteRate, bytes, n, wait] : rows) {
        PublishFlow flow({rate, byteRate}, 1000);
        for (int i = 0; i < n; ++i)
            flow.sent(t0, bytes, i, false);
        EXPECT_NEAR(Ms(flow.nextEvent(t0, bytes) - t0).count(), wait, 1e-3) << rate << " " << n;
    }
    // The clock of one value left behind many acknowledged ones runs, until a new connection.
    PublishFlow flow({}, 1000);
    flow.sent(t0, 10, 0, true);
    for (uint64_t id = 1; id < 100000; ++id)
        flow.sent(t0 + 1ms, 10, id, true), flow.acknowledged(t0 + 2ms, id);
    EXPECT_EQ(flow.overdue(t0 + 10s), 1u);
    flow.connected(t0 + 10s, 0);
    EXPECT_EQ(flow.overdue(t0 + 1h), 0u);
}

// 1,000 values posted at once to a broker with a 100/s bucket (v3 drops the excess, v5 refuses
// it with 0x97), 10 to 50 ms away, its answers 10 ms back: acknowledgements come out of order.
TEST(PublishFlow, DrainsABacklogThroughAQuotaBroker) {
    // v5, rate, seconds to deliver all, timeouts, throttled at most (no rate: the first burst).
    const std::tuple<int, double, int, int, int> rows[] = {
        {0, 100, 11, 0, 0}, {1, 100, 11, 0, 0}, {0, 0, 120, 1, 900}, {1, 0, 120, 0, 100}};
    for (const auto& [v5, rate, seconds, timeoutsMax, throttledMax] : rows) {
        SCOPED_TRACE(std::to_string(v5) + " " + std::to_string(rate));
        PublishFlow flow({rate}, 1000);
        std::set<uint64_t> waiting;
        for (uint64_t id = 0; id < 1000; ++id)
            waiting.insert(id);
        std::map<uint64_t, Time> inflight;                    // by id: when sent
        std::multimap<Time, std::pair<uint64_t, int>> events; // reason -1: reaches the broker
        double tokens = 100;
        Time t = t0, filled = t0;
        int throttled = 0, timeouts = 0, acked = 0;
        const auto room = [&] { return !waiting.empty() && inflight.size() < flow.window(); };
        flow.connected(t, v5 ? 100 : 0);
        for (int step = 0; step < 1000000 && acked < 1000; ++step) {
            while (room() && flow.readyAt(t, 20) == t) {
                const uint64_t id = *waiting.begin();
                waiting.erase(id), inflight.emplace(id, t), flow.sent(t, 20, id, true);
                events.emplace(t + 10ms + id * 37 % 40 * 1ms, std::make_pair(id, -1));
            }
            if (flow.overdue(t) > 0) {
                Time oldest = Time::max();
                for (const auto& sent : inflight)
                    oldest = std::min(oldest, sent.second);
                EXPECT_TRUE(t - oldest == 10s && flow.overdue(t) == inflight.size());
                ++timeouts, flow.timedOut(t);
                EXPECT_GE(flow.pace(), 5); // half the ~100 acknowledged over the 10 s before
                for (const auto& sent : inflight)
                    waiting.insert(sent.first);
                inflight.clear(), events.clear();
                flow.connected(t += 1s, v5 ? 100 : 0);
            }
            t = std::min(events.empty() ? Time::max() : events.begin()->first,
                         flow.nextEvent(t, room() ? 20 : 0));
            for (auto it = events.begin(); it != events.end() && it->first <= t;) {
                const auto [id, reason] = it->second;
                it = events.erase(it);
                if (reason < 0) {
                    tokens += Ms(t - std::exchange(filled, t)).count() / 10;
                    const bool over = (tokens = std::min(tokens, 100.0)) < 1;
                    throttled += over, tokens -= over ? 0 : 1;
                    if (!over || v5)
                        events.emplace(t + 10ms, std::make_pair(id, over ? 0x97 : 0));
                } else if (inflight.erase(id) && reason == 0) {
                    flow.acknowledged(t, id), ++acked;
                } else if (flow.refused(t, id, reason, 1) == V::Retry) {
                    waiting.insert(id);
                }
            }
        }
        EXPECT_TRUE(acked == 1000 && t - t0 <= seconds * 1s) << acked << " " << Ms(t - t0).count();
        EXPECT_EQ(timeouts, timeoutsMax);
        EXPECT_TRUE(throttled <= throttledMax && (throttled > 0) == (rate == 0)) << throttled;
        EXPECT_TRUE(rate == 0 || (flow.sentRate(t) > 99 && flow.sentRate(t) < 101));
    }
}

} // namespace
