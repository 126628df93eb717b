// The library's callbacks on the publish connection and what the session
// does with the broker's answers: acknowledgements, refusals, values taken
// back or set aside.
#include "publish/publish_session.h"

#include <algorithm>

#include <mqtt_protocol.h>

#include "publish/publish_session_parts.h"
#include "text/lines.h"

using namespace publish_parts;

void PublishSession::onConnect(mosquitto*, void* obj, int rc, int,
                               const mosquitto_property* props) {
    auto* self = static_cast<PublishSession*>(obj);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_answered = true;
    if (rc == 0) {
        // What an MQTT v5 broker takes: the window and the largest packet.
        uint16_t receiveMaximum = 0;
        uint32_t maxPacket = 0;
        mosquitto_property_read_int16(props, MQTT_PROP_RECEIVE_MAXIMUM, &receiveMaximum, false);
        mosquitto_property_read_int32(props, MQTT_PROP_MAXIMUM_PACKET_SIZE, &maxPacket, false);
        self->m_brokerMaxPacket = maxPacket;
        self->m_batchCap = self->m_batchPaceBytes = 0;
        self->m_flow.connected(std::chrono::steady_clock::now(),
                               self->m_settings.inflight ? receiveMaximum : 0);
        self->m_connected = true;
        ++self->m_generation;
        self->m_refused = 0;
        self->m_ackedOnConnection = false;
        self->m_failures.clear();
        if (self->m_lost)
            self->m_lines.push_back("[kro info]publish connection restored\n");
        self->m_lost = false;
    } else if (rc != self->m_refused) {
        // The session tries again every second: one line per cause.
        self->m_refused = rc;
        self->m_failures.clear();
        self->m_lines.push_back(
            std::string("[kro error]publish connection refused: ") +
            (self->m_v5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc)) + "\n");
    }
    self->wake();
}

void PublishSession::onDisconnect(mosquitto* mosq, void* obj, int rc, const mosquitto_property*) {
    auto* self = static_cast<PublishSession*>(obj);
    // The session makes every connect itself, bounded and reported: the
    // library's thread ends instead of reconnecting (the socket is closed
    // already, so nothing is sent).
    mosquitto_disconnect_v5(mosq, 0, nullptr);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    if (!self->m_connected)
        return;
    self->m_connected = false;
    ++self->m_generation;
    // The library drops QoS 0 messages it has not written; they are sent again
    // from the buffer, ahead of everything posted after them.
    const std::vector<Entry> handed0(self->m_handed0.begin(), self->m_handed0.end());
    for (const Entry& e : handed0)
        self->released(e);
    const std::vector<Entry> values = unbatched(handed0);
    self->m_buffer.insert(self->m_buffer.begin(), values.begin(), values.end());
    self->m_handed0.clear();
    self->m_controls = 0;
    if (self->m_node)
        self->m_spSubState = 101;
    self->dropOverflow();
    self->m_lossReason = rc;
    // Under a pace the library must not send its whole queue again at once.
    if (self->m_flow.disconnected(std::chrono::steady_clock::now(), self->m_v5 ? rc : 0) ||
        self->m_settings.paced())
        self->m_takeBackAll = true;
    if (rc != 0) {
        self->m_lost = true;
        self->m_lines.push_back("[kro error]publish connection lost: " +
                                count(self->waitingLocked(), "value", "values") + " waiting\n");
    }
    self->wake();
}

void PublishSession::onPublish(mosquitto*, void* obj, int mid, int reason,
                               const mosquitto_property*) {
    auto* self = static_cast<PublishSession*>(obj);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    // QoS 0 messages are written in the order they were handed over.
    if (self->m_qos == 0) {
        if (!self->m_handed0.empty()) {
            const Entry entry = self->m_handed0.front();
            self->m_handed0.pop_front();
            if (entry->control) {
                --self->m_controls;
                self->wake();
                return;
            }
            self->released(entry);
            self->m_flow.acknowledged(std::chrono::steady_clock::now(), entry->seq);
            self->completed(entry, reason);
        }
    } else {
        self->m_ackedOnConnection = true;
        if (self->m_inflight > 0)
            --self->m_inflight;
        auto it = self->m_byMid.find(mid);
        if (it == self->m_byMid.end()) {
            self->m_earlyAcks[mid] = reason;
        } else {
            const Entry entry = it->second;
            self->m_byMid.erase(it);
            self->m_inflightBySeq.erase(entry->seq);
            self->released(entry);
            self->answered(entry, reason);
        }
    }
    self->wake();
}

void PublishSession::completed(const Entry& entry, int reason) {
    if (!entry->members.empty()) {
        for (const Entry& value : entry->members)
            completed(value, reason);
        return;
    }
    if (entry->storeId > 0)
        m_doneIds.push_back(entry->storeId);
    if (m_probing && m_inflightBySeq.empty() &&
        (m_buffer.empty() || m_buffer.front()->seq > m_probeUntil))
        m_probing = false;
    if (reason <= 127)
        return;
    // Set aside: sending it again would be refused again, and would hold up
    // the values behind it.
    ++m_setAside;
    if (m_setAsideTold.size() < 1000 && m_setAsideTold.emplace(entry->topic, reason).second)
        m_lines.push_back(std::string("[kro error]publish refused by the broker: ") +
                          mosquitto_reason_string(reason) + ": " + printable(entry->topic) +
                          "; the value is set aside\n");
}

void PublishSession::answered(const Entry& entry, int reason) {
    const auto now = std::chrono::steady_clock::now();
    if (reason < 128 || !m_v5) {
        m_refusals.erase(entry->seq);
        m_stallTold = false;
        m_flow.acknowledged(now, entry->seq);
        completed(entry, reason);
        return;
    }
    auto& [last, times] = m_refusals[entry->seq];
    times = last == reason ? times + 1 : 1;
    last = reason;
    if (m_flow.refused(now, entry->seq, reason, times) == PublishFlow::Verdict::Retry) {
        putBack(entry);
        return;
    }
    m_refusals.erase(entry->seq);
    completed(entry, reason);
}

void PublishSession::putBack(const Entry& entry) {
    if (!entry->members.empty()) {
        for (auto it = entry->members.rbegin(); it != entry->members.rend(); ++it)
            putBack(*it);
        return;
    }
    // Refusals come for the oldest values in flight: their place is near the
    // front.
    auto at = std::find_if(m_buffer.begin(), m_buffer.end(),
                           [&](const Entry& e) { return e->seq > entry->seq; });
    m_buffer.insert(at, entry);
    dropOverflow();
}

void PublishSession::setAsideOversize(const Entry& entry, uint64_t limit) {
    for (const Entry& value : unbatched({entry})) {
        ++m_setAside;
        if (value->storeId > 0)
            m_doneIds.push_back(value->storeId);
    }
    m_lines.push_back("[kro error]publish set aside: " + std::to_string(entry->payload.size()) +
                      " bytes, more than the broker takes (" + std::to_string(limit) +
                      "): " + printable(entry->topic) + "\n");
}

void PublishSession::takeBack(const std::vector<Entry>& batch, size_t from, uint64_t generation) {
    const size_t n = batch.size() - from;
    if (m_qos == 0) {
        // A lost connection has put them back already.
        if (generation != m_generation)
            return;
        const auto from0 = m_handed0.end() - static_cast<std::ptrdiff_t>(n);
        m_controls -= static_cast<size_t>(
            std::count_if(from0, m_handed0.end(), [](const Entry& e) { return e->control; }));
        m_handed0.erase(from0, m_handed0.end());
    } else {
        m_inflight -= std::min(m_inflight, n);
    }
    const std::vector<Entry> rest(batch.begin() + static_cast<std::ptrdiff_t>(from), batch.end());
    for (const Entry& e : rest)
        released(e);
    const std::vector<Entry> values = unbatched(rest);
    m_buffer.insert(m_buffer.begin(), values.begin(), values.end());
    dropOverflow();
}
