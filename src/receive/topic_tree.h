#pragma once

// Topic filters kept as a tree of levels, the way a broker keeps its
// subscriptions: matching a topic costs the topic's levels and the filters
// that match, not the number of filters held.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The part of `filter` that topics are matched against: FILTER of a shared
// subscription "$share/GROUP/FILTER", the filter itself otherwise. Empty for
// a filter a broker refuses (not UTF-8, a NUL, misplaced "+" or "#", an empty
// or wildcard GROUP, a share without FILTER). Points into `filter`.
std::string_view matchedFilter(std::string_view filter);

class TopicTree {
public:
    TopicTree() = default;
    // The keys point into the tree's own copies of the filters.
    TopicTree(const TopicTree&) = delete;
    TopicTree& operator=(const TopicTree&) = delete;

    // Files `filter` under `id`; a filter a broker refuses is left out (and
    // so matches nothing). False when it was left out.
    bool add(std::string_view filter, uint32_t id);

    // Appends the id of every filter that matches `topic`, by the library's
    // rules: "+" one level, "#" the rest including none, neither at the
    // first level of a topic beginning with "$"; an empty topic or one
    // holding a wildcard matches nothing. An id filed under several matching
    // filters is appended once for each.
    void match(std::string_view topic, std::vector<uint32_t>& ids) const;

private:
    struct Node {
        std::unordered_map<std::string_view, uint32_t> children; // by level
        uint32_t plus = 0;          // the "+" child; 0: none (the root is no child)
        std::vector<uint32_t> ends; // filters ending here
        std::vector<uint32_t> rest; // filters ending here with "/#" (or "#" at the root)
    };

    uint32_t child(uint32_t node, std::string_view level);

    std::vector<Node> m_nodes{Node{}};
    std::deque<std::string> m_filters; // stable storage behind the keys
};
