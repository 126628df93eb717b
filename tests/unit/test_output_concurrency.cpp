// Several subscriber runs print on their own threads at once while a driver
// registers the message callback again.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "unit/test_output_helpers.h"

namespace {

using kro::test::Capture;
using kro::test::Message;
using kro::test::Record;

// One run's device context. Only the run's own thread touches it while the
// runs are going (the callback is called on that thread).
struct Device {
    std::string topic;
    std::string payload;
    int delivered = 0;
    int wrong = 0;
};

void check(const char* top, const char* mes, void* pdev) {
    Device* dev = static_cast<Device*>(pdev);
    ++dev->delivered;
    if (dev->topic != top || dev->payload != mes)
        ++dev->wrong;
}

// Two distinct callbacks doing the same check, so re-registering really
// swaps the pointer.
void check_a(const char* top, const char* mes, void* pdev) {
    check(top, mes, pdev);
}
void check_b(const char* top, const char* mes, void* pdev) {
    check(top, mes, pdev);
}

constexpr int RUNS = 4;

// Waits, at most ten seconds, until the flag is set.
void wait_for(const std::atomic<bool>& flag) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!flag.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
}
constexpr int MESSAGES = 2000;

TEST(OutputConcurrency, EveryDeliveryCarriesItsOwnRunsContext) {
    register_callback(check_a);
    std::vector<Device> devices(RUNS);
    std::atomic<int> running{RUNS};
    // The runs start only once the registrar is swapping, so the two overlap.
    std::atomic<bool> swapping{false};
    std::vector<std::thread> runs;
    for (int r = 0; r < RUNS; ++r) {
        devices[r].topic = "dev/" + std::to_string(r);
        devices[r].payload = std::string(static_cast<size_t>(r + 1), static_cast<char>('a' + r));
        runs.emplace_back([&, r] {
            Record record;
            record->eol = false;
            record->pDevice = &devices[r];
            Message message(devices[r].topic, devices[r].payload);
            wait_for(swapping);
            for (int i = 0; i < MESSAGES; ++i)
                print_message(record.get(), message.get(), nullptr);
            running.fetch_sub(1);
        });
    }
    // Bounded: stops when the runs are done, or after a fixed number of swaps.
    std::thread registrar([&] {
        for (int i = 0; i < 10000000 && running.load() > 0; ++i) {
            register_callback(i % 2 ? check_a : check_b);
            swapping.store(true);
        }
    });
    for (auto& t : runs)
        t.join();
    registrar.join();
    register_callback(nullptr);

    for (int r = 0; r < RUNS; ++r) {
        EXPECT_EQ(devices[r].delivered, MESSAGES) << "run " << r;
        EXPECT_EQ(devices[r].wrong, 0) << "run " << r;
    }
}

TEST(OutputConcurrency, FormattedTimesOnSeveralThreads) {
    constexpr int LINES = 200;
    Capture out(Capture::Stream::Out);
    std::vector<std::thread> runs;
    for (int r = 0; r < RUNS; ++r) {
        runs.emplace_back([] {
            Record record("@Y-@m-@d @H:@M:@S.@N %I %j");
            Message message("t", "p", 1, false, 1);
            for (int i = 0; i < LINES; ++i)
                print_message(record.get(), message.get(), nullptr);
        });
    }
    for (auto& t : runs)
        t.join();
    std::string text = out.take();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), RUNS * LINES);
}

} // namespace
