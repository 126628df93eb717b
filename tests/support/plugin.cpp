#include "support/plugin.h"

#include <dlfcn.h>
#include <stdexcept>

namespace kro::test {

Plugin::Plugin() : m_handle(dlopen(KRO_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) {
    if (!m_handle)
        throw std::runtime_error(std::string("dlopen failed: ") + dlerror());
}

Plugin::~Plugin() {
    dlclose(m_handle);
}

void* Plugin::symbol(const char* name) const {
    return dlsym(m_handle, name);
}

} // namespace kro::test
