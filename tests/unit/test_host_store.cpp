// The stand-in host runtime: utilities and the thread-safe variable store.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "kro_host.h"

namespace {

using kro::util::StringUtil;
using kro::util::Util;

struct JsonCase {
    const char* json;
    const char* key;
    const char* expected;
};

class GetValFromJsonc : public ::testing::TestWithParam<JsonCase> {};

TEST_P(GetValFromJsonc, TopLevelValueAsText) {
    EXPECT_EQ(Util::getValFromJsonc(GetParam().json, GetParam().key), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, GetValFromJsonc,
    ::testing::Values(JsonCase{R"({"a":"x y"})", "a", "x y"},
                      JsonCase{R"({"a":1883})", "a", "1883"}, JsonCase{R"({"a":-5})", "a", "-5"},
                      JsonCase{R"({"a":1.5})", "a", "1.5"}, JsonCase{R"({"a":true})", "a", "true"},
                      JsonCase{R"({"a":null})", "a", ""}, JsonCase{R"({"a":"x"})", "b", ""},
                      JsonCase{R"({"o":{"a":"x"}})", "a", ""}, JsonCase{R"({"a":"x",})", "a", ""},
                      JsonCase{"[1,2]", "a", ""}, JsonCase{"\"a\"", "a", ""}, JsonCase{"", "a", ""},
                      JsonCase{"{\"a\":\"\\u00e9\"}", "a", "\xc3\xa9"},
                      JsonCase{"// settings\n{\"a\":\"x\" /* c */}", "a", "x"},
                      JsonCase{R"({"a":"x","b":1e400})", "a", ""},
                      JsonCase{R"({"a":1e2,"b":1e19})", "a", "100.0"}));

struct SplitCase {
    std::string s;
    std::vector<std::string> pieces;
};

class StringSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(StringSplit, PiecesBetweenSeparators) {
    std::vector<std::string> out{"stale"};
    StringUtil::split(GetParam().s, "|", out);
    EXPECT_EQ(out, GetParam().pieces);
}

INSTANTIATE_TEST_SUITE_P(Pieces, StringSplit,
                         ::testing::Values(SplitCase{"", {}}, SplitCase{"a", {"a"}},
                                           SplitCase{"a/b|c", {"a/b", "c"}},
                                           SplitCase{"a||b|", {"a", "b"}}, SplitCase{"|x", {"x"}}));

TEST(StringUtilEndWith, Suffixes) {
    EXPECT_TRUE(StringUtil::endWith("5 --retain", " --retain"));
    EXPECT_TRUE(StringUtil::endWith(" --retain", " --retain"));
    EXPECT_FALSE(StringUtil::endWith("--retain", " --retain"));
    EXPECT_FALSE(StringUtil::endWith("5 --retain ", " --retain"));
    EXPECT_TRUE(StringUtil::endWith("x", ""));
}

TEST(VarManager, IntAndTextVariablesByName) {
    kro::host::VarManager vm;
    std::string out;
    EXPECT_FALSE(vm.getStrVar("port", out, 0));
    vm.setStrVar("port", "8883", 0);
    ASSERT_TRUE(vm.getStrVar("port", out, 0));
    EXPECT_EQ(out, "8883");
    vm.setIntVar("substate", 101, 0);
    int i = 0;
    ASSERT_TRUE(vm.getIntVar("substate", i));
    EXPECT_EQ(i, 101);
    ASSERT_TRUE(vm.getStrVar("substate", out, 0));
    EXPECT_EQ(out, "101");
    vm.setStrVar("empty", "", 0);
    EXPECT_TRUE(vm.getStrVar("empty", out, 0));
    EXPECT_EQ(out, "");
    vm.erase("port");
    EXPECT_FALSE(vm.getStrVar("port", out, 0));
}

TEST(StoreConcurrency, WritersAndReadersStayConsistent) {
    kro::host::DeviceManager dm;
    auto* dev = dm.addDevice("d");
    auto var = dev->addVariable({"v", 64, "SubVariable", "t", ""});
    std::atomic<int> events{0};
    int id = kro::host::addObserver([&](const kro::host::Event&) { events++; });
    kro::host::VarManager vm;

    constexpr int kWriters = 4, kIterations = 2000;
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            // Each writer writes values of one repeated character, so a torn
            // value shows as mixed characters.
            std::string value(32, static_cast<char>('a' + w));
            for (int i = 0; i < kIterations; ++i) {
                var->setStrValue(value.c_str(), true);
                vm.setIntVar("substate", w * kIterations + i, 0);
                vm.setStrVar("s" + std::to_string(w), value, 0);
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIterations; ++i) {
                const char* v = var->getStrValue();
                std::string copy = v;
                if (!copy.empty() && copy.find_first_not_of(copy[0]) != std::string::npos)
                    bad = true;
                if (std::strcmp(v, copy.c_str()) != 0) // pointer stays valid for this thread
                    bad = true;
                std::string s;
                vm.getStrVar("substate", s, 0);
                vm.snapshot();
                dev->getVarList();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    kro::host::removeObserver(id);
    EXPECT_FALSE(bad);
    EXPECT_EQ(events.load(), kWriters * kIterations * 3);
    EXPECT_EQ(vm.snapshot().size(), static_cast<size_t>(kWriters + 1));
}

} // namespace
