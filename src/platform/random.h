#pragma once

// Random numbers from the operating system's secure source.

#include <cstdint>

// Draws 32 random bits; needs no seeding. 0 on success, 1 when the source
// could not be read (*value is then left alone).
int secure_random_u32(uint32_t* value);
