// The plug-in as the host sees it: loaded with dlopen, entries found by their
// plain names, drivers made by the factories and destroyed through the base.

#include <gtest/gtest.h>

#include "kro_host.h"
#include "support/plugin.h"

namespace {

struct FactoryCase {
    const char* settings;
    bool expectDriver;
};

class CommonFactory : public ::testing::TestWithParam<FactoryCase> {};

TEST_P(CommonFactory, AcceptsOnlyExactCommonProtocol) {
    kro::test::Plugin plugin;
    auto factory = plugin.factory("libTlsMqttDriver_loadDriver");
    ASSERT_NE(factory, nullptr);
    kro::host::DeviceManager dm;
    kro::IDvcDriver* driver = factory(&dm, GetParam().settings);
    EXPECT_EQ(driver != nullptr, GetParam().expectDriver) << GetParam().settings;
    if (driver) {
        // The base pointer is usable as the host uses it.
        EXPECT_EQ(driver->getSettings(), GetParam().settings);
        delete driver;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, CommonFactory,
    ::testing::Values(FactoryCase{R"({"Protocol":"COMMONMQTT"})", true},
                      FactoryCase{R"({"Protocol":"COMMONMQTT","DeviceId":"d1","host":"h"})", true},
                      FactoryCase{R"({"Protocol":"commonmqtt"})", false},
                      FactoryCase{R"({"Protocol":"AWSMQTT"})", false},
                      FactoryCase{R"({"Protocol":" COMMONMQTT"})", false},
                      FactoryCase{R"({"host":"h"})", false}, FactoryCase{"not json", false},
                      FactoryCase{"", false}, FactoryCase{R"(["COMMONMQTT"])", false},
                      FactoryCase{R"({"Protocol":"COMMONMQTT")", false}));

TEST(Plugin, ReturnsTheDriverInterfaceBaseNotTheObjectStart) {
    kro::test::Plugin plugin;
    auto factory = plugin.factory("libTlsMqttDriver_loadDriver");
    ASSERT_NE(factory, nullptr);
    kro::host::DeviceManager dm;
    kro::IDvcDriver* driver = factory(&dm, R"({"Protocol":"COMMONMQTT"})");
    ASSERT_NE(driver, nullptr);
    auto* base = dynamic_cast<kro::UARTDriverBase*>(driver);
    ASSERT_NE(base, nullptr);
    // IDvcDriver is the second base, so its address differs from the object's.
    EXPECT_EQ(static_cast<kro::IDvcDriver*>(base), driver);
    EXPECT_NE(static_cast<void*>(base), static_cast<void*>(driver));
    // The queue of the base is the one postData fills.
    auto dev = dm.addDevice("d");
    auto var = dev->addVariable({"v", 8, "PubVariable", "t", "1"});
    EXPECT_TRUE(driver->postData(var));
    EXPECT_EQ(base->m_postQueue.size(), 1u);
    delete driver; // through the interface: the sanitizers catch a partial destructor
}
} // namespace
