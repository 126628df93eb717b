// The publish session as a Sparkplug B edge node: the will and the command
// subscriptions of each connection, births before any value, values as DDATA
// by alias, and the deaths at the stop. The node's messages are made by
// SparkplugNode; this side only sends them in their place.

#include <algorithm>
#include <cstdlib>

#include <mqtt_protocol.h>

#include "client/client_shared.h"
#include "drivers/driver_run.h"
#include "publish/publish_session.h"
#include "publish/publish_session_parts.h"
#include "text/lines.h"

using namespace publish_parts;
using namespace std::chrono_literals;

namespace {

// A birth or death as the session hands it over.
std::shared_ptr<PublishSession::Value> controlEntry(const SparkplugNode::Message& m) {
    auto e = std::make_shared<PublishSession::Value>();
    e->topic = m.topic;
    e->payload = m.payload;
    e->retain = m.retain;
    e->qos = m.qos;
    e->control = true;
    return e;
}

// How long a node that leaves its connection waits for its deaths to be
// written and acknowledged.
constexpr std::chrono::seconds kDeathsGrace{1};

} // namespace

void PublishSession::setSparkplug(const SparkplugSettings& settings, SparkplugHooks hooks) {
    std::vector<SparkplugNode::Variable> variables;
    if (hooks.variables)
        variables = hooks.variables();
    // Kept beside the store: a restart with the store goes on counting.
    const std::string bdSeqPath = m_settings.store.empty() ? "" : m_settings.store + ".bdseq";
    auto node = std::make_unique<SparkplugNode>(settings, std::move(variables), bdSeqPath);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_node = std::move(node);
    m_spHooks = std::move(hooks);
    // Every address of the device goes in the one DDATA topic.
    if (m_settings.batch.on())
        m_settings.batch.topic = m_node->ddataTopic();
}

void PublishSession::onMessage(mosquitto*, void* obj, const mosquitto_message* msg,
                               const mosquitto_property*) {
    auto* self = static_cast<PublishSession*>(obj);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    if (!self->m_node || !msg->topic)
        return;
    const std::string_view payload(static_cast<const char*>(msg->payload),
                                   static_cast<size_t>(std::max(msg->payloadlen, 0)));
    for (SparkplugNode::Action& action : self->m_node->receive(msg->topic, payload))
        self->m_spActions.push_back(std::move(action));
    self->wake();
}

void PublishSession::onSubscribe(mosquitto*, void* obj, int, int count, const int* granted,
                                 const mosquitto_property*) {
    auto* self = static_cast<PublishSession*>(obj);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    bool denied = false;
    for (int i = 0; i < count; ++i)
        denied |= granted[i] >= 128;
    if (denied)
        self->m_lines.push_back("[kro error]Sparkplug: the broker refused the node's command "
                                "subscriptions\n");
    self->m_spSubState = denied ? kSubscriptionDenied : 0;
    self->wake();
}

void PublishSession::sparkplugConnecting(mosquitto* mosq) {
    const SparkplugNode::Message will = m_node->connecting(wallMs());
    m_spActions.clear();
    m_spRebirth = m_spLeaving = false;
    m_spSubState = 101;
    mosquitto_will_set_v5(mosq, will.topic.c_str(), static_cast<int>(will.payload.size()),
                          will.payload.data(), will.qos, will.retain, nullptr);
}

bool PublishSession::sparkplugDue() const {
    if (!m_node)
        return false;
    if (m_spSubState != m_spSubStateShown)
        return true;
    return m_connected && m_threaded && !m_spLeaving &&
           (m_spSubscribed != m_generation || !m_spActions.empty() || m_spRebirth ||
            m_node->birthsDue());
}

void PublishSession::sendControls(std::unique_lock<std::mutex>& lock, mosquitto* mosq,
                                  const std::vector<SparkplugNode::Message>& messages) {
    std::vector<Entry> entries;
    for (const SparkplugNode::Message& m : messages)
        entries.push_back(controlEntry(m));
    // Written in order with the values: their place in m_handed0 tells
    // their write from a value's.
    m_handed0.insert(m_handed0.end(), entries.begin(), entries.end());
    m_controls += entries.size();
    const uint64_t generation = m_generation;
    lock.unlock();
    for (const Entry& e : entries) {
        const int rc = mosquitto_publish_v5(mosq, nullptr, e->topic.c_str(),
                                            static_cast<int>(e->payload.size()), e->payload.data(),
                                            e->qos, e->retain, nullptr);
        if (rc == MOSQ_ERR_SUCCESS)
            continue;
        std::lock_guard<std::mutex> relock(m_mutex);
        controlFailed(e, generation, rc);
    }
    lock.lock();
}

void PublishSession::controlFailed(const Entry& entry, uint64_t generation, int rc) {
    // After a lost connection it is out of m_handed0 already.
    auto it = std::find(m_handed0.begin(), m_handed0.end(), entry);
    if (generation == m_generation && it != m_handed0.end()) {
        m_handed0.erase(it);
        --m_controls;
    }
    m_lines.push_back("[kro error]publish failed: " + std::string(mosquitto_strerror(rc)) + ": " +
                      printable(entry->topic) + "\n");
}

void PublishSession::showSubState(std::unique_lock<std::mutex>& lock) {
    if (!m_node || m_spSubState == m_spSubStateShown)
        return;
    const int state = m_spSubStateShown = m_spSubState;
    if (m_spHooks.subState) {
        lock.unlock();
        m_spHooks.subState(state);
        lock.lock();
    }
}

void PublishSession::sparkplugTurn(std::unique_lock<std::mutex>& lock, mosquitto* mosq) {
    if (!m_node || !m_connected || !m_threaded || m_spLeaving)
        return;
    if (m_spSubscribed != m_generation) {
        // Before the births: a host may command the node as soon as it sees them.
        m_spSubscribed = m_generation;
        const std::vector<std::string> filters = m_node->subscriptions();
        std::vector<char*> list;
        for (const std::string& f : filters)
            list.push_back(const_cast<char*>(f.c_str()));
        lock.unlock();
        mosquitto_subscribe_multiple(mosq, nullptr, static_cast<int>(list.size()), list.data(), 1,
                                     0, nullptr);
        lock.lock();
    }
    std::vector<SparkplugNode::Action> actions;
    actions.swap(m_spActions);
    for (const SparkplugNode::Action& action : actions) {
        switch (action.kind) {
        case SparkplugNode::Action::Kind::Write:
            if (m_spHooks.write) {
                lock.unlock();
                m_spHooks.write(action.address, action.text);
                lock.lock();
            }
            break;
        case SparkplugNode::Action::Kind::Births:
            m_spRebirth = true;
            break;
        case SparkplugNode::Action::Kind::Reconnect:
            // The host is gone: the node says it is dead and looks for it
            // again, on the next broker of a list.
            m_spLeaving = true;
            sendControls(lock, mosq, {m_node->ndeath(wallMs())});
            // Acknowledged first: the library would send it again on the
            // next connection, whose bdSeq is another.
            awaitControls(lock);
            lock.unlock();
            mosquitto_disconnect_v5(mosq, 0, nullptr);
            lock.lock();
            return;
        }
    }
    if (!m_connected || !(m_spRebirth || m_node->birthsDue()))
        return;
    m_spRebirth = false;
    if (m_spHooks.variables) {
        lock.unlock();
        const std::vector<SparkplugNode::Variable> variables = m_spHooks.variables();
        lock.lock();
        m_node->setVariables(variables);
    }
    const int64_t now = wallMs();
    const std::vector<SparkplugNode::Message> births = m_node->births(now);
    m_spBornSeq = m_seq;
    m_spBornMs = now;
    sendControls(lock, mosq, births);
}

void PublishSession::sparkplugRender(std::vector<Entry>& messages) {
    std::vector<Entry> out;
    out.reserve(messages.size());
    const int64_t now = wallMs();
    for (const Entry& message : messages) {
        std::vector<Entry> values =
            message->members.empty() ? std::vector<Entry>{message} : message->members;
        std::vector<SparkplugNode::Value> metrics;
        metrics.reserve(values.size());
        for (const Entry& v : values)
            metrics.push_back({v->topic, v->payload, v->postedMs,
                               v->seq <= m_spBornSeq || v->postedMs < m_spBornMs});
        SparkplugNode::Data data = m_node->data(metrics, now);
        if (data.dbirth) {
            out.push_back(controlEntry(*data.dbirth));
            ++m_controls;
        }
        // The values stay the message's members: acknowledged, stored and
        // put back as they are.
        auto ddata = std::make_shared<Value>();
        ddata->topic = std::move(data.ddata.topic);
        ddata->payload = std::move(data.ddata.payload);
        ddata->postedMs = message->postedMs;
        ddata->seq = message->seq;
        ddata->members = std::move(values);
        out.push_back(std::move(ddata));
    }
    messages.swap(out);
}

void PublishSession::sparkplugStop(std::unique_lock<std::mutex>& lock, mosquitto* mosq) {
    if (!m_node || !m_connected || m_spLeaving)
        return;
    std::vector<SparkplugNode::Message> deaths;
    const int64_t now = wallMs();
    if (m_node->born())
        deaths.push_back(m_node->ddeath(now));
    deaths.push_back(m_node->ndeath(now));
    sendControls(lock, mosq, deaths);
    awaitControls(lock);
}

void PublishSession::awaitControls(std::unique_lock<std::mutex>& lock) {
    const auto deadline = std::chrono::steady_clock::now() + kDeathsGrace;
    while (m_connected && m_controls > 0 && std::chrono::steady_clock::now() < deadline) {
        // Woken by every write and acknowledgement, stopping or not.
        m_waiterIdle = true;
        m_cv.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + 10ms),
                        [this] { return !m_connected || m_controls == 0; });
        m_waiterIdle = false;
    }
}

void PublishSession::sparkplugOptions(mosq_config& record) {
    // The node's connection is Sparkplug's: clean, its NDEATH the will, data
    // at QoS 0 and never retained.
    const bool given = record.qos != 0 || record.retain || !record.clean_session ||
                       record.session_expiry_interval > 0 || record.will_topic;
    m_qos = 0;
    m_retainAll = false;
    record.clean_session = true;
    if (record.session_expiry_interval > 0)
        mosquitto_property_free_all(&record.connect_props);
    record.session_expiry_interval = 0;
    std::free(record.will_topic);
    record.will_topic = nullptr;
    if (given)
        m_lines.push_back("[kro error]Sparkplug sets the connection itself (a clean session, the "
                          "NDEATH as its will, data at QoS 0, not retained): the options \"-q\", "
                          "\"-r\", \"-c\", \"-x\" and \"--will-*\" are not used\n");
}
