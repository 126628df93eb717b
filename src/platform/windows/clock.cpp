#include "platform/clock.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>

int local_clock_read(struct tm* local, long* milliseconds) {
    // One reading only. Taking the seconds from time() and the milliseconds
    // from a separate GetLocalTime() can straddle a second boundary and give a
    // stamp almost a second off, so everything comes from this SYSTEMTIME.
    SYSTEMTIME st;
    GetLocalTime(&st);

    struct tm wall = {};
    wall.tm_year = st.wYear - 1900;
    wall.tm_mon = st.wMonth - 1;
    wall.tm_mday = st.wDay;
    wall.tm_hour = st.wHour;
    wall.tm_min = st.wMinute;
    wall.tm_sec = st.wSecond;
    wall.tm_isdst = -1;
    // SYSTEMTIME carries no day of the year and no daylight-saving flag (which
    // %z depends on): mktime works them out for this local time, and
    // localtime_s turns the instant back into a complete broken-down time.
    time_t seconds = mktime(&wall);
    if (seconds == static_cast<time_t>(-1))
        return 1;
    if (localtime_s(local, &seconds) != 0)
        return 1;
    *milliseconds = st.wMilliseconds;
    return 0;
}

namespace {

// Conversions every Windows C runtime knows, msvcrt.dll included.
const char BASIC_CONVERSIONS[] = "aAbBcdHIjmMpSUwWxXyYzZ%";
#if defined(_MSC_VER) || defined(_UCRT)
// The Universal C runtime knows the C99 set as well.
const char UCRT_CONVERSIONS[] = "CDeFgGhnrRtTuV";
#else
const char UCRT_CONVERSIONS[] = "";
#endif

bool one_of(char c, const char* set) {
    return c != '\0' && strchr(set, c) != nullptr;
}

// Copies `pattern` into `out`, spelling out %F and %T where the runtime lacks
// them. False when the pattern holds a conversion the runtime does not know:
// the runtime treats that as an invalid parameter, whose default handler ends
// the whole process (a user's "@q" must not take the host down).
bool supported_pattern(const char* pattern, char* out, size_t size) {
    size_t used = 0;
    auto append = [&](const char* text, size_t len) {
        if (used + len >= size)
            return false;
        memcpy(out + used, text, len);
        used += len;
        return true;
    };
    for (const char* p = pattern; *p; ++p) {
        if (*p != '%') {
            if (!append(p, 1))
                return false;
            continue;
        }
        const char* conv = p + 1;
        if (*conv == '#')
            ++conv;
        bool ok;
        if (one_of(*conv, BASIC_CONVERSIONS) || one_of(*conv, UCRT_CONVERSIONS))
            ok = append(p, static_cast<size_t>(conv - p) + 1);
        else if (*conv == 'F')
            ok = append("%Y-%m-%d", 8);
        else if (*conv == 'T')
            ok = append("%H:%M:%S", 8);
        else
            return false;
        if (!ok)
            return false;
        p = conv;
    }
    out[used] = '\0';
    return true;
}

} // namespace

size_t local_time_format(char* buf, size_t size, const char* pattern, const struct tm* local) {
    char checked[128];
    size_t written = 0;
    if (supported_pattern(pattern, checked, sizeof(checked)))
        written = strftime(buf, size, checked, local);
    if (written == 0 && size > 0)
        buf[0] = '\0';
    return written;
}
