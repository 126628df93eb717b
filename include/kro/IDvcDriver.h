#pragma once

#include "kro/KroApi.h"
#include <memory>
#include <string>

#include "kro/IDevice.h"
#include "kro/IDvcVariable.h"

namespace kro {

// The interface the host drives every plug-in driver through. Part of the
// host's binary interface: the virtual functions are declared in the host's
// slot order, which must not change.
class KRO_CORE_API IDvcDriver {
public:
    virtual ~IDvcDriver() = default;
    virtual void add(IDevice* device) = 0;
    virtual std::string getSettings() = 0;
    virtual std::string getSetting(std::string key) = 0;
    virtual std::string getDllName() = 0;
    virtual std::string getIf() = 0;
    virtual std::string getIfName() = 0;
    virtual bool postData(std::shared_ptr<IDvcVariable> var) = 0;
    virtual bool start() = 0;
    virtual bool stop() = 0;
    virtual bool reconnect() = 0;
    virtual void setDll(void* dll) = 0;
    virtual void* getDll() = 0;
};

} // namespace kro
