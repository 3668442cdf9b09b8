// The chaos run's random numbers: xoshiro256** seeded through splitmix64. Our own generator, so
// a seed draws the same schedule on every machine and library, whatever rand() would do.
#pragma once

#include <cstdint>

struct ChaosRandomRec {
    uint64_t State[4];
};

inline uint64_t ChaosSplitMix64(uint64_t* x) {
    uint64_t z = (*x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

inline void ChaosSeed(ChaosRandomRec* random, uint64_t seed) {
    uint64_t x = seed;
    for (int i = 0; i < 4; i++)
        random->State[i] = ChaosSplitMix64(&x);
}

inline uint64_t ChaosRotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

inline uint64_t ChaosNext(ChaosRandomRec* random) {
    uint64_t* s = random->State;
    uint64_t result = ChaosRotl(s[1] * 5, 7) * 9;
    uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = ChaosRotl(s[3], 45);
    return result;
}

// A number in [0, bound), bound > 0; the rejection keeps every value equally likely.
inline uint64_t ChaosBelow(ChaosRandomRec* random, uint64_t bound) {
    uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
    uint64_t x;
    do {
        x = ChaosNext(random);
    } while (x >= limit);
    return x % bound;
}

// A number in [low, high].
inline long ChaosRange(ChaosRandomRec* random, long low, long high) {
    return low + (long)ChaosBelow(random, (uint64_t)(high - low + 1));
}
