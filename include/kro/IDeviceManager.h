#pragma once

#include "kro/KroApi.h"
#include <string>

#include "kro/IDevice.h"

namespace kro {

// The host's registry of devices. Part of the host's binary interface: the
// virtual functions are declared in the host's slot order, which must not
// change.
class KRO_CORE_API IDeviceManager {
public:
    virtual ~IDeviceManager() = default;
    // Null when no device has this id.
    virtual IDevice* getDevice(const std::string& id) = 0;
};

} // namespace kro
