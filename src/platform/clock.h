#pragma once

// The local wall clock, read for time stamps in the subscriber's output.

#include <cstddef>
#include <ctime>

// Reads the local clock once and gives the broken-down local time of that
// instant together with its milliseconds (0..999). Both come from the same
// reading so that the seconds and the fraction always belong together.
// Thread-safe. 0 on success, 1 when the time cannot be obtained or converted.
int local_clock_read(struct tm* local, long* milliseconds);

// strftime into `buf`, giving the length written (0 for an empty or failed
// text). A conversion the C library does not know never ends the process: it
// gives whatever the library makes of it, at worst an empty text.
size_t local_time_format(char* buf, size_t size, const char* pattern, const struct tm* local);
