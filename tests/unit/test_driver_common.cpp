// The argument tokenizer and the file-existence warning both driver threads use.

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "drivers/driver_settings.h"
#include "support/capture.h"
#include "text/split.h"

namespace {

using Tokens = std::vector<std::string>;

struct SplitCase {
    const char* name;
    std::string input;
    bool keepQuotes;
    Tokens expected;
};

class SplitWithQuotes : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitWithQuotes, Tokens) {
    EXPECT_EQ(splitWithQuotes(GetParam().input, GetParam().keepQuotes), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitWithQuotes,
    ::testing::Values(SplitCase{"Empty", "", true, {}}, SplitCase{"OnlySpaces", "   ", true, {}},
                      SplitCase{"RunsOfSpaces", "  -q   1  ", true, {"-q", "1"}},
                      SplitCase{"QuotesKept", "-F \"%t %p\"", true, {"-F", "\"%t %p\""}},
                      SplitCase{"QuotesDropped", "-F \"%t %p\"", false, {"-F", "%t %p"}},
                      SplitCase{
                          "FourTokens", "-q 1 -F \"%t %p\"", true, {"-q", "1", "-F", "\"%t %p\""}},
                      SplitCase{"TabIsOrdinary", "-q\t1 x", true, {"-q\t1", "x"}},
                      SplitCase{"UnbalancedQuote", "a \"b c  d", true, {"a", "\"b c  d"}},
                      SplitCase{"UnbalancedQuoteDropped", "a \"b c", false, {"a", "b c"}},
                      SplitCase{"QuoteInsideToken", "ab\"c d\"e f", false, {"abc de", "f"}},
                      SplitCase{"EmptyQuotesKept", "\"\"", true, {"\"\""}},
                      SplitCase{"EmptyQuotesDropped", "a \"\" b", false, {"a", "b"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CheckFile, WarnsOnlyForMissingFile) {
    char path[] = "/tmp/kro_checkfile_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        kro::test::Capture out(kro::test::Capture::Stream::Out);
        CHECKFILE(path);
        EXPECT_EQ(out.take(), "");
    }
    unlink(path);
    {
        kro::test::Capture out(kro::test::Capture::Stream::Out);
        CHECKFILE(path);
        EXPECT_EQ(out.take(), std::string("[kro error]can't find file: ") + path + "\n");
    }
    {
        kro::test::Capture out(kro::test::Capture::Stream::Out);
        CHECKFILE("");
        EXPECT_EQ(out.take(), "[kro error]can't find file: \n");
    }
}

} // namespace
