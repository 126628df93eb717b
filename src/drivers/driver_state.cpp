#include "drivers/driver_state.h"

#include <map>

#include "kro/kro.h"
#include "text/lines.h"

void StopSignal::request() {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requested = true;
        wake = m_wake;
    }
    m_cv.notify_all();
    if (wake)
        wake();
}

void StopSignal::setWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wake = std::move(wake);
}

bool StopSignal::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [this] { return m_requested.load(); });
}

void setPubState(int value) {
    kro::getRuntime()->getVarManager()->setIntVar("pubstate", value, 0);
}

void noteBrokerInUse(const std::string& varPrefix, const std::string& broker) {
    static std::mutex mutex;
    static std::map<std::string, std::string> inUse;
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::string& last = inUse[varPrefix];
        if (last == broker)
            return;
        last = broker;
    }
    kro::getRuntime()->getVarManager()->setStrVar(varPrefix + "broker", broker, 0);
    printLine("[kro info]broker in use: " + printable(broker) + "\n");
}
