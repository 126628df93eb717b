#include "kro/UARTDriverBase.h"
#include "kro/Util.h"

namespace kro {

KroObject::~KroObject() = default;

UARTDriverBase::UARTDriverBase(IDeviceManager* dm, std::string settings)
    : m_pDm(dm), m_settings(std::move(settings)) {}

UARTDriverBase::~UARTDriverBase() = default;

std::string UARTDriverBase::getSettings() {
    return m_settings;
}

std::string UARTDriverBase::getSetting(std::string key) {
    return util::Util::getValFromJsonc(m_settings, key);
}

void UARTDriverBase::add(IDevice* device) {
    m_devices.push_back(device);
}
std::string UARTDriverBase::getDllName() {
    return {};
}
std::string UARTDriverBase::getIf() {
    return {};
}
std::string UARTDriverBase::getIfName() {
    return {};
}

bool UARTDriverBase::postData(std::shared_ptr<IDvcVariable> var) {
    std::lock_guard<std::mutex> lock(m_postMutex);
    m_postQueue.push(std::move(var));
    return true;
}

bool UARTDriverBase::start() {
    return true;
}
bool UARTDriverBase::stop() {
    return true;
}
bool UARTDriverBase::threadRun() {
    return false;
}
bool UARTDriverBase::reconnect() {
    return true;
}
void UARTDriverBase::setDll(void* dll) {
    m_dll = dll;
}
void* UARTDriverBase::getDll() {
    return m_dll;
}
bool UARTDriverBase::writeDevice(IVariable*) {
    return false;
}
bool UARTDriverBase::readDevice(IVariable*) {
    return false;
}
bool UARTDriverBase::openPort() {
    return false;
}

} // namespace kro
