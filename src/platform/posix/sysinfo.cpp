#include "platform/sysinfo.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

int sys_process_id(void) {
    return static_cast<int>(getpid());
}

namespace {

// strerror_r comes in two flavours: GNU returns the text (possibly a static
// string, not buf), XSI fills buf and returns 0 on success.
[[maybe_unused]] void copy_error_text(const char* text, char* buf, size_t size) {
    if (text != buf)
        std::snprintf(buf, size, "%s", text ? text : "");
}
[[maybe_unused]] void copy_error_text(int rc, char* buf, size_t size) {
    if (rc != 0 && size > 0)
        buf[0] = '\0';
}

} // namespace

void sys_error_text(int err, char* buf, size_t size) {
    if (!buf || size == 0)
        return;
    buf[0] = '\0';
    copy_error_text(strerror_r(err, buf, size), buf, size);
    buf[size - 1] = '\0';
}
