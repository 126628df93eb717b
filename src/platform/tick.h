#pragma once

#include <cstdint>

// Milliseconds on a clock that only moves forward (not the wall clock), for
// measuring delays that must not jump when the system time is set.
uint64_t tick_count_ms(void);
