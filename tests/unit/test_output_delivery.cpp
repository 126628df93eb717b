// The default mode (delivery to the message callback), the verbose mode and the
// random filter.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "unit/test_output_helpers.h"

namespace {

using kro::test::Message;
using kro::test::print_captured;
using kro::test::Record;

using namespace std::string_literals;

struct Delivery {
    std::string topic;
    std::string text;
    void* pdev;
};

std::vector<Delivery> deliveries;

void record_delivery(const char* top, const char* mes, void* pdev) {
    deliveries.push_back({top, mes, pdev});
}

// The callback is process-wide: every test starts and ends without one.
class OutputDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        deliveries.clear();
        register_callback(nullptr);
    }
    void TearDown() override { register_callback(nullptr); }
};

struct DefaultCase {
    const char* name;
    std::string payload;
    bool eol;
    bool with_context;
    bool registered;
    std::vector<std::string> texts; // what the callback receives, in order
    std::string out;
};
void PrintTo(const DefaultCase& c, std::ostream* os) {
    *os << c.name;
}

class OutputDefaultMode : public OutputDeliveryTest,
                          public ::testing::WithParamInterface<DefaultCase> {};

TEST_P(OutputDefaultMode, DeliversToCallback) {
    const DefaultCase& c = GetParam();
    int device = 0;
    Record record;
    record->eol = c.eol;
    record->pDevice = c.with_context ? &device : nullptr;
    if (c.registered)
        register_callback(record_delivery);
    Message message("a/b", c.payload);

    auto printed = print_captured(record.get(), message.get(), nullptr);

    EXPECT_EQ(printed.out, c.out);
    EXPECT_EQ(printed.err, "");
    ASSERT_EQ(deliveries.size(), c.texts.size());
    for (size_t i = 0; i < deliveries.size(); ++i) {
        EXPECT_EQ(deliveries[i].topic, "a/b");
        EXPECT_EQ(deliveries[i].text, c.texts[i]);
        EXPECT_EQ(deliveries[i].pdev, c.with_context ? &device : nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutputDefaultMode,
    ::testing::Values(DefaultCase{"PayloadWithNewline", "21.5", true, true, true, {"21.5"}, "\n"},
                      DefaultCase{"PayloadWithoutNewline", "21.5", false, true, true, {"21.5"}, ""},
                      DefaultCase{"NullContextPassedOn", "on", true, false, true, {"on"}, "\n"},
                      DefaultCase{"EmptyPayloadNothing", "", true, true, true, {}, ""},
                      DefaultCase{"TextCutAtNulByte", "ab\0cd"s, true, true, true, {"ab"}, "\n"},
                      DefaultCase{
                          "UnregisteredDropsKeepsNewline", "21.5", true, true, false, {}, "\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OutputDeliveryTest, OtherModesNeverCallBack) {
    register_callback(record_delivery);
    for (int mode = 0; mode < 2; ++mode) {
        Record record(mode == 0 ? "%p" : nullptr);
        record->verbose = mode == 1;
        Message message("a/b", "on");
        auto printed = print_captured(record.get(), message.get(), nullptr);
        EXPECT_FALSE(printed.out.empty()) << "mode " << mode;
    }
    EXPECT_TRUE(deliveries.empty());
}

void other_callback(const char* top, const char* mes, void* pdev) {
    deliveries.push_back({std::string("other:") + top, mes, pdev});
}

TEST_F(OutputDeliveryTest, RegistrationReplacesAndNullSwitchesOff) {
    int device = 0;
    register_callback(record_delivery);
    trigger_callback("t", "1", &device);
    register_callback(other_callback);
    trigger_callback("t", "2", &device);
    register_callback(nullptr);
    trigger_callback("t", "3", &device);

    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].topic, "t");
    EXPECT_EQ(deliveries[0].text, "1");
    EXPECT_EQ(deliveries[1].topic, "other:t");
    EXPECT_EQ(deliveries[1].text, "2");
    EXPECT_EQ(deliveries[1].pdev, &device);
}

struct VerboseCase {
    const char* name;
    std::string payload;
    bool eol;
    std::string out;
};
void PrintTo(const VerboseCase& c, std::ostream* os) {
    *os << c.name;
}

class OutputVerboseMode : public OutputDeliveryTest,
                          public ::testing::WithParamInterface<VerboseCase> {};

TEST_P(OutputVerboseMode, WritesTopicAndPayload) {
    const VerboseCase& c = GetParam();
    Record record;
    record->verbose = true;
    record->eol = c.eol;
    Message message("a/b", c.payload);
    auto printed = print_captured(record.get(), message.get(), nullptr);
    EXPECT_EQ(printed.out, c.out);
    EXPECT_EQ(printed.err, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, OutputVerboseMode,
                         ::testing::Values(VerboseCase{"Payload", "on", true, "a/b on\n"},
                                           VerboseCase{"PayloadNoEol", "on", false, "a/b on"},
                                           VerboseCase{"EmptyPayload", "", true, "a/b (null)\n"},
                                           VerboseCase{"EmptyPayloadNoEol", "", false, ""},
                                           VerboseCase{"BinaryBytesRaw", "\x01\0\xff"s, true,
                                                       "a/b \x01\0\xff\n"s}),
                         [](const auto& info) { return std::string(info.param.name); });

int passed = 0;
void count_delivery(const char*, const char*, void*) {
    ++passed;
}

struct FilterCase {
    const char* name;
    int random_filter;
    int messages;
    int min_passed;
    int max_passed;
};
void PrintTo(const FilterCase& c, std::ostream* os) {
    *os << c.name;
}

class OutputRandomFilter : public OutputDeliveryTest,
                           public ::testing::WithParamInterface<FilterCase> {};

TEST_P(OutputRandomFilter, KeepsTheConfiguredShare) {
    const FilterCase& c = GetParam();
    passed = 0;
    register_callback(count_delivery);
    Record record;
    record->eol = false;
    record->random_filter = c.random_filter;
    Message message("a/b", "x");
    for (int i = 0; i < c.messages; ++i)
        print_message(record.get(), message.get(), nullptr);
    EXPECT_GE(passed, c.min_passed);
    EXPECT_LE(passed, c.max_passed);
}

INSTANTIATE_TEST_SUITE_P(
    Thresholds, OutputRandomFilter,
    ::testing::Values(FilterCase{"AllAtDefault", 10000, 2000, 2000, 2000},
                      FilterCase{"AllAboveDefault", 20000, 2000, 2000, 2000},
                      FilterCase{"NoneAtZero", 0, 2000, 0, 0},
                      // 20000 draws at one half: the share lies far inside 45..55%.
                      FilterCase{"HalfAt5000", 5000, 20000, 9000, 11000},
                      FilterCase{"TenthAt1000", 1000, 20000, 1600, 2400}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
