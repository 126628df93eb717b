// Subscriber runs side by side in one process: every run keeps to its own
// slot, a full table and a busy context are refused cleanly, a context used
// again starts afresh, and stop requests may come from any thread.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/broker.h"
#include "support/fake_broker.h"
#include "support/mqtt_probe.h"
#include "test_sub_support.h"

namespace {

using namespace std::chrono_literals;
using kro::test::Broker;
using kro::test::brokerArgs;
using kro::test::CaptureBoth;
using kro::test::concat;
using kro::test::Delivery;
using kro::test::FakeBroker;
using kro::test::FakeBrokerScript;
using kro::test::kSubWait;
using kro::test::poolContext;
using kro::test::Recorder;
using kro::test::SubThread;
using kro::test::uniqueId;
using kro::test::waitSubscribed;

bool publish(const Broker& broker, const std::string& topic, const std::string& payload) {
    return kro::test::publish(broker.port(), topic, payload, 1, false);
}

TEST(SubConcurrency, SixteenRunsEachGetTheirOwnMessagesAndASeventeenthIsRefused) {
    for (const sub_para_t& s : sub_para) {
        bool pool = false;
        for (int i = 0; i < CNT_CFG; ++i)
            pool = pool || s.pdev == poolContext(i);
        if (s.pdev && !pool)
            GTEST_SKIP() << "the table holds contexts of other tests in this process";
    }
    Broker broker;
    Recorder::instance().install();
    struct Run {
        std::string id, topic;
        void* ctx;
        std::unique_ptr<SubThread> thread;
    };
    std::vector<Run> runs(CNT_CFG);
    for (int i = 0; i < CNT_CFG; ++i) {
        Run& r = runs[i];
        r.id = uniqueId("many");
        r.topic = "kro/sub/" + r.id;
        r.ctx = poolContext(i);
        r.thread = std::make_unique<SubThread>(
            concat(brokerArgs(broker, r.id), {"-t", r.topic, "-C", "1", "-q", "1"}), r.ctx);
    }
    for (const Run& r : runs)
        ASSERT_TRUE(waitSubscribed(broker, r.id)) << r.id;

    // Every slot is live now: a further context finds none, and says so.
    static char stranger;
    {
        CaptureBoth cap;
        SubThread extra(concat(brokerArgs(broker, uniqueId("extra")), {"-t", "kro/sub/extra"}),
                        &stranger);
        EXPECT_EQ(extra.join(), 1);
        EXPECT_EQ(cap.out.take(), "");
        EXPECT_EQ(cap.err.take(), "Error: No free subscription slot (all 16 in use).\n");
    }
    EXPECT_TRUE(Recorder::instance().statuses(&stranger).empty());

    for (int i = 0; i < CNT_CFG; ++i)
        ASSERT_TRUE(publish(broker, runs[i].topic, "payload " + std::to_string(i)));
    for (int i = 0; i < CNT_CFG; ++i) {
        Run& r = runs[i];
        SCOPED_TRACE(r.id);
        EXPECT_EQ(r.thread->join(), 0);
        EXPECT_EQ(Recorder::instance().deliveries(r.ctx),
                  (std::vector<Delivery>{{r.topic, "payload " + std::to_string(i), r.ctx}}));
        EXPECT_EQ(Recorder::instance().statuses(r.ctx), std::vector<int>{0});
    }
}

TEST(SubConcurrency, NullContextRunsDoNotShareASlot) {
    Broker broker;
    Recorder::instance().install();
    const std::string idA = uniqueId("nullA"), idB = uniqueId("nullB");
    const std::string topicA = "kro/sub/" + idA, topicB = "kro/sub/" + idB;
    SubThread a(concat(brokerArgs(broker, idA), {"-t", topicA, "-C", "1", "-q", "1"}), nullptr);
    SubThread b(concat(brokerArgs(broker, idB), {"-t", topicB, "-C", "1", "-q", "1"}), nullptr);
    ASSERT_TRUE(waitSubscribed(broker, idA));
    ASSERT_TRUE(waitSubscribed(broker, idB));

    // Each ends on its own message only.
    ASSERT_TRUE(publish(broker, topicA, "for a"));
    EXPECT_EQ(a.join(), 0);
    EXPECT_FALSE(b.wait(300ms));
    ASSERT_TRUE(publish(broker, topicB, "for b"));
    EXPECT_EQ(b.join(), 0);
    EXPECT_EQ(Recorder::instance().deliveries(nullptr),
              (std::vector<Delivery>{{topicA, "for a", nullptr}, {topicB, "for b", nullptr}}));
    EXPECT_EQ(Recorder::instance().statuses(nullptr), (std::vector<int>{0, 0}));
    EXPECT_EQ(sub_client_stop(nullptr), 0);
}

TEST(SubConcurrency, NullContextRunsAreStoppedTogether) {
    Broker broker;
    const std::string idA = uniqueId("nullA"), idB = uniqueId("nullB");
    SubThread a(concat(brokerArgs(broker, idA), {"-t", "kro/sub/" + idA}), nullptr);
    SubThread b(concat(brokerArgs(broker, idB), {"-t", "kro/sub/" + idB}), nullptr);
    ASSERT_TRUE(waitSubscribed(broker, idA));
    ASSERT_TRUE(waitSubscribed(broker, idB));
    EXPECT_EQ(sub_client_stop(nullptr), 2);
    EXPECT_EQ(a.join(3s), 0);
    EXPECT_EQ(b.join(3s), 0);
}

TEST(SubConcurrency, ASecondRunOfALiveContextIsRefused) {
    Broker broker;
    Recorder::instance().install();
    void* ctx = poolContext(3);
    const std::string id = uniqueId("first");
    const std::string topic = "kro/sub/" + id;
    SubThread first(concat(brokerArgs(broker, id), {"-t", topic, "-q", "1"}), ctx);
    ASSERT_TRUE(waitSubscribed(broker, id));

    {
        CaptureBoth cap;
        SubThread second(concat(brokerArgs(broker, uniqueId("second")), {"-t", "kro/sub/other"}),
                         ctx);
        EXPECT_EQ(second.join(), 1);
        EXPECT_EQ(cap.out.take(), "");
        EXPECT_EQ(cap.err.take(),
                  "Error: Subscription context is already in use by another run.\n");
    }

    // The first run goes on undisturbed.
    EXPECT_FALSE(first.wait(0ms));
    ASSERT_TRUE(publish(broker, topic, "still here"));
    ASSERT_TRUE(Recorder::instance().waitDeliveries(ctx, 1, kSubWait));
    EXPECT_EQ(Recorder::instance().deliveries(ctx),
              (std::vector<Delivery>{{topic, "still here", ctx}}));
    EXPECT_EQ(Recorder::instance().statuses(ctx), std::vector<int>{0});
    EXPECT_EQ(sub_client_stop(ctx), 1);
    EXPECT_EQ(first.join(3s), 0);
}

TEST(SubConcurrency, ARepeatedCountRunCountsFromZero) {
    Broker broker;
    Recorder::instance().install();
    void* ctx = poolContext(4);
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        const std::string id = uniqueId("again");
        const std::string topic = "kro/sub/" + id;
        SubThread run(concat(brokerArgs(broker, id), {"-t", topic, "-C", "2", "-q", "1"}), ctx);
        ASSERT_TRUE(waitSubscribed(broker, id));
        ASSERT_TRUE(publish(broker, topic, "one"));
        ASSERT_TRUE(publish(broker, topic, "two"));
        EXPECT_EQ(run.join(), 0);
        EXPECT_EQ(Recorder::instance().deliveries(ctx).size(), static_cast<size_t>(2 * round));
    }
}

// A listener that accepts connections and never answers them.
class SilentListener {
public:
    SilentListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        EXPECT_EQ(::listen(m_fd, 4), 0);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~SilentListener() { ::close(m_fd); }
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

TEST(SubConcurrency, ARunWithoutConnackDoesNotReturnAnEarlierRefusal) {
    Recorder::instance().install();
    void* ctx = poolContext(5);
    {
        FakeBrokerScript script;
        script.connackCode = 5;
        FakeBroker fake(script);
        CaptureBoth cap;
        SubThread refused({"-h", "127.0.0.1", "-p", std::to_string(fake.port()), "-t", "a"}, ctx);
        EXPECT_EQ(refused.join(), 5);
    }
    SilentListener silent;
    SubThread waiting({"-h", "127.0.0.1", "-p", std::to_string(silent.port()), "-t", "a"}, ctx);
    EXPECT_FALSE(waiting.wait(300ms));
    EXPECT_EQ(sub_client_stop(ctx), 1);
    EXPECT_EQ(waiting.join(3s), 0);
    EXPECT_EQ(Recorder::instance().statuses(ctx), std::vector<int>{5});
}

void countingStatus(int, void*) {}

TEST(SubConcurrency, StopsAndRegistrationsMayComeFromAnyThreadAtAnyTime) {
    Broker broker;
    Recorder::instance().install();
    void* ctx = poolContext(6);
    std::atomic<bool> done{false};
    std::atomic<std::thread::id> runThread{};
    std::thread meddler([&] {
        for (int i = 0; !done.load() && i < 20000; ++i) {
            sub_client_stop(poolContext(7)); // never live: must not touch ctx
            sub_client_stop_thread(std::thread::id());
            register_callback1(i % 2 ? &countingStatus : nullptr);
            if (i % 10 == 0)
                sub_client_stop_thread(runThread.load());
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        const std::string id = uniqueId("meddled");
        SubThread run(concat(brokerArgs(broker, id), {"-t", "kro/sub/" + id, "-E"}), ctx);
        runThread.store(run.threadId());
        // Either -E ends it after the SUBACK or a stop request before that.
        EXPECT_EQ(run.join(), 0);
    }
    done.store(true);
    meddler.join();
    register_callback1(nullptr);
    EXPECT_EQ(sub_client_stop(ctx), 0);
}

} // namespace
