#include "receive/topic_tree.h"

#include <mosquitto.h>

namespace {

constexpr std::string_view kShare = "$share/";

} // namespace

std::string_view matchedFilter(std::string_view filter) {
    // The library reads C strings: a NUL would cut the filter short.
    if (filter.empty() || filter.find('\0') != std::string_view::npos)
        return {};
    const std::string text(filter);
    if (mosquitto_validate_utf8(text.c_str(), static_cast<int>(text.size())) != MOSQ_ERR_SUCCESS ||
        mosquitto_sub_topic_check(text.c_str()) != MOSQ_ERR_SUCCESS)
        return {};
    if (filter.substr(0, kShare.size()) != kShare)
        return filter;
    const std::string_view rest = filter.substr(kShare.size());
    const size_t slash = rest.find('/');
    if (slash == 0 || slash == std::string_view::npos ||
        rest.substr(0, slash).find_first_of("+#") != std::string_view::npos ||
        slash + 1 == rest.size())
        return {};
    return rest.substr(slash + 1);
}

uint32_t TopicTree::child(uint32_t node, std::string_view level) {
    if (level == "+") {
        if (m_nodes[node].plus == 0) {
            m_nodes.emplace_back();
            m_nodes[node].plus = static_cast<uint32_t>(m_nodes.size() - 1);
        }
        return m_nodes[node].plus;
    }
    auto found = m_nodes[node].children.find(level);
    if (found != m_nodes[node].children.end())
        return found->second;
    const auto id = static_cast<uint32_t>(m_nodes.size());
    m_nodes.emplace_back();
    m_nodes[node].children.emplace(level, id);
    return id;
}

bool TopicTree::add(std::string_view filter, uint32_t id) {
    std::string_view matched = matchedFilter(filter);
    if (matched.empty())
        return false;
    m_filters.emplace_back(matched);
    std::string_view rest = m_filters.back();
    uint32_t node = 0;
    for (;;) {
        const size_t slash = rest.find('/');
        const std::string_view level = rest.substr(0, slash);
        // A valid filter holds "#" only as its last level.
        if (level == "#") {
            m_nodes[node].rest.push_back(id);
            return true;
        }
        node = child(node, level);
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    m_nodes[node].ends.push_back(id);
    return true;
}

void TopicTree::match(std::string_view topic, std::vector<uint32_t>& ids) const {
    if (topic.empty() || topic.find_first_of("+#") != std::string_view::npos)
        return;
    const bool system = topic.front() == '$';
    // The nodes the levels so far lead to; each node lies at one depth only,
    // so none is visited twice.
    std::vector<uint32_t> here{0}, next;
    bool first = true;
    for (;;) {
        const size_t slash = topic.find('/');
        const std::string_view level = topic.substr(0, slash);
        const bool wildcards = !(first && system);
        next.clear();
        for (const uint32_t n : here) {
            const Node& node = m_nodes[n];
            if (wildcards) {
                ids.insert(ids.end(), node.rest.begin(), node.rest.end());
                if (node.plus)
                    next.push_back(node.plus);
            }
            auto found = node.children.find(level);
            if (found != node.children.end())
                next.push_back(found->second);
        }
        here.swap(next);
        first = false;
        if (here.empty() || slash == std::string_view::npos)
            break;
        topic.remove_prefix(slash + 1);
    }
    // "a/#" takes "a" too.
    for (const uint32_t n : here) {
        ids.insert(ids.end(), m_nodes[n].ends.begin(), m_nodes[n].ends.end());
        ids.insert(ids.end(), m_nodes[n].rest.begin(), m_nodes[n].rest.end());
    }
}
