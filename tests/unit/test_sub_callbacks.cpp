// The subscriber's table of contexts, its loop decisions and its library
// callbacks, driven directly with a client that never connects.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include <mosquitto.h>

#include "client/lib_init.h"
#include "client/sub_client.h"
#include "integration/test_sub_support.h"
#include "support/capture.h"

namespace {

using kro::test::Argv;
using kro::test::CaptureBoth;
using kro::test::Delivery;
using kro::test::poolContext;
using kro::test::Recorder;

int freeSlots() {
    int n = 0;
    for (const sub_para_t& s : sub_para)
        n += s.pdev == nullptr;
    return n;
}

// ---- the table ----

TEST(SubSlots, EndedRunsLeaveTheirSlotsFreeForAnyNumberOfContexts) {
    // More distinct contexts than slots, one run after another.
    static char contexts[CNT_CFG + 4];
    for (char& ctx : contexts) {
        CaptureBoth cap;
        Argv argv({"--version"});
        EXPECT_EQ(mqttclinet_sub(argv.argc(), argv.argv(), &ctx), 1);
        EXPECT_EQ(cap.err.take(), "") << "context " << &ctx - contexts;
    }
    EXPECT_EQ(freeSlots(), CNT_CFG);
}

TEST(SubSlots, NullContextRunsEachHoldASlotOnlyForTheRun) {
    if (freeSlots() < 2)
        GTEST_SKIP() << "no two free slots left in this process";
    sub_para_t* one = getCfg1(nullptr);
    sub_para_t* two = getCfg1(nullptr);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_NE(one, two);
    // Marked while live, so no other claim can take them.
    EXPECT_NE(one->pdev, nullptr);
    EXPECT_NE(two->pdev, nullptr);
    EXPECT_TRUE(one->live);

    sub_para_t* other = getCfg1(poolContext(3));
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, one);
    EXPECT_NE(other, two);
    sub_slot_release(other);

    sub_slot_release(one);
    sub_slot_release(two);
    EXPECT_EQ(one->pdev, nullptr);
    EXPECT_EQ(two->pdev, nullptr);
    EXPECT_FALSE(one->live);
}

TEST(SubSlots, AContextWithALiveRunIsRefusedAsBusy) {
    void* ctx = poolContext(4);
    sub_para_t* live = getCfg1(ctx);
    ASSERT_NE(live, nullptr);
    bool busy = false;
    EXPECT_EQ(getCfg1(ctx, &busy), nullptr);
    EXPECT_TRUE(busy);
    sub_slot_release(live);
    sub_para_t* again = getCfg1(ctx, &busy);
    EXPECT_EQ(again, live);
    EXPECT_FALSE(busy);
    sub_slot_release(again);
}

TEST(SubSlots, AFullTableRefusesNewContextsAndNullContexts) {
    // Fill every slot with contexts of the pool (live, so null contexts
    // cannot take a slot either).
    std::vector<sub_para_t*> held;
    for (int i = 0; i < CNT_CFG; ++i) {
        sub_para_t* s = getCfg1(poolContext(i));
        if (!s)
            break;
        held.push_back(s);
    }
    if (held.size() != static_cast<size_t>(CNT_CFG)) {
        for (sub_para_t* s : held)
            sub_slot_release(s);
        GTEST_SKIP() << "the table holds contexts from outside the pool";
    }
    static char stranger;
    bool busy = true;
    EXPECT_EQ(getCfg1(&stranger, &busy), nullptr);
    EXPECT_FALSE(busy);
    EXPECT_EQ(getCfg1(nullptr, &busy), nullptr);
    EXPECT_FALSE(busy);
    for (const sub_para_t& s : sub_para)
        EXPECT_NE(s.pdev, static_cast<void*>(&stranger));
    for (sub_para_t* s : held)
        sub_slot_release(s);
}

TEST(SubSlots, HandleLookupMatchesExactlyAndForgetsReleasedClients) {
    ASSERT_EQ(client_lib_init(), 0);
    mosquitto* mine = mosquitto_new(nullptr, true, nullptr);
    mosquitto* stranger = mosquitto_new(nullptr, true, nullptr);
    ASSERT_NE(mine, nullptr);
    ASSERT_NE(stranger, nullptr);

    sub_para_t* slot = getCfg1(poolContext(5));
    ASSERT_NE(slot, nullptr);
    slot->g_mosq = mine;
    EXPECT_EQ(getCfg2(mine), slot);
    // Slots without a client are no match for an unknown one.
    EXPECT_EQ(getCfg2(stranger), nullptr);
    EXPECT_EQ(getCfg2(nullptr), nullptr);
    sub_slot_release(slot);
    EXPECT_EQ(getCfg2(mine), nullptr);

    mosquitto_destroy(mine);
    mosquitto_destroy(stranger);
    client_lib_cleanup();
}

TEST(SubSlots, StopWithoutALiveRunDoesNothing) {
    void* ctx = poolContext(6);
    EXPECT_EQ(sub_client_stop(ctx), 0);
    EXPECT_EQ(sub_client_stop(nullptr), 0);

    sub_para_t* slot = getCfg1(ctx);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(sub_client_stop(poolContext(7)), 0);
    EXPECT_FALSE(slot->stop_requested.load());
    EXPECT_EQ(sub_client_stop(ctx), 1);
    EXPECT_TRUE(slot->stop_requested.load());
    sub_slot_release(slot);

    // The next run of the context starts without the old request.
    EXPECT_EQ(sub_client_stop(ctx), 0);
    slot = getCfg1(ctx);
    ASSERT_NE(slot, nullptr);
    EXPECT_FALSE(slot->stop_requested.load());
    sub_slot_release(slot);
}

// ---- what the loop does after each pass ----

struct DecideCase {
    const char* name;
    int rc;
    int err;
    bool disconnectSent;
    bool handlingDone;
    sub_loop_next next;
    int endRc; // for SUB_LOOP_END
};

void PrintTo(const DecideCase& c, std::ostream* os) {
    *os << c.name;
}

class SubLoopDecide : public ::testing::TestWithParam<DecideCase> {};

TEST_P(SubLoopDecide, Decides) {
    const DecideCase& c = GetParam();
    int endRc = -12345;
    EXPECT_EQ(sub_loop_decide(c.rc, c.err, c.disconnectSent, c.handlingDone, &endRc), c.next);
    if (c.next == SUB_LOOP_END) {
        EXPECT_EQ(endRc, c.endRc);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubLoopDecide,
    ::testing::Values(
        DecideCase{"Success", MOSQ_ERR_SUCCESS, 0, false, false, SUB_LOOP_CONTINUE, 0},
        DecideCase{"SuccessAfterDisconnectRequest", MOSQ_ERR_SUCCESS, 0, true, false,
                   SUB_LOOP_CONTINUE, 0},
        DecideCase{"OwnDisconnectNoConn", MOSQ_ERR_NO_CONN, 0, true, false, SUB_LOOP_END, 0},
        DecideCase{"OwnDisconnectRefused", MOSQ_ERR_CONN_REFUSED, 0, true, false, SUB_LOOP_END, 0},
        DecideCase{"OwnDisconnectProtocol", MOSQ_ERR_PROTOCOL, 0, true, false, SUB_LOOP_END, 0},
        DecideCase{"LostReconnects", MOSQ_ERR_CONN_LOST, 0, false, false, SUB_LOOP_RECONNECT, 0},
        DecideCase{"NoConnReconnects", MOSQ_ERR_NO_CONN, 0, false, false, SUB_LOOP_RECONNECT, 0},
        DecideCase{"KeepaliveReconnects", MOSQ_ERR_KEEPALIVE, 0, false, false, SUB_LOOP_RECONNECT,
                   0},
        DecideCase{"ResetReconnects", MOSQ_ERR_ERRNO, ECONNRESET, false, false, SUB_LOOP_RECONNECT,
                   0},
        DecideCase{"ErrnoProtoEnds", MOSQ_ERR_ERRNO, EPROTO, false, false, SUB_LOOP_END,
                   MOSQ_ERR_ERRNO},
        DecideCase{"ProtocolEnds", MOSQ_ERR_PROTOCOL, 0, false, false, SUB_LOOP_END,
                   MOSQ_ERR_PROTOCOL},
        DecideCase{"TlsEnds", MOSQ_ERR_TLS, 0, false, false, SUB_LOOP_END, MOSQ_ERR_TLS},
        DecideCase{"NomemEnds", MOSQ_ERR_NOMEM, 0, false, false, SUB_LOOP_END, MOSQ_ERR_NOMEM},
        DecideCase{"AuthEnds", MOSQ_ERR_AUTH, 0, false, false, SUB_LOOP_END, MOSQ_ERR_AUTH},
        DecideCase{"DoneLostEnds", MOSQ_ERR_CONN_LOST, 0, false, true, SUB_LOOP_END,
                   MOSQ_ERR_CONN_LOST},
        DecideCase{"DoneNoConnEnds", MOSQ_ERR_NO_CONN, 0, false, true, SUB_LOOP_END,
                   MOSQ_ERR_NO_CONN}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the library callbacks on a slot with an unconnected client ----

class SubCallbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(client_lib_init(), 0);
        Recorder::instance().install();
        m_slot = getCfg1(m_ctx);
        ASSERT_NE(m_slot, nullptr);
    }
    void TearDown() override {
        if (m_slot) {
            m_slot->g_mosq = nullptr;
            if (m_mosq)
                mosquitto_destroy(m_mosq);
            if (m_loaded)
                client_config_cleanup(&m_slot->cfg);
            sub_slot_release(m_slot);
        }
        client_lib_cleanup();
    }
    // Loads the record and gives the slot a client, as a run does before its loop.
    void load(const std::vector<std::string>& args) {
        Argv argv(args);
        ASSERT_EQ(client_config_load(&m_slot->cfg, CLIENT_SUB, argv.argc(), argv.argv()), 0);
        m_loaded = true;
        m_slot->cfg.pDevice = m_ctx;
        m_mosq = mosquitto_new(nullptr, true, m_slot);
        ASSERT_NE(m_mosq, nullptr);
        m_slot->g_mosq = m_mosq;
        m_slot->process_messages = true;
        m_slot->msg_count = 0;
        m_slot->last_mid = 0;
        m_slot->connack_result = 0;
        m_slot->connack_received = false;
        m_slot->disconnect_sent = false;
    }

    void* m_ctx = poolContext(8);
    sub_para_t* m_slot = nullptr;
    mosquitto* m_mosq = nullptr;
    bool m_loaded = false;
};

struct Msg {
    std::string topic, payload;
    bool retain = false;
};

struct MessageCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<Msg> messages;
    std::vector<std::pair<std::string, std::string>> delivered;
    bool stillProcessing;
    bool disconnect;
    int counted;
};

void PrintTo(const MessageCase& c, std::ostream* os) {
    *os << c.name;
}

class SubMessageCallback : public SubCallbackTest,
                           public ::testing::WithParamInterface<MessageCase> {};

TEST_P(SubMessageCallback, FiltersDeliversAndCounts) {
    const MessageCase& c = GetParam();
    load(c.args);
    CaptureBoth cap;
    int mid = 0;
    for (const Msg& m : c.messages) {
        mosquitto_message msg{};
        msg.mid = ++mid;
        msg.topic = const_cast<char*>(m.topic.c_str());
        msg.payload = const_cast<char*>(m.payload.data());
        msg.payloadlen = static_cast<int>(m.payload.size());
        msg.retain = m.retain;
        my_message_callback(m_mosq, m_slot, &msg, nullptr);
    }
    const std::string out = cap.out.take();
    const std::string err = cap.err.take();

    std::vector<Delivery> expected;
    size_t lines = 0;
    for (const auto& d : c.delivered) {
        expected.push_back({d.first, d.second, m_ctx});
        lines += !d.second.empty();
    }
    std::vector<Delivery> got;
    for (const Delivery& d : Recorder::instance().allDeliveries())
        got.push_back(d);
    EXPECT_EQ(got, expected);
    // One end of line for each message handed on, nothing for empty payloads.
    EXPECT_EQ(out, std::string(lines, '\n'));
    EXPECT_EQ(err, "");
    EXPECT_EQ(m_slot->process_messages, c.stillProcessing);
    EXPECT_EQ(m_slot->disconnect_sent, c.disconnect);
    EXPECT_EQ(m_slot->msg_count, c.counted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubMessageCallback,
    ::testing::Values(
        MessageCase{"EveryMessageWithoutLimits",
                    {"-t", "#"},
                    {{"a", "1"}, {"b", "2", true}},
                    {{"a", "1"}, {"b", "2"}},
                    true,
                    false,
                    0},
        MessageCase{"CountStopsAtTheLimit",
                    {"-t", "#", "-C", "2"},
                    {{"a", "1"}, {"b", "2"}, {"c", "3"}},
                    {{"a", "1"}, {"b", "2"}},
                    false,
                    true,
                    2},
        MessageCase{"EmptyPayloadCountsButIsNotDelivered",
                    {"-t", "#", "-C", "2"},
                    {{"a", ""}, {"b", "x"}},
                    {{"b", "x"}},
                    false,
                    true,
                    2},
        MessageCase{"NoRetainDropsRetainedUncounted",
                    {"-t", "#", "-R", "-C", "1"},
                    {{"old", "1", true}, {"new", "2"}},
                    {{"new", "2"}},
                    false,
                    true,
                    1},
        MessageCase{"RetainedOnlyStopsAtTheFirstLiveMessage",
                    {"-t", "#", "--retained-only"},
                    {{"r1", "1", true}, {"r2", "2", true}, {"live", "3"}, {"r3", "4", true}},
                    {{"r1", "1"}, {"r2", "2"}},
                    false,
                    true,
                    0},
        MessageCase{"FilterOutNeitherDeliveredNorCounted",
                    {"-t", "#", "-T", "skip/#", "-C", "2"},
                    {{"skip/1", "x"}, {"a", "1"}, {"skip", "y"}, {"b", "2"}, {"c", "3"}},
                    {{"a", "1"}, {"b", "2"}},
                    false,
                    true,
                    2},
        MessageCase{"EveryFilterIsTried",
                    {"-t", "#", "-T", "x", "-T", "y/+"},
                    {{"x", "1"}, {"y/1", "2"}, {"y/1/2", "3"}, {"z", "4"}},
                    {{"y/1/2", "3"}, {"z", "4"}},
                    true,
                    false,
                    0}),
    [](const auto& info) { return std::string(info.param.name); });

struct SubackCase {
    const char* name;
    std::vector<std::string> extra;
    std::vector<int> granted;
    std::string out, err;
    bool disconnect;
};

void PrintTo(const SubackCase& c, std::ostream* os) {
    *os << c.name;
}

class SubSubscribeCallback : public SubCallbackTest,
                             public ::testing::WithParamInterface<SubackCase> {};

TEST_P(SubSubscribeCallback, ReportsAndEndsWhenNothingIsGranted) {
    const SubackCase& c = GetParam();
    load(kro::test::concat({"-t", "a", "-t", "b"}, c.extra));
    CaptureBoth cap;
    my_subscribe_callback(m_mosq, m_slot, 7, static_cast<int>(c.granted.size()),
                          c.granted.empty() ? nullptr : c.granted.data());
    EXPECT_EQ(cap.out.take(), c.out);
    EXPECT_EQ(cap.err.take(), c.err);
    EXPECT_EQ(m_slot->disconnect_sent, c.disconnect);
}

const std::string kDenied = "All subscription requests were denied.\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, SubSubscribeCallback,
    ::testing::Values(
        SubackCase{"Granted", {}, {0, 1}, "", "", false},
        SubackCase{"AllDenied", {}, {128, 135}, "", kDenied, true},
        SubackCase{"FirstDeniedSecondGranted", {}, {128, 2}, "", "", false},
        SubackCase{"FirstGrantedSecondDenied", {}, {1, 128}, "", "", false},
        SubackCase{"NoCodeAtAll", {}, {}, "", kDenied, true},
        SubackCase{
            "DebugPrintsTheCodes", {"-d"}, {0, 128}, "Subscribed (mid: 7): 0, 128\n", "", false},
        SubackCase{"QuietSilencesBoth", {"-d", "--quiet"}, {128}, "", "", true},
        SubackCase{"ExitAfterSubscribe", {"-E"}, {0}, "", "", true},
        SubackCase{"ExitAfterDenied", {"-E"}, {128}, "", kDenied, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct ConnackCase {
    const char* name;
    std::vector<std::string> extra;
    int result;
    bool registered;
    std::string err;
};

void PrintTo(const ConnackCase& c, std::ostream* os) {
    *os << c.name;
}

class SubConnectCallback : public SubCallbackTest,
                           public ::testing::WithParamInterface<ConnackCase> {};

TEST_P(SubConnectCallback, ReportsEveryConnack) {
    const ConnackCase& c = GetParam();
    load(kro::test::concat({"-t", "a"}, c.extra));
    if (!c.registered)
        register_callback1(nullptr);
    CaptureBoth cap;
    my_connect_callback(m_mosq, m_slot, c.result, 0, nullptr);
    EXPECT_EQ(cap.out.take(), "");
    EXPECT_EQ(cap.err.take(), c.err);
    EXPECT_TRUE(m_slot->connack_received);
    EXPECT_EQ(m_slot->connack_result, c.result);
    EXPECT_EQ(m_slot->disconnect_sent, c.result != 0);
    const std::vector<int> expected =
        c.registered ? std::vector<int>{c.result} : std::vector<int>{};
    EXPECT_EQ(Recorder::instance().statuses(m_ctx), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubConnectCallback,
    ::testing::Values(
        ConnackCase{"Accepted", {}, 0, true, ""},
        ConnackCase{"AcceptedV5", {"-V", "mqttv5"}, 0, true, ""},
        ConnackCase{"NotAuthorised",
                    {},
                    5,
                    true,
                    "Connection error: Connection Refused: not authorised.\n"},
        ConnackCase{"BadProtocolV311",
                    {"-V", "mqttv311"},
                    1,
                    true,
                    "Connection error: Connection Refused: unacceptable protocol version.\n"},
        ConnackCase{"UnsupportedProtocolV5",
                    {"-V", "mqttv5"},
                    132,
                    true,
                    "Connection error: Unsupported Protocol Version. Try connecting to an MQTT v5 "
                    "broker, or use MQTT v3.x mode.\n"},
        ConnackCase{
            "NotAuthorizedV5", {"-V", "5"}, 135, true, "Connection error: Not authorized\n"},
        ConnackCase{"QuietRefusal", {"--quiet"}, 5, true, ""},
        ConnackCase{"UnregisteredStillEnds",
                    {},
                    4,
                    false,
                    "Connection error: Connection Refused: bad user name or password.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SubCallbackTest, CallbacksOfAClientWithoutASlotAreIgnored) {
    load({"-t", "#", "-C", "1"});
    mosquitto* stranger = mosquitto_new(nullptr, true, nullptr);
    ASSERT_NE(stranger, nullptr);
    CaptureBoth cap;
    char topic[] = "a";
    char payload[] = "x";
    mosquitto_message msg{};
    msg.topic = topic;
    msg.payload = payload;
    msg.payloadlen = 1;
    // Neither a foreign user pointer nor this slot's pointer with another
    // client may reach the slot.
    my_message_callback(stranger, nullptr, &msg, nullptr);
    my_message_callback(stranger, m_slot, &msg, nullptr);
    my_connect_callback(stranger, m_slot, 5, 0, nullptr);
    int granted = 128;
    my_subscribe_callback(stranger, m_slot, 1, 1, &granted);
    EXPECT_EQ(cap.out.take(), "");
    EXPECT_EQ(cap.err.take(), "");
    EXPECT_TRUE(Recorder::instance().allDeliveries().empty());
    EXPECT_TRUE(Recorder::instance().statuses(m_ctx).empty());
    EXPECT_EQ(m_slot->msg_count, 0);
    EXPECT_FALSE(m_slot->connack_received);
    EXPECT_FALSE(m_slot->disconnect_sent);
    mosquitto_destroy(stranger);
}

} // namespace
