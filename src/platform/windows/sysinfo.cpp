#include "platform/sysinfo.h"

#include <process.h>
#include <windows.h>

#include <cstdio>

int sys_process_id(void) {
    return _getpid();
}

void sys_error_text(int err, char* buf, size_t size) {
    if (!buf || size == 0)
        return;
    buf[0] = '\0';
    // The system's message table, no message source, language 0 (the
    // system's choice). The result is 0 when the table has no such entry.
    char text[1024];
    text[0] = '\0';
    DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, NULL, static_cast<DWORD>(err), 0, text,
                               sizeof(text), NULL);
    if (len == 0)
        return;
    text[sizeof(text) - 1] = '\0';
    std::snprintf(buf, size, "%s", text);
}
