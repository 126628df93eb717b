// The publish session's connection: each connect attempt, the pause before
// the next, the library's reasons for a failure, and the search for a value
// the broker closes the connection on.

#include <algorithm>
#include <cerrno>

#include <mqtt_protocol.h>

#include "client/client_connect.h"
#include "client/client_shared.h"
#include "client/pub_shared.h"
#include "platform/socket.h"
#include "publish/publish_session.h"
#include "text/lines.h"

namespace {

// How long a connect attempt may wait for the broker's answer (CONNACK) before
// it is given up, and one pass of the library's loop while it waits.
constexpr std::chrono::seconds kConnectBound{10};
constexpr int kConnectPassMs = 100;
// A value alone in flight at this many closes in a row is set aside.
constexpr int kClosesToSetAside = 3;
// Connections closed this soon after their CONNACK, this many times in a row,
// are taken as another client with the same id (a v3 broker says nothing).
constexpr std::chrono::seconds kShortlived{1};
constexpr int kShortClosesToTell = 3;

} // namespace

void PublishSession::onLog(mosquitto* mosq, void* obj, int level, const char* str) {
    auto* self = static_cast<PublishSession*>(obj);
    if (self->m_debugLog)
        pub::my_log_callback(mosq, obj, level, str);
    if (level != MOSQ_LOG_ERR || !str)
        return;
    // The TLS layer's reasons come only this way ("OpenSSL Error[0]: ...").
    std::lock_guard<std::mutex> lock(self->m_mutex);
    if (!self->m_attempting)
        return;
    if (!self->m_attemptLog.empty())
        self->m_attemptLog += "; ";
    self->m_attemptLog += str;
}

void PublishSession::noteFailure(const std::string& reason) {
    // Attempts follow every second, and one fault may show in more than one
    // way (a broker's TLS alert read, or lost to the reset that follows it):
    // each reason is told once until the broker answers.
    if (std::find(m_failures.begin(), m_failures.end(), reason) != m_failures.end())
        return;
    m_failures.push_back(reason);
    m_refused = 0;
    m_lines.push_back("[kro error]publish connection failed: " + reason + "\n");
}

std::chrono::milliseconds reconnectPause(std::chrono::milliseconds previous,
                                         std::chrono::seconds most) {
    const std::chrono::milliseconds cap = std::max(most, std::chrono::seconds(1));
    return previous.count() == 0 ? std::chrono::milliseconds(1000) : std::min(cap, previous * 2);
}

void PublishSession::noteTakeover(std::chrono::steady_clock::duration upFor) {
    const bool said = m_v5 && m_lossReason == MQTT_RC_SESSION_TAKEN_OVER;
    m_shortCloses = upFor < kShortlived ? m_shortCloses + 1 : 0;
    if (!said && m_shortCloses == 0) {
        m_takeoverTold = false;
        return;
    }
    if (m_takeoverTold || (!said && m_shortCloses < kShortClosesToTell))
        return;
    m_takeoverTold = true;
    m_lines.push_back("[kro error]publish connection taken over: another client uses client id " +
                      printable(m_clientId) +
                      (said ? "\n"
                            : " (likely: the broker closed the connection within 1 s of accepting "
                              "it " +
                                  std::to_string(kShortClosesToTell) + " times in a row)\n"));
}

std::chrono::milliseconds PublishSession::nextDelay() {
    m_delay = reconnectPause(m_delay, std::chrono::seconds(std::min<uint64_t>(
                                          m_settings.reconnectMaxSeconds, INT32_MAX)));
    // Hosts restarted together do not reconnect in step.
    std::uniform_real_distribution<double> vary(0.8, 1.2);
    return std::chrono::milliseconds(
        static_cast<int64_t>(static_cast<double>(m_delay.count()) * vary(m_random)));
}

bool PublishSession::connectOnce(std::unique_lock<std::mutex>& lock, mosquitto* mosq,
                                 mosq_config& record) {
    m_attempting = true;
    m_answered = false;
    m_attemptLog.clear();
    const auto deadline = std::chrono::steady_clock::now() + kConnectBound;
    lock.unlock();
    mosquitto_log_callback_set(mosq, onLog);
    // Packets wait for the loop below, which reads before it writes: a TLS
    // alert from the broker is read, not lost to a write into the connection
    // the broker has closed.
    mosquitto_threaded_set(mosq, true);
    if (m_node) {
        lock.lock();
        sparkplugConnecting(mosq);
        lock.unlock();
    }
    int rc = client_connect_start_to(mosq, &record, m_brokers[m_broker]);
    int err = errno;
    lock.lock();
    // The TCP connect, then the handshake and the CONNACK, are waited for
    // here in short passes, so that the bound and a stop are seen whatever
    // the network does.
    bool tcpUp = false;
    bool unanswered = false;
    while (rc == MOSQ_ERR_SUCCESS && !m_answered && !m_stopping) {
        if (std::chrono::steady_clock::now() >= deadline) {
            unanswered = true;
            break;
        }
        report(lock);
        lock.unlock();
        if (tcpUp) {
            rc = mosquitto_loop(mosq, kConnectPassMs, 1);
            err = errno;
        } else {
            const int sock = mosquitto_socket(mosq);
            const int ready = sock < 0 ? 1 : sys_wait_connected(sock, kConnectPassMs);
            err = errno;
            // Reset once connected: what the broker sent before, a TLS alert
            // say, is still there for the library to read, and says more.
            tcpUp = ready > 0 || (ready < 0 && err == ECONNRESET);
            if (ready < 0 && !tcpUp)
                rc = client_connect_failed(&record);
        }
        lock.lock();
    }
    m_attempting = false;
    lock.unlock();
    mosquitto_threaded_set(mosq, false);
    mosquitto_log_callback_set(mosq, m_debugLog ? pub::my_log_callback : nullptr);
    lock.lock();
    // The connect's own message goes to standard error for the first attempt
    // only; later ones say why on their line alone.
    record.quiet = true;
    // Answered: connected, or refused with a line of its own (or lost at
    // once, which says so). Stopped: no failure seen.
    if (m_connected || m_answered || (rc == MOSQ_ERR_SUCCESS && !unanswered))
        return m_connected;
    if (unanswered) {
        noteFailure("no answer from the broker within " + std::to_string(kConnectBound.count()) +
                    " s");
    } else if (!m_attemptLog.empty()) {
        noteFailure(m_attemptLog);
    } else {
        errno = err;
        noteFailure(mosquitto_strerror(rc));
    }
    return false;
}

mosquitto* PublishSession::makeClient(mosq_config& record, bool first) {
    const std::string fault =
        first ? "[kro error]publish session not started: " : "[kro error]publish session: ";
    mosquitto* mosq = mosquitto_new(record.id, record.clean_session, this);
    if (!mosq) {
        printLine(fault + "no client\n");
        return nullptr;
    }
    if (m_debugLog)
        mosquitto_log_callback_set(mosq, pub::my_log_callback);
    mosquitto_connect_v5_callback_set(mosq, onConnect);
    mosquitto_disconnect_v5_callback_set(mosq, onDisconnect);
    mosquitto_publish_v5_callback_set(mosq, onPublish);
    if (m_node) {
        mosquitto_message_v5_callback_set(mosq, onMessage);
        mosquitto_subscribe_v5_callback_set(mosq, onSubscribe);
    }
    if (!record.will_props)
        mosquitto_property_copy_all(&record.will_props, m_willProps);
    if (client_opts_set(mosq, &record)) {
        printLine(fault + "its options were refused\n");
        mosquitto_destroy(mosq);
        return nullptr;
    }
    return mosq;
}

bool PublishSession::lossSaysNothingOfValues() const {
    if (!m_v5)
        return false;
    switch (m_lossReason) {
    case MQTT_RC_SESSION_TAKEN_OVER:
    case MQTT_RC_RECEIVE_MAXIMUM_EXCEEDED:
    case MQTT_RC_MESSAGE_RATE_TOO_HIGH:
    case MQTT_RC_QUOTA_EXCEEDED:
        return true;
    default:
        return false;
    }
}

bool PublishSession::probeAfterLoss() {
    // A close the broker gave another reason for says nothing of the values.
    if (m_qos == 0 || m_inflightBySeq.empty() || lossSaysNothingOfValues())
        return false;
    if (m_probing && m_inflightBySeq.size() == 1) {
        const Entry entry = m_inflightBySeq.begin()->second;
        m_probeCloses = entry->seq == m_probeSeq ? m_probeCloses + 1 : 1;
        m_probeSeq = entry->seq;
        if (m_probeCloses < kClosesToSetAside)
            return true;
        // Found: the values behind it go at the full pace again.
        m_probing = false;
        m_inflightBySeq.clear();
        m_byMid.clear();
        m_inflight -= std::min<size_t>(m_inflight, 1);
        ++m_setAside;
        if (entry->storeId > 0)
            m_doneIds.push_back(entry->storeId);
        m_lines.push_back("[kro error]publish set aside: the broker closed the connection on it " +
                          std::to_string(kClosesToSetAside) + " times: " + printable(entry->topic) +
                          "\n");
        return true;
    }
    // A close that let no acknowledgement through may be an answer to any of
    // the values in flight, the oldest only included.
    if (!m_probing && !m_ackedOnConnection) {
        m_probing = true;
        const Value& last = *m_inflightBySeq.rbegin()->second;
        m_probeUntil = last.members.empty() ? last.seq : last.members.back()->seq;
    }
    return m_probing;
}

void PublishSession::takeBackInflight() {
    std::vector<Entry> messages;
    for (const auto& [seq, entry] : m_inflightBySeq) {
        messages.push_back(entry);
        released(entry);
    }
    const std::vector<Entry> values = unbatched(messages);
    m_buffer.insert(m_buffer.begin(), values.begin(), values.end());
    m_inflight -= std::min(m_inflight, messages.size());
    m_inflightBySeq.clear();
    m_byMid.clear();
    m_earlyAcks.clear();
    dropOverflow();
}
