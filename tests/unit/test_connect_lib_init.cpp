// Balanced library initialisation: references per run and plain ones, the
// real init and cleanup only at the ends of the count, and runs on several
// threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client/client_shared.h"
#include "client/lib_init.h"

namespace {

enum Op { INIT, CLEANUP, INIT_RUN_A, CLEANUP_RUN_A, INIT_RUN_B, CLEANUP_RUN_B };

struct Step {
    Op op;
    int refs_after; // relative to the count before the sequence
};

struct SequenceCase {
    const char* name;
    std::vector<Step> steps;
};
void PrintTo(const SequenceCase& c, std::ostream* os) {
    *os << c.name;
}

class LibInitSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(LibInitSequence, CountsEachReferenceOnce) {
    mosq_config run_a{}, run_b{};
    const int base = client_lib_refcount();
    int i = 0;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(i++));
        switch (step.op) {
        case INIT:
            ASSERT_EQ(client_lib_init(), 0);
            break;
        case CLEANUP:
            client_lib_cleanup();
            break;
        case INIT_RUN_A:
            ASSERT_EQ(client_lib_init_run(&run_a), 0);
            break;
        case CLEANUP_RUN_A:
            client_lib_cleanup_run(&run_a);
            break;
        case INIT_RUN_B:
            ASSERT_EQ(client_lib_init_run(&run_b), 0);
            break;
        case CLEANUP_RUN_B:
            client_lib_cleanup_run(&run_b);
            break;
        }
        EXPECT_EQ(client_lib_refcount(), base + step.refs_after);
    }
    // Leave nothing held for the next test.
    client_lib_cleanup_run(&run_a);
    client_lib_cleanup_run(&run_b);
    while (client_lib_refcount() > base)
        client_lib_cleanup();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LibInitSequence,
    ::testing::Values(
        SequenceCase{"run_released_once",
                     {{INIT_RUN_A, 1}, {CLEANUP_RUN_A, 0}, {CLEANUP_RUN_A, 0}}},
        SequenceCase{"run_taken_once", {{INIT_RUN_A, 1}, {INIT_RUN_A, 1}, {CLEANUP_RUN_A, 0}}},
        SequenceCase{"release_without_reference", {{CLEANUP_RUN_A, 0}, {CLEANUP, 0}}},
        SequenceCase{"two_runs",
                     {{INIT_RUN_A, 1},
                      {INIT_RUN_B, 2},
                      {CLEANUP_RUN_A, 1},
                      {CLEANUP_RUN_A, 1},
                      {CLEANUP_RUN_B, 0}}},
        // A stray plain cleanup must not take away the reference of a run
        // that is still going.
        SequenceCase{"stray_cleanup_spares_runs",
                     {{INIT_RUN_A, 1}, {CLEANUP, 1}, {CLEANUP, 1}, {CLEANUP_RUN_A, 0}}},
        SequenceCase{
            "plain_and_run",
            {{INIT, 1}, {INIT_RUN_A, 2}, {CLEANUP_RUN_A, 1}, {CLEANUP_RUN_A, 1}, {CLEANUP, 0}}},
        SequenceCase{"plain_pairs", {{INIT, 1}, {INIT, 2}, {CLEANUP, 1}, {CLEANUP, 0}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs on several threads, each taking its reference, working with a client
// and releasing it (twice, as the set-up's failure path and the caller's
// clean-up do), end with the count where it began.
TEST(LibInitConcurrency, RunsOnManyThreadsBalance) {
    const int base = client_lib_refcount();
    const int kThreads = 8, kRounds = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            mosq_config run{};
            for (int r = 0; r < kRounds; ++r) {
                if (client_lib_init_run(&run) != 0)
                    ++failures;
                if (client_lib_refcount() < 1)
                    ++failures;
                mosquitto* mosq = mosquitto_new(nullptr, true, nullptr);
                if (!mosq)
                    ++failures;
                else
                    mosquitto_destroy(mosq);
                client_lib_cleanup_run(&run);
                client_lib_cleanup_run(&run);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(client_lib_refcount(), base);
}

} // namespace
