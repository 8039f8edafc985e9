// The process-wide pseudo-random source of the drills: a 32-bit linear
// congruential generator, reseeded from a clock before each selection.
#pragma once

#include <cstdint>

// The generator's state; 0 at start-up.
extern uint32_t RandomSeed;

// Advances the state by one step and returns floor(n * state / 2^32),
// a number in [0, n) (0 for n = 0).
uint32_t RandomBelow(uint32_t n);

// Sets RandomSeed to the low 32 bits of the monotonic nanosecond counter,
// or to the millisecond tick count when that counter cannot be read.
void ReseedFromClock();

// The seed ReseedFromClock picks from the given clock readings; counter is
// 0 when the counter could not be read.
uint32_t SeedFromClocks(uint64_t counter, uint32_t tickMilliseconds);
