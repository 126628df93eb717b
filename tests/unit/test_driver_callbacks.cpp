// The drivers' subscriber callbacks as a subscriber run calls them, reached
// through the plug-in's own callback entries once a running driver has
// registered them; and destroying drivers that never ran or are still in
// their first pause.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kro_host.h"
#include "support/capture.h"
#include "support/plugin.h"

namespace {

using namespace std::chrono_literals;
using kro::host::VarSpec;
using kro::test::Capture;
using kro::test::Plugin;

using MessageTrigger = void (*)(const char*, const char*, void*);
using StatusTrigger = void (*)(int, void*);

int intVar(const std::string& name) {
    int value = -12345;
    kro::host::runtime().vars().getIntVar(name, value);
    return value;
}

template <typename Pred> bool waitUntil(Pred done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A driver from the plug-in, its threadRun() on a thread, destroyed at the end
// of the scope while it runs. Ready once its callbacks are the registered ones.
class Running {
public:
    Running(const Plugin& plugin, const char* factory, kro::IDeviceManager* dm,
            const std::string& settings)
        : m_status(reinterpret_cast<StatusTrigger>(plugin.symbol("trigger_callback1"))) {
        // A registration or a state left by an earlier driver in this process
        // would make registered() true before this driver's threadRun() began.
        using Register = void (*)(void (*)(int, void*));
        reinterpret_cast<Register>(plugin.symbol("register_callback1"))(nullptr);
        kro::host::runtime().vars().erase("substate");
        m_driver = plugin.factory(factory)(dm, settings);
        auto* base = dynamic_cast<kro::UARTDriverBase*>(m_driver);
        m_thread = std::thread([this, base] {
            base->threadRun();
            m_returned = true;
        });
    }
    ~Running() { destroy(); }

    // Registered once a status report reaches "substate".
    bool registered() {
        return waitUntil([this] {
            m_status(-77, nullptr);
            return intVar("substate") == -77;
        });
    }
    std::chrono::milliseconds destroy() {
        const auto start = std::chrono::steady_clock::now();
        delete m_driver;
        m_driver = nullptr;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(waitUntil([this] { return m_returned.load(); }, 5s));
        if (m_thread.joinable())
            m_thread.join();
        return std::chrono::duration_cast<std::chrono::milliseconds>(took);
    }

private:
    StatusTrigger m_status;
    kro::IDvcDriver* m_driver = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_returned{false};
};

// ---- Common: payloads and topics into the device's variables ---------------

struct CommonMessageCase {
    const char* name;
    const char* topic;
    const char* payload;
    // Expected values of A (SubVariable, size 4), B (SubVariable, size 5,
    // empty address), N (SubVariable, size -1), Z (SubVariable, size 0),
    // T (SubTopic, size 3), P (PubVariable).
    std::vector<std::string> values;
    std::string printed;
};
void PrintTo(const CommonMessageCase& c, std::ostream* os) {
    *os << c.name;
}

class CommonMessage : public ::testing::TestWithParam<CommonMessageCase> {};

TEST_P(CommonMessage, WrittenWhereItFits) {
    const CommonMessageCase& c = GetParam();
    Plugin plugin;
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    std::vector<std::shared_ptr<kro::host::DvcVariable>> vars{
        dev->addVariable(VarSpec{"A", 4, "SubVariable", "a/b", "a0"}),
        dev->addVariable(VarSpec{"B", 5, "SubVariable", "", "b0"}),
        dev->addVariable(VarSpec{"N", -1, "SubVariable", "n", "n0"}),
        dev->addVariable(VarSpec{"Z", 0, "SubVariable", "z", "z0"}),
        dev->addVariable(VarSpec{"T", 3, "SubTopic", "", "t0"}),
        dev->addVariable(VarSpec{"P", 64, "PubVariable", "p", "p0"}),
    };
    Running driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                   R"({"Protocol":"COMMONMQTT","DeviceId":"dev1"})");
    ASSERT_TRUE(driver.registered());
    auto message = reinterpret_cast<MessageTrigger>(plugin.symbol("trigger_callback"));
    Capture out(Capture::Stream::Out);
    message(c.topic, c.payload, dev);
    EXPECT_EQ(out.take(), c.printed);
    std::vector<std::string> values;
    for (const auto& var : vars)
        values.push_back(var->value());
    EXPECT_EQ(values, c.values);
    EXPECT_LT(driver.destroy(), 2s);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommonMessage,
    ::testing::Values(CommonMessageCase{"FitsEverywhereItCan",
                                        "c",
                                        "42",
                                        {"42", "42", "n0", "z0", "c", "p0"},
                                        "the size of variable -1 is less than result 2\n"
                                        "the size of variable 0 is less than result 2\n"},
                      CommonMessageCase{"AsLongAsTheSize",
                                        "a/b",
                                        "12345",
                                        {"a0", "12345", "n0", "z0", "a/b", "p0"},
                                        "the size of variable 4 is less than result 5\n"
                                        "the size of variable -1 is less than result 5\n"
                                        "the size of variable 0 is less than result 5\n"},
                      CommonMessageCase{"TopicTooLong",
                                        "long/topic",
                                        "1",
                                        {"1", "1", "n0", "z0", "t0", "p0"},
                                        "the size of variable -1 is less than result 1\n"
                                        "the size of variable 0 is less than result 1\n"
                                        "the size of variable 3 is less than result 10\n"},
                      CommonMessageCase{"EmptyPayload",
                                        "t",
                                        "",
                                        {"", "", "n0", "", "t", "p0"},
                                        "the size of variable -1 is less than result 0\n"},
                      // Bytes count, not characters.
                      CommonMessageCase{"MultibyteCountsBytes",
                                        "u",
                                        "\xc3\xa9\xc3\xa9x",
                                        {"a0", "\xc3\xa9\xc3\xa9x", "n0", "z0", "u", "p0"},
                                        "the size of variable 4 is less than result 5\n"
                                        "the size of variable -1 is less than result 5\n"
                                        "the size of variable 0 is less than result 5\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommonCallbacks, NoDeviceNoWritesAndStatesPerDevice) {
    Plugin plugin;
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    auto a = dev->addVariable(VarSpec{"A", 8, "SubVariable", "a", "a0"});
    Running driver(plugin, "libTlsMqttDriver_loadDriver", &dm,
                   R"({"Protocol":"COMMONMQTT","DeviceId":"dev1"})");
    ASSERT_TRUE(driver.registered());
    auto message = reinterpret_cast<MessageTrigger>(plugin.symbol("trigger_callback"));
    auto status = reinterpret_cast<StatusTrigger>(plugin.symbol("trigger_callback1"));

    Capture out(Capture::Stream::Out);
    message("a", "1", nullptr);
    EXPECT_EQ(a->value(), "a0");
    // A context-less run's state goes to "substate" only.
    status(5, nullptr);
    EXPECT_EQ(intVar("substate"), 5);
    EXPECT_EQ(intVar("dev1.substate"), 100);
    // A device's state goes to "substate", then to "<device>.substate".
    kro::host::Device* other = dm.addDevice("other");
    status(0, other);
    EXPECT_EQ(intVar("substate"), 0);
    EXPECT_EQ(intVar("other.substate"), 0);
    EXPECT_EQ(intVar("dev1.substate"), 100);
    EXPECT_EQ(out.take(), "");
    EXPECT_LT(driver.destroy(), 2s);
}

// ---- AWS: the latest message and every state, whatever the context -------

TEST(AwsCallbacks, LatestMessageAndStateInRuntimeVariables) {
    Plugin plugin;
    kro::host::DeviceManager dm;
    kro::host::Device* dev = dm.addDevice("dev1");
    auto a = dev->addVariable(VarSpec{"A", 8, "SubVariable", "a", "a0"});
    kro::host::runtime().vars().erase("dev1.substate"); // the store outlives earlier tests
    Running driver(plugin, "libAwsMqttDriver_loadDriver", &dm, R"({"Protocol":"AWSMQTT"})");
    ASSERT_TRUE(driver.registered());
    auto message = reinterpret_cast<MessageTrigger>(plugin.symbol("trigger_callback"));
    auto status = reinterpret_cast<StatusTrigger>(plugin.symbol("trigger_callback1"));

    Capture out(Capture::Stream::Out);
    const struct {
        const char* topic;
        const char* payload;
        void* context;
    } messages[] = {{"x/1", "first", nullptr}, {"y", "second value", dev}, {"z", "", nullptr}};
    std::string topic, payload;
    for (const auto& m : messages) {
        message(m.topic, m.payload, m.context);
        kro::host::runtime().vars().getStrVar("Recive-topic", topic, 0);
        kro::host::runtime().vars().getStrVar("Recive-message", payload, 0);
        EXPECT_EQ(topic, m.topic);
        EXPECT_EQ(payload, m.payload);
    }
    EXPECT_EQ(a->value(), "a0");
    for (int state : {0, 5, 135}) {
        status(state, dev);
        EXPECT_EQ(intVar("substate"), state);
        EXPECT_EQ(intVar("dev1.substate"), -12345);
    }
    EXPECT_EQ(out.take(), "");
    EXPECT_LT(driver.destroy(), 2s);
}

// ---- Destroying drivers that never subscribed -------------------------------

struct DestroyCase {
    const char* name;
    const char* factory;
    const char* settings;
    bool run;
};
void PrintTo(const DestroyCase& c, std::ostream* os) {
    *os << c.name;
}

class DriverDestroy : public ::testing::TestWithParam<DestroyCase> {};

TEST_P(DriverDestroy, ReturnsAtOnce) {
    const DestroyCase& c = GetParam();
    Plugin plugin;
    kro::host::DeviceManager dm;
    if (!c.run) {
        kro::IDvcDriver* driver = plugin.factory(c.factory)(&dm, c.settings);
        ASSERT_NE(driver, nullptr);
        const auto start = std::chrono::steady_clock::now();
        delete driver;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        return;
    }
    Capture out(Capture::Stream::Out);
    Running driver(plugin, c.factory, &dm, c.settings);
    ASSERT_TRUE(driver.registered());
    // In the first pause (2 or 3 s): the stop cuts it short.
    EXPECT_LT(driver.destroy(), 1500ms);
    EXPECT_EQ(out.take(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverDestroy,
    ::testing::Values(DestroyCase{"CommonNeverRun", "libTlsMqttDriver_loadDriver",
                                  R"({"Protocol":"COMMONMQTT"})", false},
                      DestroyCase{"AwsNeverRun", "libAwsMqttDriver_loadDriver",
                                  R"({"Protocol":"AWSMQTT"})", false},
                      DestroyCase{"CommonInFirstPause", "libTlsMqttDriver_loadDriver",
                                  R"({"Protocol":"COMMONMQTT","host":"h","port":"1"})", true},
                      DestroyCase{"AwsInFirstPause", "libAwsMqttDriver_loadDriver",
                                  R"({"Protocol":"AWSMQTT"})", true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The AWS factory ---------------------------------------------------------

struct FactoryCase {
    const char* settings;
    bool expectDriver;
};
void PrintTo(const FactoryCase& c, std::ostream* os) {
    *os << c.settings;
}

class AwsFactory : public ::testing::TestWithParam<FactoryCase> {};

TEST_P(AwsFactory, AcceptsOnlyExactAwsProtocol) {
    Plugin plugin;
    auto factory = plugin.factory("libAwsMqttDriver_loadDriver");
    ASSERT_NE(factory, nullptr);
    kro::host::DeviceManager dm;
    kro::IDvcDriver* driver = factory(&dm, GetParam().settings);
    EXPECT_EQ(driver != nullptr, GetParam().expectDriver) << GetParam().settings;
    if (driver) {
        auto* base = dynamic_cast<kro::UARTDriverBase*>(driver);
        ASSERT_NE(base, nullptr);
        EXPECT_NE(static_cast<void*>(base), static_cast<void*>(driver));
        EXPECT_EQ(driver->getSettings(), GetParam().settings);
        delete driver;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, AwsFactory,
    ::testing::Values(FactoryCase{R"({"Protocol":"AWSMQTT"})", true},
                      FactoryCase{R"({"Protocol":"AWSMQTT","host":"ignored"})", true},
                      FactoryCase{R"({"Protocol":"awsmqtt"})", false},
                      FactoryCase{R"({"Protocol":"COMMONMQTT"})", false},
                      FactoryCase{R"({"host":"h"})", false}, FactoryCase{"", false}));

} // namespace
