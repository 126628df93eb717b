// The publish session's store (durable publishing) and its diagnostics
// variables: what the publish thread does with the disk on each pass.

#include <algorithm>
#include <cmath>

#include "publish/publish_session.h"
#include "publish/publish_session_parts.h"
#include "text/lines.h"

using namespace publish_parts;

namespace {

// The values kept in memory (the rest waits on disk), completed rows deleted
// in one group at most, and how soon a store that could not be opened or
// written is tried again.
constexpr size_t kStoreWindow = 10000;
constexpr size_t kDoneGroup = 512;
constexpr std::chrono::seconds kStoreReopen{30};
constexpr std::chrono::seconds kStoreRewrite{1};
// How often the WAL is copied into the main file and the path looked at: a
// store copied or moved without its -wal file loses at most this much.
constexpr std::chrono::seconds kStoreCheckEvery{2};

} // namespace

uint64_t PublishSession::diskOnly() const {
    return m_diskTail ? m_tailCount : 0;
}

PublishStore::Limits PublishSession::storeLimits() const {
    PublishStore::Limits limits;
    limits.maxBytes = m_settings.storeLimitMiB << 20;
    limits.maxAgeMs = static_cast<int64_t>(m_settings.storeMaxAgeSeconds) * 1000;
    return limits;
}

bool PublishSession::persistDue() const {
    if (m_settings.store.empty())
        return false;
    const auto now = std::chrono::steady_clock::now();
    if (!m_store)
        return now >= m_storeRetry;
    if (now < m_storeRetry)
        return false;
    const bool due = now - m_lastCommit >= kCommitEvery;
    return !m_unstored.empty() || m_doneIds.size() >= kDoneGroup || now >= m_storeCheckAt ||
           (!m_doneIds.empty() && (due || m_stopping)) ||
           (m_diskTail && m_connected && m_buffer.size() < kStoreWindow / 2) ||
           (m_settings.storeMaxAgeSeconds > 0 && m_storeCount > 0 &&
            now - m_lastCommit >= std::chrono::seconds(1));
}

void PublishSession::storeFailed(const std::string& line) {
    if (line == m_storeError)
        return;
    m_storeError = line;
    m_lines.push_back(line);
}

void PublishSession::persist(std::unique_lock<std::mutex>& lock) {
    if (!persistDue())
        return;
    const std::string path = printable(m_settings.store);
    if (!m_store) {
        m_storeRetry = std::chrono::steady_clock::now() + kStoreReopen;
        const PublishStore::Limits limits = storeLimits();
        lock.unlock();
        std::string error, moved;
        std::unique_ptr<PublishStore> store =
            PublishStore::open(m_settings.store, limits, &error, &moved);
        lock.lock();
        if (!moved.empty())
            m_lines.push_back("[kro error]publish store " + path +
                              " is damaged or not a store: moved aside to " + printable(moved) +
                              "; a new store is used\n");
        if (!store) {
            storeFailed("[kro error]publish store " + printable(error) +
                        "; values wait in memory, the store is tried again every " +
                        std::to_string(kStoreReopen.count()) + " s\n");
            return;
        }
        m_storeError.clear();
        // What was posted before goes in behind what the store holds.
        for (auto it = m_buffer.rbegin(); it != m_buffer.rend(); ++it)
            m_unstored.push_front(**it);
        m_buffer.clear();
        m_diskTail = store->count() > 0;
        m_tailCount = store->count();
        m_lastId = 0;
        m_storeCheckAt = std::chrono::steady_clock::now() + kStoreCheckEvery;
        if (store->count() > 0)
            m_lines.push_back("[kro info]publish store " + path + ": " +
                              count(store->count(), "value", "values") +
                              " from before, sent first\n");
        m_store = std::move(store);
        m_storeRetry = {};
    }
    keepStore(lock);

    std::vector<StoredValue> values;
    std::vector<uint64_t> seqs;
    values.reserve(m_unstored.size());
    for (Value& v : m_unstored) {
        seqs.push_back(v.seq);
        values.push_back(
            StoredValue{0, std::move(v.topic), std::move(v.payload), v.retain, v.postedMs});
    }
    m_unstored.clear();
    std::vector<int64_t> done;
    done.swap(m_doneIds);
    const bool refill = m_diskTail && m_buffer.size() < kStoreWindow / 2;
    lock.unlock();
    PublishStore::Drops drops;
    std::string error;
    const bool ok = m_store->commit(values, done, wallMs(), &drops, &error);
    lock.lock();
    const auto now = std::chrono::steady_clock::now();
    m_lastCommit = now;
    auto entryOf = [](StoredValue& v, uint64_t seq) {
        return std::make_shared<const Value>(
            Value{std::move(v.topic), std::move(v.payload), v.retain, v.postedMs, seq, v.id, {}});
    };
    if (!ok) {
        storeFailed("[kro error]publish store " + printable(error) +
                    "; values wait in memory meanwhile\n");
        m_storeRetry = now + kStoreRewrite;
        m_doneIds.insert(m_doneIds.end(), done.begin(), done.end());
        if (m_diskTail) {
            // Behind the values on disk: they wait to be stored.
            for (size_t i = values.size(); i-- > 0;)
                m_unstored.push_front(Value{std::move(values[i].topic),
                                            std::move(values[i].payload),
                                            values[i].retain,
                                            values[i].postedMs,
                                            seqs[i],
                                            0,
                                            {}});
        } else {
            // Sent from memory; those posted meanwhile wait behind them.
            for (size_t i = 0; i < values.size(); ++i)
                m_buffer.push_back(entryOf(values[i], seqs[i]));
        }
        while (m_unstored.size() > m_capacity) {
            m_unstored.pop_front();
            ++m_dropped;
        }
        dropOverflow();
        return;
    }
    if (!m_storeError.empty()) {
        m_storeError.clear();
        m_lines.push_back("[kro info]publish store " + path + " written again\n");
    }
    m_storeCount = m_store->count();
    m_storeOldestId = m_store->oldestId();
    m_storeOldestMs = m_store->oldestMs();
    m_storeLastId = m_store->lastId();
    if (drops.bySize || drops.byAge) {
        // The oldest rows went: so do those of them waiting in memory.
        while (!m_buffer.empty() && m_buffer.front()->storeId > 0 &&
               (m_storeCount == 0 || m_buffer.front()->storeId < m_storeOldestId))
            m_buffer.pop_front();
        if (drops.bySize && m_storeDrops.bySize == m_storeDropsReported.bySize)
            m_lines.push_back("[kro error]publish store full (" +
                              std::to_string(m_settings.storeLimitMiB) +
                              " MiB): dropping the oldest\n");
        if (drops.byAge && m_storeDrops.byAge == m_storeDropsReported.byAge)
            m_lines.push_back("[kro error]publish store: dropping values older than " +
                              std::to_string(m_settings.storeMaxAgeSeconds) + " s\n");
        m_storeDrops.bySize += drops.bySize;
        m_storeDrops.byAge += drops.byAge;
    }
    uint64_t toTail = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (m_diskTail || m_buffer.size() >= kStoreWindow) {
            m_diskTail = true;
            ++toTail;
            continue;
        }
        m_lastId = values[i].id;
        m_buffer.push_back(entryOf(values[i], seqs[i]));
    }
    // The limits take the oldest first: the tail loses values only once
    // every stored value in memory has gone, and then it is all there is.
    if (m_storeCount == 0 || m_storeOldestId > m_lastId)
        m_tailCount = m_storeCount;
    else
        m_tailCount += toTail;
    if (!refill || !m_diskTail || m_buffer.size() >= kStoreWindow / 2)
        return;
    const int64_t after = std::max(m_lastId, m_storeOldestId - 1);
    const size_t want = kStoreWindow - m_buffer.size();
    lock.unlock();
    std::vector<StoredValue> window;
    const bool read = m_store->read(after, want, &window, &error);
    lock.lock();
    if (!read) {
        // Left on disk for the next start; this run goes on in memory.
        storeFailed("[kro error]publish store " + printable(error) +
                    "; the values on disk wait for the next start\n");
        m_diskTail = false;
        m_tailCount = 0;
        m_store.reset();
        m_storeRetry = std::chrono::steady_clock::now() + kStoreReopen;
        for (Value& v : m_unstored)
            m_buffer.push_back(std::make_shared<const Value>(std::move(v)));
        m_unstored.clear();
        dropOverflow();
        return;
    }
    for (StoredValue& v : window) {
        m_lastId = v.id;
        m_buffer.push_back(entryOf(v, ++m_seq));
    }
    m_tailCount -= std::min<uint64_t>(m_tailCount, window.size());
    if (window.size() < want) {
        m_diskTail = false;
        m_tailCount = 0;
    }
}

void PublishSession::keepStore(std::unique_lock<std::mutex>& lock) {
    const auto now = std::chrono::steady_clock::now();
    if (now < m_storeCheckAt)
        return;
    m_storeCheckAt = now + kStoreCheckEvery;
    const std::string path = printable(m_settings.store);
    const uint64_t waiting = waitingLocked();
    const PublishStore::Limits limits = storeLimits();
    lock.unlock();
    std::string error, moved;
    std::unique_ptr<PublishStore> fresh;
    const bool gone = m_store->moved();
    if (!gone) {
        if (!m_store->checkpoint(&error))
            error = "[kro error]publish store " + printable(error) + "\n";
    } else {
        // Read from the open file, which still holds every value: the
        // values waiting, those on disk only included, go to the new one.
        fresh = PublishStore::open(m_settings.store, limits, &error, &moved);
        if (fresh && !fresh->take(*m_store, &error))
            fresh.reset();
    }
    lock.lock();
    if (!moved.empty())
        m_lines.push_back("[kro error]publish store " + path +
                          " is damaged or not a store: moved aside to " + printable(moved) +
                          "; a new store is used\n");
    if (!gone) {
        if (!error.empty())
            storeFailed(error);
        return;
    }
    if (!fresh) {
        // The file open still keeps them, until they are sent or this run ends.
        const std::string line = "[kro error]publish store " + path +
                                 " was removed while in use: " + printable(error) +
                                 "; the values waiting are kept in the removed file, a new "
                                 "store is tried again every " +
                                 std::to_string(kStoreReopen.count()) + " s\n";
        if (line != m_renewError)
            m_lines.push_back(line);
        m_renewError = line;
        m_storeCheckAt = now + kStoreReopen;
        return;
    }
    m_renewError.clear();
    m_lines.push_back("[kro error]publish store " + path +
                      " was removed while in use: a new store is made there with the " +
                      count(waiting, "value", "values") + " waiting\n");
    // The same values with the same ids: the session's view stays as it was.
    m_store.swap(fresh);
    m_storeCount = m_store->count();
    m_storeOldestId = m_store->oldestId();
    m_storeOldestMs = m_store->oldestMs();
    m_storeLastId = m_store->lastId();
}

void PublishSession::writeDiagnostics(std::unique_lock<std::mutex>& lock, bool now) {
    if (!m_diagnostics)
        return;
    const auto at = std::chrono::steady_clock::now();
    if (!now && at - m_diagAt < kDiagEvery)
        return;
    const uint64_t waiting = waitingLocked();
    int64_t oldest = 0;
    auto older = [&oldest](int64_t ms) {
        if (ms > 0 && (oldest == 0 || ms < oldest))
            oldest = ms;
    };
    if (m_store && m_storeCount > 0)
        older(m_storeOldestMs);
    if (!m_handed0.empty())
        older(m_handed0.front()->postedMs);
    if (!m_inflightBySeq.empty())
        older(m_inflightBySeq.begin()->second->postedMs);
    if (!m_buffer.empty())
        older(m_buffer.front()->postedMs);
    if (!m_unstored.empty())
        older(m_unstored.front().postedMs);
    const int64_t values[4] = {
        static_cast<int64_t>(waiting),
        static_cast<int64_t>(m_dropped + m_storeDrops.bySize + m_storeDrops.byAge + m_setAside),
        waiting == 0 || oldest == 0 ? 0 : std::max<int64_t>(0, (wallMs() - oldest) / 1000),
        static_cast<int64_t>(std::lround(m_flow.sentRate(at)))};
    // "pubrate" only where a pace is set: without one the variables stay as
    // they always were.
    const int shown = m_settings.paced() ? 4 : 3;
    if (std::equal(values, values + shown, m_diag))
        return;
    m_diagAt = at;
    static const char* const names[4] = {"pubwaiting", "pubdropped", "puboldest", "pubrate"};
    bool changed[4];
    for (int i = 0; i < shown; ++i) {
        changed[i] = values[i] != m_diag[i];
        m_diag[i] = values[i];
    }
    lock.unlock();
    kro::IVarManager* vars = kro::getRuntime()->getVarManager();
    for (int i = 0; i < shown; ++i)
        if (changed[i])
            vars->setIntVar(m_varPrefix + names[i],
                            static_cast<int>(std::min<int64_t>(values[i], INT32_MAX)), 0);
    lock.lock();
}
