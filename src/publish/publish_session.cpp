#include "publish/publish_session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <mqtt_protocol.h>

#include "client/client_connect.h"
#include "client/client_shared.h"
#include "client/lib_init.h"
#include "client/pub_shared.h"
#include "drivers/driver_run.h"
#include "drivers/driver_state.h"
#include "kro/Util.h"
#include "platform/socket.h"
#include "publish/publish_process.h"
#include "publish/publish_session_parts.h"
#include "text/lines.h"

using namespace publish_parts;

namespace {

// Values handed to the library and not yet written or acknowledged. Bounds
// the library's own queue, so that what cannot be sent waits in the buffer,
// where it is counted and dropped by the buffer's rule.
constexpr size_t kWindow = 1000;
// A waiting publish thread is woken again once the window is half free, so
// that it hands over values in batches rather than one per acknowledgement.
constexpr size_t kWakeRoom = kWindow / 2;
constexpr size_t kBatch = 256;
// How long a stopping session lets the connection take what is waiting.
constexpr std::chrono::seconds kStopGrace{1};
// A connection that stayed up this long starts the reconnect pause afresh.
constexpr std::chrono::seconds kStableAfter{30};
// A connection to one of several brokers lost after this long moves on to
// the next broker without a pause.
constexpr std::chrono::seconds kMoveOnAfter{1};

FlowSettings flowSettings(const SessionSettings& s) {
    FlowSettings flow;
    flow.rate = static_cast<double>(s.rate);
    flow.byteRate = static_cast<double>(s.byteRate);
    flow.inflight = static_cast<size_t>(s.inflight);
    flow.ackTimeout = std::chrono::seconds(s.ackTimeoutSeconds);
    return flow;
}

} // namespace

PublishSession::PublishSession(size_t capacity)
    : m_capacity(std::max<size_t>(capacity, 1)), m_flow(flowSettings(m_settings), kWindow) {}

PublishSession::PublishSession(const SessionSettings& settings, std::string varPrefix)
    : m_capacity(std::max<size_t>(settings.buffer, 1)), m_settings(settings),
      m_varPrefix(std::move(varPrefix)), m_diagnostics(true),
      m_flow(flowSettings(settings), kWindow), m_random(std::random_device{}()) {}

PublishSession::~PublishSession() {
    if (!m_ran && !m_buffer.empty())
        printLine("[kro error]publish session closed: " +
                  count(m_buffer.size(), "value", "values") + " unsent\n");
}

size_t PublishSession::waiting() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return waitingLocked();
}

bool PublishSession::canHand(size_t limit) const {
    if (!m_connected || m_buffer.empty() || handed() >= limit)
        return false;
    // A node's values wait for its births.
    if (m_node && (!m_node->born() || m_spLeaving))
        return false;
    const auto now = std::chrono::steady_clock::now();
    return !batchHeld(now) && m_flow.readyAt(now, nextBytes()) <= now;
}

size_t PublishSession::nextBytes() const {
    if (m_buffer.empty() || handed() >= window())
        return 0;
    return std::max(m_batchPaceBytes,
                    m_buffer.front()->topic.size() + m_buffer.front()->payload.size());
}

size_t PublishSession::window() const {
    if (m_probing)
        return 1;
    return m_qos == 0 ? kWindow : m_flow.window();
}

int PublishSession::wantedState() const {
    if (m_connected)
        return waitingLocked() == 0 ? 0 : 101;
    return waitingLocked() > 0 ? 102 : 0;
}

bool PublishSession::hasWork() const {
    return m_stopping || !m_lines.empty() || wantedState() != m_state ||
           canHand(m_waiterIdle ? std::min(kWakeRoom, std::max<size_t>(window() / 2, 1))
                                : window()) ||
           (m_threaded && !m_connected) || persistDue() || sparkplugDue();
}

void PublishSession::wake() {
    if (m_waiterIdle && hasWork())
        m_cv.notify_one();
}

void PublishSession::dropOverflow() {
    // A stored value is not dropped from memory: its row keeps it.
    while (m_buffer.size() > m_capacity && m_buffer.front()->storeId == 0) {
        m_buffer.pop_front();
        ++m_dropped;
    }
    if (m_dropped > m_droppedReported && !m_dropsAnnounced) {
        m_dropsAnnounced = true;
        m_lines.push_back("[kro error]publish buffer full (" + std::to_string(m_capacity) +
                          " values): dropping the oldest\n");
    }
}

void PublishSession::noteDrops(bool final) {
    // The count once the buffer has room again (or at the end), so that an
    // outage gives two lines, not one per value.
    if (m_dropped == m_droppedReported || (!final && m_buffer.size() >= m_capacity))
        return;
    m_lines.push_back("[kro error]publish buffer full: " +
                      count(m_dropped - m_droppedReported, "oldest value", "oldest values") +
                      " dropped\n");
    m_droppedReported = m_dropped;
    m_dropsAnnounced = false;
}

void PublishSession::post(Value value) {
    value.postedMs = wallMs();
    value.storeId = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    value.seq = ++m_seq;
    // Sparkplug data is never retained.
    if (m_node)
        value.retain = false;
    if (m_store) {
        // Committed by the publish thread: a post never waits on the disk.
        m_unstored.push_back(std::move(value));
        if (m_unstored.size() > m_capacity) {
            m_unstored.pop_front();
            ++m_dropped;
            dropOverflow();
        }
    } else {
        m_buffer.push_back(std::make_shared<const Value>(std::move(value)));
        if (m_buffer.size() > m_capacity)
            dropOverflow();
    }
    wake();
}

void PublishSession::handOver(std::unique_lock<std::mutex>& lock, mosquitto* mosq) {
    const size_t most = std::min({window() - handed(), kBatch});
    const auto now = std::chrono::steady_clock::now();
    std::vector<Entry> batch;
    const bool batching = m_settings.batch.on() && !m_probing;
    while (batch.size() < most && !m_buffer.empty()) {
        const Entry& next = m_buffer.front();
        const size_t limit = valueLimit();
        const size_t alone = batching ? batchPayloadBytes(m_settings.batch, next->payload.size(), 1)
                                      : next->payload.size();
        if (limit && alone > limit) {
            // Sent, it would make the broker close the connection on it.
            setAsideOversize(next, limit);
            m_buffer.pop_front();
            continue;
        }
        if (batching) {
            size_t bytes = 0;
            const Entry message = takeBatch(now, &bytes);
            if (!message)
                break;
            m_flow.sent(now, bytes, message->seq, m_qos != 0, message->members.size());
            batch.push_back(message);
            continue;
        }
        const size_t bytes = next->topic.size() + next->payload.size();
        if (m_flow.readyAt(now, bytes) > now)
            break;
        m_flow.sent(now, bytes, next->seq, m_qos != 0);
        batch.push_back(next);
        m_buffer.pop_front();
    }
    if (m_node)
        sparkplugRender(batch);
    const size_t n = batch.size();
    // Counted as handed before the library has them: its acknowledgement may
    // come before mosquitto_publish returns.
    if (m_qos == 0)
        m_handed0.insert(m_handed0.end(), batch.begin(), batch.end());
    else
        m_inflight += n;
    const uint64_t generation = m_generation;
    noteDrops(false);
    lock.unlock();

    // Message ids of the values the library took (QoS 1 and 2), made known
    // after the batch: an acknowledgement may come before that.
    std::vector<std::pair<int, size_t>> taken;
    for (size_t i = 0; i < n; ++i) {
        const Value& v = *batch[i];
        int mid = 0;
        const int rc = v.payload.size() > PUB_MAX_PAYLOAD
                           ? MOSQ_ERR_PAYLOAD_SIZE
                           : mosquitto_publish_v5(mosq, &mid, v.topic.c_str(),
                                                  static_cast<int>(v.payload.size()),
                                                  v.payload.data(), v.control ? v.qos : m_qos,
                                                  v.retain || m_retainAll, m_publishProps);
        if (rc == MOSQ_ERR_SUCCESS) {
            if (m_qos != 0)
                taken.emplace_back(mid, i);
            continue;
        }
        std::lock_guard<std::mutex> relock(m_mutex);
        if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) {
            takeBack(batch, i, generation);
            break;
        }
        // This value can never be sent (a topic with wildcards, too long, or
        // larger than the broker's maximum packet size): reported and set
        // aside, the rest goes on.
        released(batch[i]);
        if (v.control) {
            controlFailed(batch[i], generation, rc);
            continue;
        }
        if (rc == MOSQ_ERR_OVERSIZE_PACKET && !v.members.empty() && m_settings.batch.on()) {
            // Larger than our estimate of the broker's bound: its values go
            // again in smaller batches.
            if (m_qos != 0)
                m_inflight -= std::min<size_t>(m_inflight, 1);
            else if (generation == m_generation) {
                auto it = std::find(m_handed0.begin(), m_handed0.end(), batch[i]);
                if (it != m_handed0.end())
                    m_handed0.erase(it);
            }
            m_flow.endClock(v.seq);
            m_batchCap = std::max<size_t>(v.payload.size() / 2, 1);
            for (auto it = v.members.rbegin(); it != v.members.rend(); ++it)
                putBack(*it);
            continue;
        }
        if (m_qos != 0)
            m_inflight -= std::min<size_t>(m_inflight, 1);
        else if (generation == m_generation) {
            auto it = std::find(m_handed0.begin(), m_handed0.end(), batch[i]);
            if (it != m_handed0.end())
                m_handed0.erase(it);
        }
        m_flow.endClock(v.seq);
        if (rc == MOSQ_ERR_OVERSIZE_PACKET) {
            setAsideOversize(batch[i], m_brokerMaxPacket);
            continue;
        }
        for (const Entry& value : unbatched({batch[i]})) {
            ++m_setAside;
            if (value->storeId > 0)
                m_doneIds.push_back(value->storeId);
        }
        m_lines.push_back("[kro error]publish failed: " + std::string(mosquitto_strerror(rc)) +
                          ": " + printable(v.topic) + "\n");
    }
    lock.lock();
    for (const auto& [mid, i] : taken) {
        auto early = m_earlyAcks.find(mid);
        if (early != m_earlyAcks.end()) {
            const int reason = early->second;
            m_earlyAcks.erase(early);
            released(batch[i]);
            answered(batch[i], reason);
        } else {
            m_byMid[mid] = batch[i];
            m_inflightBySeq[batch[i]->seq] = batch[i];
        }
    }
}

void PublishSession::report(std::unique_lock<std::mutex>& lock) {
    persist(lock);
    showSubState(lock);
    while (!m_lines.empty() || wantedState() != m_state) {
        std::vector<std::string> lines;
        lines.swap(m_lines);
        const int state = wantedState();
        const bool write = state != m_state;
        m_state = state;
        lock.unlock();
        std::string text;
        for (const std::string& line : lines)
            text += line;
        printLine(text);
        if (write)
            setPubState(state);
        lock.lock();
    }
    // Not once stopping: what it posted then would be neither sent nor kept.
    if (m_tick && !m_stopping) {
        lock.unlock();
        m_tick();
        lock.lock();
    }
    writeDiagnostics(lock, false);
}

void PublishSession::setTick(std::function<void()> tick) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tick = std::move(tick);
}

void PublishSession::stalled(std::unique_lock<std::mutex>& lock, mosquitto* mosq, size_t late) {
    if (!m_stallTold)
        m_lines.push_back("[kro error]publish: no acknowledgement within " +
                          std::to_string(m_settings.ackTimeoutSeconds) + " s for " +
                          count(late, "value", "values") + ": reconnecting to send them again\n");
    m_stallTold = true;
    m_flow.timedOut(std::chrono::steady_clock::now());
    // MQTT 3.1.1 sends a value again only on a new connection.
    m_takeBackAll = true;
    lock.unlock();
    mosquitto_disconnect_v5(mosq, 0, nullptr);
    lock.lock();
}

void PublishSession::serve(std::unique_lock<std::mutex>& lock, mosquitto* mosq) {
    while (!m_stopping && (!m_threaded || m_connected)) {
        if (m_node)
            sparkplugTurn(lock, mosq);
        // Values first, the state and the lines after: a value's way out is
        // not held up by the host's variable store.
        if (canHand(window()))
            handOver(lock, mosq);
        if (m_threaded && m_connected && m_qos != 0) {
            const size_t late = m_flow.overdue(std::chrono::steady_clock::now());
            if (late > 0)
                stalled(lock, mosq, late);
        }
        report(lock);
        if (canHand(window()))
            continue;
        m_waiterIdle = true;
        // Rows to delete and the diagnostics are due in time, not on a wake;
        // so are the next token of the pace and an acknowledgement's bound.
        const auto now = std::chrono::steady_clock::now();
        auto until = m_flow.nextEvent(now, nextBytes());
        if (batchHeld(now))
            until = std::min(until, m_batchHoldUntil);
        if (!m_settings.store.empty())
            until = std::min(until, now + kCommitEvery);
        else if (m_diagnostics)
            until = std::min<std::chrono::steady_clock::time_point>(until, now + kDiagEvery);
        if (until == std::chrono::steady_clock::time_point::max())
            m_cv.wait(lock, [this] { return hasWork(); });
        else
            m_cv.wait_until(lock, until, [this] { return hasWork(); });
        m_waiterIdle = false;
    }
}

void PublishSession::run(const std::vector<std::string>& args, StopSignal& stop) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ran = true;
    lock.unlock();
    stop.setWake([this] {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopping = true;
        m_cv.notify_all();
    });
    if (stop.requested()) {
        lock.lock();
        m_stopping = true;
        lock.unlock();
    }

    // A plain reference: the connection set-up releases a run's reference
    // when it fails, and the session retries with the same client.
    client_lib_init();
    WritableArgs argv(args);

    mosq_config record{};
    mosquitto* mosq = nullptr;
    bool ready = false;
    const std::string nul = optionWithNul(args);
    if (!nul.empty()) {
        // Cut at the NUL it would be another credential, host or option.
        printLine("[kro error]publish session not started: the value of " + printable(nul) +
                  " holds a NUL character\n");
    } else if (client_config_load(&record, CLIENT_PUB, argv.argc(), argv.argv()) ||
               client_id_generate(&record)) {
        printLine("[kro error]publish session not started: its options were refused\n");
    } else {
        lock.lock();
        m_qos = record.qos;
        m_retainAll = record.retain;
        m_v5 = record.protocol_version == MQTT_PROTOCOL_V5;
        m_publishProps = record.publish_props;
        m_debugLog = record.debug;
        m_clientId = record.id ? record.id : "";
        if (m_node)
            sparkplugOptions(record);
        std::string error;
        // Checked when the record was loaded.
        if (!broker_list_parse(record.host, client_connect_port(&record), &m_brokers, &error))
            m_brokers = {{record.host ? record.host : "", client_connect_port(&record)}};
        lock.unlock();
        mosquitto_property_copy_all(&m_willProps, record.will_props);
        mosq = makeClient(record, true);
        ready = mosq != nullptr;
    }

    lock.lock();
    if (ready) {
        // Every connect, the first and each after a lost connection, is an
        // attempt of this thread's, one a second until the broker accepts;
        // the library's thread then runs the connection until it is lost.
        const bool quiet = record.quiet;
        auto next = std::chrono::steady_clock::now();
        while (!m_stopping) {
            while (!m_stopping && std::chrono::steady_clock::now() < next) {
                report(lock);
                m_waiterIdle = true;
                // Values posted meanwhile are stored, and the state shown.
                m_cv.wait_until(lock, std::min(next, std::chrono::steady_clock::now() + kDiagEvery),
                                [this] { return hasWork(); });
                m_waiterIdle = false;
            }
            if (m_stopping)
                continue;
            const broker_addr& broker = m_brokers[m_broker];
            if (!connectOnce(lock, mosq, record)) {
                // The next broker at once; the pause once each had its try.
                m_broker = (m_broker + 1) % m_brokers.size();
                if (m_broker == m_roundStart)
                    next = std::chrono::steady_clock::now() + nextDelay();
                continue;
            }
            if (m_brokers.size() > 1) {
                lock.unlock();
                noteBrokerInUse(m_varPrefix, broker_addr_text(broker));
                lock.lock();
            }
            m_connectedAt = std::chrono::steady_clock::now();
            lock.unlock();
            const int rc = mosquitto_loop_start(mosq);
            lock.lock();
            if (rc != MOSQ_ERR_SUCCESS) {
                m_connected = false;
                ++m_generation;
                noteFailure(mosquitto_strerror(rc));
                continue;
            }
            m_threaded = true;
            serve(lock, mosq);
            if (m_stopping)
                break;
            // Lost: the library's thread has ended its loop (onDisconnect).
            lock.unlock();
            mosquitto_loop_stop(mosq, false);
            lock.lock();
            m_threaded = false;
            const auto upFor = std::chrono::steady_clock::now() - m_connectedAt;
            noteTakeover(upFor);
            const bool all = std::exchange(m_takeBackAll, false);
            if ((all && !m_inflightBySeq.empty()) || probeAfterLoss()) {
                lock.unlock();
                mosquitto* fresh = makeClient(record, false);
                lock.lock();
                // The library would send again what it holds, all at once.
                if (fresh) {
                    takeBackInflight();
                    lock.unlock();
                    mosquitto_destroy(mosq);
                    lock.lock();
                    mosq = fresh;
                }
            }
            // A lost broker is tried last.
            m_broker = (m_broker + 1) % m_brokers.size();
            m_roundStart = m_broker;
            if (upFor >= kStableAfter)
                m_delay = std::chrono::milliseconds(0);
            // Another broker of a list is tried at once, unless the lost
            // connection was short-lived (two clients with one id taking the
            // connection from each other): that waits the pause.
            next = std::chrono::steady_clock::now();
            if (m_brokers.size() < 2 || upFor < kMoveOnAfter)
                next += nextDelay();
        }
        record.quiet = quiet;
    }

    // Without a connection (options refused) values are still taken, counted
    // and reported until the stop.
    serve(lock, mosq);
    if (m_threaded) {
        const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
        while (m_connected && waitingLocked() > 0 && std::chrono::steady_clock::now() < deadline) {
            report(lock);
            if (canHand(window())) {
                handOver(lock, mosq);
                continue;
            }
            // Idle for wake(): every acknowledgement may be the last one.
            m_waiterIdle = true;
            m_cv.wait_until(lock, deadline, [this] {
                return !m_connected || waitingLocked() == 0 || canHand(window()) ||
                       !m_lines.empty();
            });
            m_waiterIdle = false;
        }
        sparkplugStop(lock, mosq);
        lock.unlock();
        mosquitto_disconnect_v5(mosq, 0, record.disconnect_props);
        mosquitto_loop_stop(mosq, false);
        lock.lock();
        m_threaded = false;
    }
    // What was posted and what the broker has, on disk before the close.
    persist(lock);
    noteDrops(true);
    if (m_storeDrops.bySize > m_storeDropsReported.bySize)
        m_lines.push_back("[kro error]publish store full: " +
                          count(m_storeDrops.bySize - m_storeDropsReported.bySize, "oldest value",
                                "oldest values") +
                          " dropped\n");
    if (m_storeDrops.byAge > m_storeDropsReported.byAge)
        m_lines.push_back(
            "[kro error]publish store: " +
            count(m_storeDrops.byAge - m_storeDropsReported.byAge, "value", "values") +
            " older than " + std::to_string(m_settings.storeMaxAgeSeconds) + " s dropped\n");
    m_storeDropsReported = m_storeDrops;
    const size_t unsent = waitingLocked();
    if (unsent)
        m_lines.push_back("[kro error]publish session closed: " + count(unsent, "value", "values") +
                          " unsent" +
                          (m_store ? ", kept in the store for the next start\n" : "\n"));
    else if (m_setAside)
        m_lines.push_back(
            "[kro error]publish session closed: " + count(m_setAside, "value", "values") +
            " set aside, every other value sent\n");
    else
        m_lines.push_back("[kro info]publish session closed: every value sent\n");
    report(lock);
    writeDiagnostics(lock, true);
    lock.unlock();

    stop.setWake(nullptr);
    if (mosq)
        mosquitto_destroy(mosq);
    mosquitto_property_free_all(&m_willProps);
    client_config_cleanup(&record);
    client_lib_cleanup();
}
