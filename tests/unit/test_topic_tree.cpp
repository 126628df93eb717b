// Topic mode's matcher against the library's own, on random variables (one or
// two filters, some shared, some refused, some none, some with a location) and
// random topics.
#include <gtest/gtest.h>

#include <random>

#include <mosquitto.h>

#include "kro_host.h"
#include "receive/topic_match.h"

namespace {

TEST(TopicMatcher, AgreesWithTheLibrary) {
    std::mt19937 rng(20240611);
    auto pick = [&rng](const std::vector<std::string>& from) {
        return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
    };
    auto levels = [&](const std::vector<std::string>& from) {
        std::string text = pick(from);
        for (int n = std::uniform_int_distribution<int>(0, 3)(rng); n > 0; --n)
            text += "/" + pick(from);
        return text;
    };
    size_t reached = 0;
    for (int round = 0; round < 300; ++round) {
        kro::host::DeviceManager dm;
        kro::host::Device* dev = dm.addDevice("d");
        std::vector<std::vector<std::string>> valid(8); // the filters each variable matches by
        std::vector<bool> every(valid.size());          // an empty address
        for (size_t v = 0; v < valid.size(); ++v) {
            std::string addr;
            for (int f = v == 0 ? 2 : v % 3; f > 0; --f) {
                const std::string filter = levels({"a", "b", "$x", "", "+", "#"});
                const std::string group = pick({"g", "g", "", "+", "g#", "nofilter"});
                const bool shared = rng() % 2;
                const std::string given =
                    shared ? "$share/" + group + (group == "nofilter" ? "" : "/" + filter) : filter;
                // A "#" before the end begins a location.
                const std::string subscribed = splitLocation(filter).filter;
                if (mosquitto_sub_topic_check(subscribed.c_str()) == MOSQ_ERR_SUCCESS &&
                    (!shared || group == "g"))
                    valid[v].push_back(subscribed);
                // A location after any filter whose only "#" ends it (another "#" would begin it).
                const size_t hash = given.find('#');
                const bool plain = hash == std::string::npos || hash + 1 == given.size();
                addr += (addr.empty() ? "" : "|") + given + (plain && rng() % 3 == 0 ? "#/p" : "");
            }
            dev->addVariable({"v" + std::to_string(v), 8, "SubVariable", addr, ""});
            every[v] = addr.empty();
        }
        const TopicMatcher matcher(dev, nullptr);
        for (int t = 0; t < 40; ++t) {
            const std::string topic = levels({"a", "b", "$x", "", "+", "#"});
            std::vector<uint32_t> expected;
            for (uint32_t v = 0; v < valid.size(); ++v) {
                bool match = false;
                for (const std::string& filter : valid[v])
                    if (!match)
                        mosquitto_topic_matches_sub(filter.c_str(), topic.c_str(), &match);
                if (match || every[v])
                    expected.push_back(v);
            }
            ASSERT_EQ(matcher.reached(topic), expected) << "topic " << topic << " round " << round;
            reached += expected.size();
        }
    }
    EXPECT_GT(reached, 1000u); // not only misses
}

} // namespace
