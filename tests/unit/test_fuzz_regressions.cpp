// Inputs that once broke a fuzz target, replayed on every test run through
// the code path of that target, and the behaviour of the fixes themselves.

#include <gtest/gtest.h>

#include <pthread.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "drivers/CommonMqttClient.h"
#include "kro/Util.h"
#include "kro_host.h"

namespace {

using kro::util::Util;

// The input split at its first NUL bytes into `parts` texts, the last one
// holding the rest, as the fuzz targets read theirs.
std::vector<std::string> parts(const std::string& input, size_t count) {
    std::vector<std::string> out;
    size_t start = 0;
    while (out.size() + 1 < count) {
        size_t nul = input.find('\0', start);
        if (nul == std::string::npos)
            break;
        out.push_back(input.substr(start, nul - start));
        start = nul + 1;
    }
    out.push_back(start <= input.size() ? input.substr(start) : std::string());
    out.resize(count);
    return out;
}

// Settings NUL topic NUL value: the driver built from the settings, every key
// read, the publisher command built, the driver destroyed.
void replayDriverSettings(const std::string& input) {
    const std::vector<std::string> in = parts(input, 3);
    kro::host::DeviceManager dm;
    dm.addDevice("dev1");
    CommonMqttClient driver(&dm, in[0]);
    for (const char* key :
         {"Protocol", "DeviceId", "host", "addr", "port", "clientid", "username", "password",
          "cafile", "cert", "key", "AdditionPubArgs", "AdditionSubArgs", "oneConnetTime"})
        Util::getValFromJsonc(in[0], key);
    driver.buildPubCommand(in[1], in[2]);
}

// Runs `body` on a thread with the stack a host thread has on Windows by
// default (1 MiB), so that unbounded recursion shows up as it would there.
void onHostSizedStack(const std::function<void()>& body) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 1024 * 1024), 0);
    pthread_t thread;
    auto trampoline = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, trampoline, const_cast<std::function<void()>*>(&body)),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Regression {
    const char* file; // in fuzz/regressions/
    void (*replay)(const std::string& input);
};

void PrintTo(const Regression& r, std::ostream* os) {
    *os << r.file;
}

class FuzzRegression : public ::testing::TestWithParam<Regression> {};

TEST_P(FuzzRegression, ReplaysWithoutHarm) {
    const Regression& r = GetParam();
    const std::string input = readFile(std::string(KRO_SOURCE_DIR) + "/fuzz/regressions/" + r.file);
    ASSERT_FALSE(input.empty()) << r.file;
    onHostSizedStack([&] { r.replay(input); });
}

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzRegression,
                         ::testing::Values(
                             // A value nested 20000 levels deep was written out recursively.
                             Regression{"driver_settings-deeply-nested-value",
                                        replayDriverSettings}),
                         [](const auto& info) {
                             std::string name;
                             for (const char* p = info.param.file; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

std::string nestedArrays(size_t depth) {
    return std::string(depth - 1, '[') + "1" + std::string(depth - 1, ']');
}

struct DepthCase {
    const char* name;
    size_t depth; // levels of the "port" value, a scalar being 1
    bool read;    // whether the value comes back as its JSON text
};

void PrintTo(const DepthCase& c, std::ostream* os) {
    *os << c.name;
}

class SettingsValueDepth : public ::testing::TestWithParam<DepthCase> {};

// Values nested up to 64 levels come back as their JSON text; deeper ones read
// as absent, and the other keys of the same settings are still read.
TEST_P(SettingsValueDepth, DeepValuesReadAsAbsent) {
    const DepthCase& c = GetParam();
    const std::string value = nestedArrays(c.depth);
    const std::string settings = R"({"host":"broker","port":)" + value + "}";
    EXPECT_EQ(Util::getValFromJsonc(settings, "port"), c.read ? value : "");
    EXPECT_EQ(Util::getValFromJsonc(settings, "host"), "broker");
}

INSTANTIATE_TEST_SUITE_P(Depths, SettingsValueDepth,
                         ::testing::Values(DepthCase{"Scalar", 1, true},
                                           DepthCase{"OneArray", 2, true},
                                           DepthCase{"AtTheLimit", 64, true},
                                           DepthCase{"OneBeyond", 65, false},
                                           DepthCase{"FarBeyond", 200000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Depth counts through objects as well as arrays.
TEST(SettingsValueDepth, CountsObjectLevels) {
    std::string deep = "1";
    for (int i = 1; i < 65; ++i)
        deep = R"({"a":)" + deep + "}";
    EXPECT_EQ(Util::getValFromJsonc(R"({"port":)" + deep + "}", "port"), "");
    std::string atLimit = "1";
    for (int i = 1; i < 64; ++i)
        atLimit = R"({"a":)" + atLimit + "}";
    EXPECT_EQ(Util::getValFromJsonc(R"({"port":)" + atLimit + "}", "port"), atLimit);
}

} // namespace
