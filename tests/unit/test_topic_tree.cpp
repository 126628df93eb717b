// Topic mode's matcher: which variables a topic reaches, in device order, and
// the filter tree checked against the library's own matcher.
#include <gtest/gtest.h>

#include <random>

#include <mosquitto.h>

#include "kro_host.h"
#include "receive/topic_match.h"

namespace {

using kro::host::VarSpec;

struct ReachCase {
    const char* topic;
    std::vector<std::string> reached;
};

TEST(TopicMatcher, ReachesTheMatchingVariablesInDeviceOrder) {
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    for (const VarSpec& v : std::vector<VarSpec>{
             {"A", 8, "SubVariable", "a/+|+/b", ""}, // both match a/b: written once
             {"E", 8, "SubTopic", "", ""},           // every topic
             {"S", 8, "SubVariable", "$share/g/room/#", ""},
             // Refused by a broker: no group, an empty or wildcard group, no
             // filter, a misplaced "#".
             {"X", 8, "SubVariable", "$share/g|$share//a|$share/+/a|$share/g/|a/#/b", ""},
             {"H", 8, "SubVariable", "#", ""},
             {"D", 8, "SubTopic", "$SYS/#", ""},
             {"U", 8, "SubVariable", "\xff", ""}, // not UTF-8
             {"P", 8, "PubVariable", "a/b", ""}})
        dev->addVariable(v);
    const TopicMatcher matcher(dev, nullptr);
    const std::vector<ReachCase> cases = {
        {"a/b", {"A", "E", "H"}},
        {"room", {"E", "S", "H"}},
        {"room/1/t", {"E", "S", "H"}},
        {"$SYS/x", {"E", "D"}},
        {"$share/g/room/1", {"E"}},
        {"\xff", {"E", "H"}},
        {"a/+", {"E"}},
        {"", {"E"}},
    };
    for (const ReachCase& c : cases) {
        std::vector<std::string> names;
        for (const uint32_t i : matcher.reached(c.topic))
            names.push_back(matcher.targets()[i].var->getName());
        EXPECT_EQ(names, c.reached) << c.topic;
    }
}

// Random filters (some shared, some refused) against random topics: the tree
// gives what the library's matcher gives for each valid filter (for a shared
// one, for its FILTER), and nothing for the others.
TEST(TopicTree, AgreesWithTheLibrary) {
    std::mt19937 rng(20240611);
    const std::vector<std::string> filterLevels = {"a", "b", "$x", "", "+", "#"};
    const std::vector<std::string> topicLevels = {"a", "b", "$x", "", "+"};
    const std::vector<std::string> groups = {"g", "g", "", "+", "g#"};
    auto pick = [&rng](const std::vector<std::string>& from) {
        return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
    };
    auto join = [&](const std::vector<std::string>& from) {
        std::string text = pick(from);
        for (int n = std::uniform_int_distribution<int>(0, 3)(rng); n > 0; --n)
            text += "/" + pick(from);
        return text;
    };
    size_t matches = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> filters; // what each id is matched by; empty: refused
        TopicTree tree;
        for (uint32_t id = 0; id < 8; ++id) {
            std::string filter = join(filterLevels);
            bool valid = mosquitto_sub_topic_check(filter.c_str()) == MOSQ_ERR_SUCCESS;
            std::string added = filter;
            if (id % 2) {
                const std::string group = pick(groups);
                const bool noFilter = id == 7;
                added = "$share/" + group + (noFilter ? "" : "/" + filter);
                valid = valid && !noFilter && !group.empty() &&
                        group.find_first_of("+#") == std::string::npos;
            }
            tree.add(added, id);
            filters.push_back(valid ? filter : "");
        }
        for (int t = 0; t < 40; ++t) {
            const std::string topic = join(topicLevels);
            std::vector<uint32_t> expected, got;
            for (uint32_t id = 0; id < filters.size(); ++id) {
                bool match = false;
                if (!filters[id].empty() &&
                    mosquitto_topic_matches_sub(filters[id].c_str(), topic.c_str(), &match) ==
                        MOSQ_ERR_SUCCESS &&
                    match)
                    expected.push_back(id);
            }
            tree.match(topic, got);
            std::sort(got.begin(), got.end());
            matches += expected.size();
            ASSERT_EQ(got, expected) << "topic " << topic << " round " << round;
        }
    }
    // The loop reached matching filters, not only misses.
    EXPECT_GT(matches, 1000u);
}

} // namespace
