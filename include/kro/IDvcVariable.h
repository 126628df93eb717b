#pragma once

#include "kro/KroApi.h"
#include <string>

#include "kro/IVariable.h"

namespace kro {

// A variable of a device, the unit the drivers read and write. Part of the
// host's binary interface: the virtual functions are declared in the host's
// slot order, which must not change.
class KRO_CORE_API IDvcVariable : public IVariable {
public:
    // Capacity of the value in bytes.
    virtual int getSize() = 0;
    // Role of the variable: "SubVariable", "SubTopic" or "PubVariable".
    virtual std::string getAddrType() = 0;
    // For the MQTT drivers: the topic.
    virtual std::string getAddr() = 0;
    virtual std::string getDeviceId() = 0;
    virtual bool setStrValue(const char* text, bool flag) = 0;
    // Valid for the calling thread until its next call.
    virtual const char* getStrValue() = 0;
};

} // namespace kro
