#pragma once

// The Common driver's "SubMatch": "topic" mode: each variable takes only the
// messages whose topic its address names, instead of every message.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "kro/kro.h"
#include "receive/json_field.h"
#include "receive/topic_tree.h"

// The messages of a driver that reached no variable: counted, and each topic
// reported once for the driver's life. Called from the subscriber's thread and
// from whoever triggers the message callback, so it locks.
class UnmatchedTopics {
public:
    // Distinct topics remembered as reported. A flood of distinct topics must
    // not grow memory without bound: past this, new topics are only counted.
    static constexpr size_t kMaxReported = 1024;

    // Counts one message; true when its topic is to be reported now.
    bool note(const std::string& topic);
    // The messages counted since the last call.
    uint64_t takeCount();

private:
    std::mutex m_mutex;
    std::unordered_set<std::string> m_reported;
    uint64_t m_count = 0;
};

// The device's "SubVariable" and "SubTopic" variables with the filters of
// their addresses, read once per subscriber run (as the topics are) into one
// tree, so that a message costs no call into the host beyond the writes
// themselves, and the same whether the device holds one variable or ten
// thousand. A SubVariable filter's location ("FILTER#POINTER") is parsed here,
// once per run.
//
// In topic mode a message reaches the filters that match its topic; without
// it (`everyMessage`) every filter of every variable, so that variables with
// locations take their fields from every payload.
class TopicMatcher {
public:
    struct Target {
        kro::IDvcVariable* var;
        bool takesTopic;                  // "SubTopic": the topic; "SubVariable": the payload
        std::vector<std::string> filters; // the address split at "|", locations cut off
        // Per filter: its location, if it has one (a SubVariable's only).
        std::vector<std::optional<JsonPointer>> pointers;
    };
    // A target reached through one of its filters; kNoFilter: a target
    // without filters, which takes every message whole.
    struct Route {
        uint32_t target;
        uint32_t filter;
    };
    static constexpr uint32_t kNoFilter = UINT32_MAX;

    // `misses` counts the payloads that lacked a variable's field (none: not
    // counted).
    TopicMatcher(kro::IDevice* device, std::shared_ptr<UnmatchedTopics> unmatched,
                 bool everyMessage = false, std::shared_ptr<UnmatchedTopics> misses = nullptr);

    const std::vector<Target>& targets() const { return m_targets; }
    UnmatchedTopics& unmatched() const { return *m_unmatched; }
    UnmatchedTopics* misses() const { return m_misses.get(); }
    bool everyMessage() const { return m_everyMessage; }
    // True when a filter of the device has a location.
    bool hasPointers() const { return m_hasPointers; }

    // The indices into targets() of the variables `topic` reaches, in device
    // order, each once: by the library's own rules for "+", "#" and "$"
    // topics, a shared "$share/GROUP/FILTER" by its FILTER; a filter the
    // broker would refuse, or with a location that is no pointer, matches
    // nothing; a target without filters takes every topic.
    std::vector<uint32_t> reached(const std::string& topic) const;
    // The routes of the variables `topic` reaches, in device order and each
    // variable's in address order.
    std::vector<Route> routes(const std::string& topic) const;

private:
    std::vector<Target> m_targets;
    std::vector<Route> m_routes; // indexed by the values in the tree
    TopicTree m_tree;
    std::vector<uint32_t> m_everyTopic; // routes taking every topic
    bool m_everyMessage;
    bool m_hasPointers = false;
    std::shared_ptr<UnmatchedTopics> m_unmatched;
    std::shared_ptr<UnmatchedTopics> m_misses;
};

// The matchers of the runs in topic mode, by device: the message callback only
// gets the device. While no run is in topic mode a lookup is one atomic load.
class TopicMatchers {
public:
    // Makes `matcher` the one for `device` while this object lives.
    class Registration {
    public:
        Registration(kro::IDevice* device, std::shared_ptr<const TopicMatcher> matcher);
        ~Registration();
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;

    private:
        kro::IDevice* m_device;
        const TopicMatcher* m_matcher;
    };

    // Null when no run for `device` is in topic mode. The matcher returned
    // stays valid while it is held, whatever happens to its run.
    static std::shared_ptr<const TopicMatcher> find(kro::IDevice* device);

private:
    static std::atomic<int> s_registered;
};
