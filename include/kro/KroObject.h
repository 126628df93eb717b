#pragma once

#include "kro/KroApi.h"

namespace kro {

// Root of the host's object hierarchy. Part of the host's binary interface:
// it is the first base of every driver, so its layout must not change.
class KRO_CORE_API KroObject {
public:
    KroObject() = default;
    KroObject(const KroObject&) = delete;
    KroObject& operator=(const KroObject&) = delete;
    virtual ~KroObject();
};

} // namespace kro
