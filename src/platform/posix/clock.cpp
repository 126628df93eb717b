#include "platform/clock.h"

#include <time.h>

int local_clock_read(struct tm* local, long* milliseconds) {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return 1;
    if (localtime_r(&now.tv_sec, local) == nullptr)
        return 1;
    *milliseconds = now.tv_nsec / 1000000L;
    return 0;
}

size_t local_time_format(char* buf, size_t size, const char* pattern, const struct tm* local) {
    // glibc copies an unknown conversion through unchanged; nothing to guard.
    return strftime(buf, size, pattern, local);
}
