#pragma once

#include <string>

#include "kro/kro.h"

namespace kro::test {

using Factory = kro::IDvcDriver* (*)(kro::IDeviceManager*, std::string);

// The built plug-in, loaded the way the host loads it.
class Plugin {
public:
    Plugin();
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // Null when the plug-in does not export the name.
    void* symbol(const char* name) const;
    Factory factory(const char* name) const { return reinterpret_cast<Factory>(symbol(name)); }

private:
    void* m_handle;
};

} // namespace kro::test
