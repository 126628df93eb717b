#pragma once

#include "kro/KroApi.h"
#include <string>

namespace kro {

// A named host variable. Part of the host's binary interface: the virtual
// functions are declared in the host's slot order, which must not change.
class KRO_CORE_API IVariable {
public:
    virtual ~IVariable() = default;
    virtual std::string getName() = 0;
};

} // namespace kro
