// A driver run the way the host runs it: the built plug-in loaded with dlopen,
// a driver from its exported factory, threadRun() on a thread of its own.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "kro_host.h"

namespace kro::bench {

class DriverHost {
public:
    // Throws std::runtime_error when the plug-in cannot be loaded or the
    // factory refuses the settings.
    DriverHost(kro::host::DeviceManager& dm, const std::string& settings,
               const char* factory = "libTlsMqttDriver_loadDriver");
    // Deletes the driver as the host does (which ends its threads) and waits,
    // bounded, for threadRun() to return.
    ~DriverHost();
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    void post(const std::shared_ptr<kro::IDvcVariable>& var) { m_driver->postData(var); }

private:
    void* m_plugin = nullptr;
    kro::IDvcDriver* m_driver = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_returned{false};
};

// Settings text of a Common driver for the broker at 127.0.0.1:port.
std::string commonSettings(const std::string& deviceId, int port, const std::string& extra = "");

// A working directory holding the publisher program where the drivers start
// it (./Debug/mosquitto_pub.exe); the previous directory is restored and the
// directory removed at the end.
class PublisherDir {
public:
    PublisherDir();
    ~PublisherDir();
    PublisherDir(const PublisherDir&) = delete;
    PublisherDir& operator=(const PublisherDir&) = delete;

private:
    std::string m_old;
    std::string m_dir;
};

} // namespace kro::bench
