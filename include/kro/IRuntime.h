#pragma once

#include <string>

#include "kro/KroApi.h"

namespace kro {

// The host's store of runtime variables (integers and texts by name). Part of
// the host's binary interface: the virtual functions are declared in the
// host's slot order, which must not change.
class KRO_CORE_API IVarManager {
public:
    virtual ~IVarManager() = default;
    // True, with out filled, when the variable exists.
    virtual bool getStrVar(const std::string& name, std::string& out, int flag) = 0;
    virtual void setIntVar(const std::string& name, int value, int flag) = 0;
    virtual void setStrVar(const std::string& name, const std::string& value, int flag) = 0;
};

// The host runtime. Part of the host's binary interface: the virtual functions
// are declared in the host's slot order, which must not change.
class KRO_CORE_API IRuntime {
public:
    virtual ~IRuntime() = default;
    virtual IVarManager* getVarManager() = 0;
};

KRO_CORE_API IRuntime* getRuntime();

} // namespace kro
