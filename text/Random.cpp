#include "text/Random.h"

#include "platform/Files.h"

uint32_t RandomSeed = 0;

uint32_t RandomBelow(uint32_t n) {
    RandomSeed = RandomSeed * 0x08088405u + 1u;
    return uint32_t((uint64_t(n) * uint64_t(RandomSeed)) >> 32);
}

uint32_t SeedFromClocks(uint64_t counter, uint32_t tickMilliseconds) {
    return counter != 0 ? uint32_t(counter) : tickMilliseconds;
}

void ReseedFromClock() {
    const uint64_t counter = MonotonicNanoseconds();
    // The tick count is read only when the counter fails.
    RandomSeed = SeedFromClocks(counter, counter != 0 ? 0 : TickCountMilliseconds());
}
