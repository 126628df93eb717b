#pragma once

#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <vector>

#include "kro/IDeviceManager.h"
#include "kro/IDvcDriver.h"
#include "kro/IVariable.h"
#include "kro/KroApi.h"
#include "kro/KroObject.h"

namespace kro {

// The host's driver base class. Part of the host's binary interface: the bases
// (KroObject first, IDvcDriver second) and the virtual functions are declared
// in the host's order, which must not change. Drivers override only the
// destructor and threadRun().
class KRO_CORE_API UARTDriverBase : public KroObject, public IDvcDriver {
public:
    UARTDriverBase(IDeviceManager* dm, std::string settings);
    ~UARTDriverBase() override;

    std::string getSettings() override;
    std::string getSetting(std::string key) override;
    void add(IDevice* device) override;
    std::string getDllName() override;
    std::string getIf() override;
    std::string getIfName() override;
    // Queues the variable for the driver's publish side.
    bool postData(std::shared_ptr<IDvcVariable> var) override;
    bool start() override;
    bool stop() override;
    // The driver's whole run; the host calls it on a thread of its own.
    virtual bool threadRun();
    bool reconnect() override;
    void setDll(void* dll) override;
    void* getDll() override;
    virtual bool writeDevice(IVariable* var);
    virtual bool readDevice(IVariable* var);
    virtual bool openPort();

protected:
    IDeviceManager* m_pDm;
    std::string m_settings;
    void* m_dll = nullptr;
    std::vector<IDevice*> m_devices;

public:
    std::mutex m_postMutex;
    std::queue<std::shared_ptr<IDvcVariable>> m_postQueue;
};

} // namespace kro
