// random.cpp - TT800 (25 words of state, shift 7, twist constant 0x8EBFD028,
// tempering masks 0x2B5B2500 and 0xDB8B0000 with shifts 7, 15 and 16).
#include "net/random.h"

#include <cstring>
#include <ctime>
#include <mutex>

namespace {

constexpr int N = 25;
constexpr int M = 7;
constexpr uint32_t MAG[2] = {0x0u, 0x8EBFD028u};

std::mutex rand_mutex;
uint32_t state[N];  // REQUIRES: rand_mutex held
int pos = N;        // REQUIRES: rand_mutex held

// REQUIRES: rand_mutex held.
uint32_t next_word() {
    if (pos >= N) {
        int k = 0;
        for (; k < N - M; ++k) state[k] = state[k + M] ^ (state[k] >> 1) ^ MAG[state[k] & 1];
        for (; k < N; ++k) state[k] = state[k + (M - N)] ^ (state[k] >> 1) ^ MAG[state[k] & 1];
        pos = 0;
    }
    uint32_t y = state[pos++];
    y ^= (y << 7) & 0x2B5B2500u;
    y ^= (y << 15) & 0xDB8B0000u;
    y ^= (y >> 16);
    return y;
}

void fill_words(unsigned char* out, int words) {
    std::lock_guard<std::mutex> g(rand_mutex);
    for (int i = 0; i < words; ++i) {
        uint32_t w = next_word();
        memcpy(out + 4 * i, &w, 4);
    }
}

}  // namespace

void rand_init(uint32_t seed) {
    std::lock_guard<std::mutex> g(rand_mutex);
    state[0] = seed | 1u;
    for (int i = 1; i < N; ++i) state[i] = state[i - 1] * 69069u;
    pos = N;
}

void static_randinit() {
    rand_init(static_cast<uint32_t>(time(nullptr)));
}

uint32_t rand_get() {
    std::lock_guard<std::mutex> g(rand_mutex);
    return next_word();
}

void rand_fill(unsigned char* out) {
    fill_words(out, 5);
}
void rand_fill_16(unsigned char* out) {
    fill_words(out, 4);
}
