// The publish session's batches ("PubBatch"): the values at the front of the
// buffer that share a topic (or all, with "PubBatchTopic") go out in one
// message, made when it is handed over; its values stay values everywhere
// else (the buffer, the store, the counts).

#include <algorithm>

#include "publish/publish_session.h"
#include "publish/publish_session_parts.h"

using namespace publish_parts;

namespace {

size_t valuesOf(const PublishSession::Value& v) {
    return v.members.empty() ? 1 : v.members.size();
}

} // namespace

size_t PublishSession::valueLimit() const {
    if (!m_settings.batch.on())
        return static_cast<size_t>(m_settings.maxBytes);
    const size_t limit = m_settings.batch.limit(m_brokerMaxPacket, m_settings.maxBytes);
    return m_batchCap ? std::min(limit, m_batchCap) : limit;
}

bool PublishSession::batchHeld(std::chrono::steady_clock::time_point now) const {
    return m_settings.batch.on() && !m_probing && !m_stopping && now < m_batchHoldUntil &&
           m_buffer.size() < m_batchHoldSize;
}

void PublishSession::released(const Entry& entry) {
    m_batchExtra -= std::min(m_batchExtra, valuesOf(*entry) - 1);
}

std::vector<PublishSession::Entry> PublishSession::unbatched(const std::vector<Entry>& entries) {
    std::vector<Entry> values;
    values.reserve(entries.size());
    for (const Entry& e : entries) {
        if (e->control)
            continue;
        if (e->members.empty())
            values.push_back(e);
        else
            values.insert(values.end(), e->members.begin(), e->members.end());
    }
    return values;
}

PublishSession::Entry PublishSession::takeBatch(std::chrono::steady_clock::time_point now,
                                                size_t* bytes) {
    const BatchSettings& batch = m_settings.batch;
    const Value& front = *m_buffer.front();
    const std::string& topic = batch.topic.empty() ? front.topic : batch.topic;
    const bool retain = front.retain;
    const auto sameBatch = [&](const Value& v) {
        return v.retain == retain && (!batch.topic.empty() || v.topic == front.topic);
    };
    // Values of other topics in between are passed over, within a bound:
    // a batch never waits on a long scan.
    const size_t scan = std::min(m_buffer.size(), std::max<size_t>(batch.most * 4, 1024));
    const size_t limit = valueLimit();
    std::vector<size_t> picked;
    size_t elementBytes = 0;
    bool full = false;
    for (size_t i = 0; i < scan && picked.size() < batch.most; ++i) {
        const Value& v = *m_buffer[i];
        if (!sameBatch(v))
            continue;
        if (batchPayloadBytes(batch, elementBytes + v.payload.size(), picked.size() + 1) > limit) {
            full = true;
            break;
        }
        elementBytes += v.payload.size();
        picked.push_back(i);
    }
    full = full || picked.size() == batch.most;
    const int64_t waitedMs = wallMs() - front.postedMs;
    if (!full && !m_stopping && scan == m_buffer.size() && waitedMs < batch.wait.count()) {
        // Looked at again at the time bound, or once a batch's worth more came.
        m_batchHoldUntil =
            now + (batch.wait - std::chrono::milliseconds(std::max<int64_t>(waitedMs, 0)));
        m_batchHoldSize = m_buffer.size() + batch.most - picked.size();
        return nullptr;
    }
    *bytes = topic.size() + batchPayloadBytes(batch, elementBytes, picked.size());
    if (m_flow.readyAt(now, *bytes) > now) {
        // The pace is asked again for at least this much, not for the front
        // value alone: no pass of the publish thread until it can go.
        m_batchPaceBytes = *bytes;
        return nullptr;
    }
    m_batchPaceBytes = 0;

    auto message = std::make_shared<Value>();
    message->topic = topic;
    message->retain = retain;
    message->postedMs = front.postedMs;
    message->seq = front.seq;
    message->members.reserve(picked.size());
    std::vector<std::string_view> elements;
    elements.reserve(picked.size());
    for (const size_t i : picked) {
        message->members.push_back(m_buffer[i]);
        elements.push_back(m_buffer[i]->payload);
    }
    // A node's DDATA is made when it is handed over.
    if (!m_node)
        message->payload = batchPayload(batch, elements, wallMs());
    // Out of the buffer: the values passed over keep their places.
    if (picked.back() + 1 == picked.size()) {
        m_buffer.erase(m_buffer.begin(),
                       m_buffer.begin() + static_cast<std::ptrdiff_t>(picked.size()));
    } else {
        std::vector<Entry> rest;
        rest.reserve(picked.back() + 1 - picked.size());
        for (size_t i = 0, p = 0; i <= picked.back(); ++i) {
            if (p < picked.size() && picked[p] == i)
                ++p;
            else
                rest.push_back(m_buffer[i]);
        }
        m_buffer.erase(m_buffer.begin(),
                       m_buffer.begin() + static_cast<std::ptrdiff_t>(picked.back() + 1));
        m_buffer.insert(m_buffer.begin(), rest.begin(), rest.end());
    }
    m_batchExtra += picked.size() - 1;
    m_batchHoldUntil = {};
    return message;
}
