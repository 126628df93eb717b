#include "platform/env.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int user_config_file(const char* file_name, char** path) {
    // USERPROFILE first, so that a configuration that names it means the same
    // everywhere; HOME is where the file lives on POSIX otherwise.
    const char* dir = std::getenv("USERPROFILE");
    if (!dir)
        dir = std::getenv("HOME");
    if (!dir)
        return USER_CONFIG_NONE;
    size_t dir_len = std::strlen(dir);
    if (dir_len < 1 || dir_len > 1023)
        return USER_CONFIG_NONE;

    size_t size = dir_len + std::strlen(file_name) + 2;
    char* buf = static_cast<char*>(std::malloc(size));
    if (!buf)
        return USER_CONFIG_NO_MEMORY;
    std::snprintf(buf, size, "%s/%s", dir, file_name);
    buf[size - 1] = '\0';
    *path = buf;
    return USER_CONFIG_FOUND;
}
