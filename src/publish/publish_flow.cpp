#include "publish/publish_flow.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

using std::chrono::duration;
using std::chrono::nanoseconds;
using std::chrono::seconds;

constexpr double kBurst = 0.95;
constexpr int64_t kSentSeconds = 5;
// Refusals of one burst reach us within this of each other.
constexpr seconds kSameEvent{1};

double secondsBetween(PublishFlow::Time from, PublishFlow::Time to) {
    return to > from ? duration<double>(to - from).count() : 0.0;
}

int64_t secondOf(PublishFlow::Time t) {
    return std::chrono::floor<seconds>(t.time_since_epoch()).count();
}

// Acknowledgements are measured over more than the timeout, so that a
// silent stall still shows the ones that came before it.
size_t ackSeconds(std::chrono::milliseconds timeout) {
    const auto s = std::chrono::ceil<seconds>(timeout).count();
    return static_cast<size_t>(std::clamp<int64_t>(s + 5, 10, 3600));
}

} // namespace

double PublishFlow::Bucket::level(Time now) const {
    if (rate <= 0)
        return std::numeric_limits<double>::infinity();
    return std::min(capacity, tokens + rate * secondsBetween(at, now));
}

PublishFlow::Time PublishFlow::Bucket::readyAt(Time now, double need) const {
    // A message larger than the bucket goes when it is full, and leaves a
    // debt that the next ones wait out.
    need = std::min(need, capacity);
    const double have = level(now);
    if (have >= need - 1e-9)
        return now;
    const double wait = std::min(std::ceil((need - have) / rate * 1e9), 1e18); // no overflow
    return now +
           std::chrono::duration_cast<Clock::duration>(nanoseconds(static_cast<int64_t>(wait)));
}

void PublishFlow::Bucket::take(Time now, double n) {
    if (rate <= 0)
        return;
    tokens = level(now) - n;
    at = std::max(at, now);
}

void PublishFlow::Bucket::setRate(Time now, double newRate) {
    const double have = level(now);
    at = std::max(at, now);
    rate = newRate;
    capacity = std::max(1.0, kBurst * rate);
    tokens = rate > 0 ? std::min(have, capacity) : 0;
}

void PublishFlow::Bucket::fill(Time now) {
    tokens = capacity;
    at = now;
}

void PublishFlow::PerSecond::add(Time now, uint64_t n) {
    const int64_t sec = secondOf(now);
    Slot& slot = m_slots[static_cast<size_t>(sec) % m_slots.size()];
    if (slot.sec != sec)
        slot = {sec, 0};
    slot.n += n;
}

uint64_t PublishFlow::PerSecond::sum(int64_t from, int64_t to) const {
    uint64_t n = 0;
    from = std::max<int64_t>(from, to - static_cast<int64_t>(m_slots.size()) + 1);
    for (int64_t sec = from; sec <= to; ++sec) {
        const Slot& slot = m_slots[static_cast<size_t>(sec) % m_slots.size()];
        if (slot.sec == sec)
            n += slot.n;
    }
    return n;
}

PublishFlow::PublishFlow(const FlowSettings& settings, size_t defaultWindow)
    : m_settings(settings), m_defaultWindow(defaultWindow), m_acks(ackSeconds(settings.ackTimeout)),
      m_sends(kSentSeconds + 1) {
    m_packets.setRate(Time{}, std::max(0.0, settings.rate));
    m_bytes.setRate(Time{}, std::max(0.0, settings.byteRate));
    m_packets.fill(Time{});
    m_bytes.fill(Time{});
}

void PublishFlow::connected(Time now, size_t receiveMaximum) {
    endClocks();
    m_receiveMaximum = receiveMaximum;
    m_packets.fill(now);
    m_bytes.fill(now);
    m_measureFrom = std::min(m_measureFrom, now);
}

size_t PublishFlow::window() const {
    size_t n = m_settings.inflight > 0 ? m_settings.inflight : m_defaultWindow;
    if (m_receiveMaximum > 0)
        n = std::min(n, m_receiveMaximum);
    return std::max<size_t>(n, 1);
}

PublishFlow::Time PublishFlow::readyAt(Time now, size_t bytes) const {
    return std::max(m_packets.readyAt(now, 1), m_bytes.readyAt(now, static_cast<double>(bytes)));
}

void PublishFlow::sent(Time now, size_t bytes, uint64_t id, bool acked, size_t values) {
    m_measureFrom = std::min(m_measureFrom, now);
    m_packets.take(now, 1);
    m_bytes.take(now, static_cast<double>(bytes));
    if (m_packets.rate > 0 && m_packets.tokens < 1)
        m_limitedAt = now;
    m_sends.add(now, values);
    if (!acked)
        return;
    m_pending[id] = now;
    m_order.emplace_back(id, now);
    sweep();
}

void PublishFlow::acknowledged(Time now, uint64_t id) {
    endClock(id);
    m_acks.add(now);
    // One step a second in which acknowledgements came and nothing was
    // refused for the quota.
    if (m_slowPace > 0 && now - m_grownAt >= kSameEvent) {
        if (m_troubleAt <= m_grownAt)
            growPace(now);
        m_grownAt = now;
    }
}

PublishFlow::Verdict PublishFlow::refused(Time now, uint64_t id, int reason, int times) {
    const auto it = m_pending.find(id);
    const Time evidence = it != m_pending.end() ? it->second : now - kSameEvent;
    endClock(id);
    switch (reason) {
    case 0x97: // quota exceeded: it will go at a slower pace
        slowDown(now, evidence);
        return Verdict::Retry;
    case 0x80: // unspecified and implementation-specific errors may pass
    case 0x83:
        return times >= 3 ? Verdict::SetAside : Verdict::Retry;
    default:
        // Success codes are no refusal: sending again loses nothing.
        return reason < 0x80 ? Verdict::Retry : Verdict::SetAside;
    }
}

bool PublishFlow::disconnected(Time now, int reason) {
    endClocks();
    const bool quota = reason == 0x93 || reason == 0x96 || reason == 0x97;
    if (quota)
        slowDown(now, now - kSameEvent);
    return quota;
}

size_t PublishFlow::overdue(Time now) const {
    if (m_settings.ackTimeout.count() <= 0 || m_order.empty())
        return 0;
    return now - m_order.front().second >= m_settings.ackTimeout ? m_pending.size() : 0;
}

void PublishFlow::timedOut(Time now) {
    slowDown(now, m_order.empty() ? now - kSameEvent : m_order.front().second);
    endClocks();
}

double PublishFlow::sentRate(Time now) const {
    const int64_t sec = secondOf(now);
    return static_cast<double>(m_sends.sum(sec - kSentSeconds, sec - 1)) / kSentSeconds;
}

PublishFlow::Time PublishFlow::nextEvent(Time now, size_t nextBytes) const {
    Time next = nextBytes > 0 ? readyAt(now, nextBytes) : Time::max();
    if (m_settings.ackTimeout.count() > 0 && !m_order.empty())
        next = std::min(next, std::max(now, m_order.front().second + m_settings.ackTimeout));
    return next;
}

void PublishFlow::slowDown(Time now, Time evidence) {
    m_troubleAt = now;
    if (evidence < m_slowedAt)
        return;
    double base = ackRate(now);
    if (m_packets.rate > 0)
        base = std::min(base, m_packets.rate);
    m_slowPace = std::max(1.0, base / 2);
    m_packets.setRate(now, m_slowPace);
    // The broker's bucket is empty now: start ours so too.
    m_packets.tokens = 0;
    m_slowedAt = m_grownAt = m_limitedAt = now;
}

void PublishFlow::growPace(Time now) {
    const double configured = std::max(0.0, m_settings.rate);
    double next = m_slowPace + std::max(1.0, m_slowPace / 10);
    // Without a configured rate the pace ends once it no longer holds back.
    if ((configured <= 0 && m_limitedAt < m_grownAt) || (configured > 0 && next >= configured))
        next = 0;
    m_slowPace = next;
    m_packets.setRate(now, next > 0 ? next : configured);
}

double PublishFlow::ackRate(Time now) const {
    const int64_t sec = secondOf(now);
    const int64_t first = sec - static_cast<int64_t>(ackSeconds(m_settings.ackTimeout)) + 1;
    const Time windowStart{seconds(first)};
    const double span = std::max(1.0, secondsBetween(std::max(m_measureFrom, windowStart), now));
    return static_cast<double>(m_acks.sum(first, sec)) / span;
}

void PublishFlow::endClock(uint64_t id) {
    m_pending.erase(id);
    sweep();
}

void PublishFlow::sweep() {
    // Entries whose clock ended leave from the front; a long tail of them
    // behind one value that waits is swept now and then.
    const auto stale = [this](const std::pair<uint64_t, Time>& entry) {
        const auto it = m_pending.find(entry.first);
        return it == m_pending.end() || it->second != entry.second;
    };
    while (!m_order.empty() && stale(m_order.front()))
        m_order.pop_front();
    if (m_order.size() > 2 * m_pending.size() + 1024)
        m_order.erase(std::remove_if(m_order.begin(), m_order.end(), stale), m_order.end());
}

void PublishFlow::endClocks() {
    m_pending.clear();
    m_order.clear();
}
