#include "platform/random.h"

#include <cerrno>
#include <sys/random.h>

int secure_random_u32(uint32_t* value) {
    uint32_t drawn;
    // Four bytes never come back short from the kernel's pool except when a
    // signal interrupts the call; retry only that, a bounded number of times.
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t got = getrandom(&drawn, sizeof(drawn), 0);
        if (got == static_cast<ssize_t>(sizeof(drawn))) {
            *value = drawn;
            return 0;
        }
        if (got < 0 && errno != EINTR)
            return 1;
    }
    return 1;
}
