// rand_s is declared only when this is defined before the C headers.
#define _CRT_RAND_S
#include <stdlib.h>

#include "platform/random.h"

int secure_random_u32(uint32_t* value) {
    unsigned int drawn = 0;
    if (rand_s(&drawn) != 0)
        return 1;
    *value = drawn;
    return 0;
}
