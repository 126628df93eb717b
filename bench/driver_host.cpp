#include "driver_host.h"

#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <stdexcept>

#include "bench_util.h"

namespace kro::bench {

using Factory = kro::IDvcDriver* (*)(kro::IDeviceManager*, std::string);

DriverHost::DriverHost(kro::host::DeviceManager& dm, const std::string& settings,
                       const char* factory) {
    m_plugin = dlopen(KRO_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!m_plugin)
        throw std::runtime_error(std::string("dlopen failed: ") + dlerror());
    auto make = reinterpret_cast<Factory>(dlsym(m_plugin, factory));
    if (!make)
        throw std::runtime_error(std::string("the plug-in has no ") + factory);
    m_driver = make(&dm, settings);
    if (!m_driver)
        throw std::runtime_error("the factory refused " + settings);
    auto* base = dynamic_cast<kro::UARTDriverBase*>(m_driver);
    if (!base)
        throw std::runtime_error("the driver is no UARTDriverBase");
    m_thread = std::thread([this, base] {
        base->threadRun();
        m_returned = true;
    });
}

DriverHost::~DriverHost() {
    delete m_driver;
    if (waitUntil([this] { return m_returned.load(); }, std::chrono::seconds(10), 10)) {
        m_thread.join();
        dlclose(m_plugin);
        return;
    }
    // A benchmark must not hang on a driver that does not stop; the figures
    // are out already.
    std::fprintf(stderr, "threadRun() did not return after the driver was deleted\n");
    std::fflush(nullptr);
    std::_Exit(3);
}

std::string commonSettings(const std::string& deviceId, int port, const std::string& extra) {
    return "{\"Protocol\":\"COMMONMQTT\",\"DeviceId\":\"" + deviceId +
           "\",\"host\":\"127.0.0.1\",\"port\":\"" + std::to_string(port) + "\"" + extra + "}";
}

PublisherDir::PublisherDir()
    : m_old(std::filesystem::current_path().string()), m_dir(makeTempDir("kro-bench-pub")) {
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(m_dir) / "Debug");
    fs::create_symlink(KRO_PUBLISHER_PROGRAM, fs::path(m_dir) / "Debug" / "mosquitto_pub.exe");
    fs::current_path(m_dir);
}

PublisherDir::~PublisherDir() {
    std::error_code ec;
    std::filesystem::current_path(m_old, ec);
    removeTree(m_dir);
}

} // namespace kro::bench
