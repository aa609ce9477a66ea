// random.h - the server's random generator: TT800, a twisted generalized
// feedback shift register of 25 words. Seeded from the clock at start-up;
// all draws are serialised by one mutex.
#pragma once

#include <cstdint>

void static_randinit();                 // seed from the current time
void rand_init(uint32_t seed);          // reseed
uint32_t rand_get();                    // one 32-bit word
void rand_fill(unsigned char* out);     // 20 bytes
void rand_fill_16(unsigned char* out);  // 16 bytes
