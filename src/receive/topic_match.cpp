#include "receive/topic_match.h"

#include <algorithm>

using kro::util::StringUtil;

bool UnmatchedTopics::note(const std::string& topic) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_count;
    if (m_reported.size() >= kMaxReported)
        return false;
    return m_reported.insert(topic).second;
}

uint64_t UnmatchedTopics::takeCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint64_t count = m_count;
    m_count = 0;
    return count;
}

TopicMatcher::TopicMatcher(kro::IDevice* device, std::shared_ptr<UnmatchedTopics> unmatched,
                           bool everyMessage, std::shared_ptr<UnmatchedTopics> misses)
    : m_everyMessage(everyMessage), m_unmatched(std::move(unmatched)), m_misses(std::move(misses)) {
    if (!device)
        return;
    for (kro::IDvcVariable* var : device->getVarList()) {
        const std::string type = var->getAddrType();
        if (type != "SubVariable" && type != "SubTopic")
            continue;
        Target target{var, type == "SubTopic", {}, {}};
        StringUtil::split(var->getAddr(), "|", target.filters);
        const auto index = static_cast<uint32_t>(m_targets.size());
        if (target.filters.empty()) {
            m_everyTopic.push_back(static_cast<uint32_t>(m_routes.size()));
            m_routes.push_back(Route{index, kNoFilter});
        }
        for (std::string& filter : target.filters) {
            std::optional<JsonPointer> pointer;
            bool usable = true;
            if (!target.takesTopic) {
                FilterLocation split = splitLocation(filter);
                if (split.hasPointer) {
                    pointer = JsonPointer::parse(split.pointer);
                    usable = pointer.has_value();
                    m_hasPointers = true;
                }
                filter = std::move(split.filter);
            }
            const auto route = static_cast<uint32_t>(m_routes.size());
            if (usable) {
                m_routes.push_back(Route{index, static_cast<uint32_t>(target.pointers.size())});
                if (everyMessage)
                    m_everyTopic.push_back(route);
                else
                    m_tree.add(filter, route);
            }
            target.pointers.push_back(std::move(pointer));
        }
        m_targets.push_back(std::move(target));
    }
}

std::vector<TopicMatcher::Route> TopicMatcher::routes(const std::string& topic) const {
    std::vector<uint32_t> ids = m_everyTopic;
    if (!m_everyMessage)
        m_tree.match(topic, ids);
    // Route ids run in device order, and each variable's in address order.
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::vector<Route> routes;
    routes.reserve(ids.size());
    for (const uint32_t id : ids)
        routes.push_back(m_routes[id]);
    return routes;
}

std::vector<uint32_t> TopicMatcher::reached(const std::string& topic) const {
    std::vector<uint32_t> indices;
    // Written once however many of a variable's filters match.
    for (const Route& route : routes(topic))
        if (indices.empty() || indices.back() != route.target)
            indices.push_back(route.target);
    return indices;
}

namespace {

std::mutex g_mutex;
std::vector<std::pair<kro::IDevice*, std::shared_ptr<const TopicMatcher>>> g_entries;

} // namespace

std::atomic<int> TopicMatchers::s_registered{0};

TopicMatchers::Registration::Registration(kro::IDevice* device,
                                          std::shared_ptr<const TopicMatcher> matcher)
    : m_device(device), m_matcher(matcher.get()) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_entries.emplace_back(device, std::move(matcher));
    s_registered.fetch_add(1, std::memory_order_release);
}

TopicMatchers::Registration::~Registration() {
    std::lock_guard<std::mutex> lock(g_mutex);
    // Only this registration's entry: another driver's run for the same
    // device keeps its own.
    auto it = std::find_if(g_entries.begin(), g_entries.end(), [this](const auto& entry) {
        return entry.first == m_device && entry.second.get() == m_matcher;
    });
    if (it != g_entries.end())
        g_entries.erase(it);
    s_registered.fetch_sub(1, std::memory_order_release);
}

std::shared_ptr<const TopicMatcher> TopicMatchers::find(kro::IDevice* device) {
    if (s_registered.load(std::memory_order_acquire) == 0)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const auto& entry : g_entries)
        if (entry.first == device)
            return entry.second;
    return nullptr;
}
