#include "platform/env.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int user_config_file(const char* file_name, char** path) {
    char env[1024];
    // The result is the value's length when it fits, 0 when the variable is
    // missing or empty, and the size needed when the buffer is too small.
    DWORD len = GetEnvironmentVariableA("USERPROFILE", env, sizeof(env));
    if (len < 1 || len > 1023)
        return USER_CONFIG_NONE;

    size_t size = len + std::strlen(file_name) + 2;
    char* buf = static_cast<char*>(std::malloc(size));
    if (!buf)
        return USER_CONFIG_NO_MEMORY;
    std::snprintf(buf, size, "%s\\%s", env, file_name);
    buf[size - 1] = '\0';
    *path = buf;
    return USER_CONFIG_FOUND;
}
