#include "platform/tick.h"

#include <windows.h>

uint64_t tick_count_ms(void) {
    // Milliseconds since start-up; 64 bits, so it does not wrap after 49 days.
    return static_cast<uint64_t>(GetTickCount64());
}
