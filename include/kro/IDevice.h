#pragma once

#include "kro/KroApi.h"
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "kro/IDvcVariable.h"
#include "kro/KroSignal.h"

namespace kro {

// A host device and its variables. Part of the host's binary interface: the
// virtual functions are declared in the host's slot order, which must not
// change.
class KRO_CORE_API IDevice {
public:
    virtual ~IDevice() = default;
    virtual std::string getId() = 0;
    // A copy of the list; the variables themselves belong to the device.
    virtual std::vector<IDvcVariable*> getVarList() = 0;

    KroSignal<std::shared_ptr<IDvcVariable>> writeValue;
    std::atomic<bool> refreshVar{false};
};

} // namespace kro
