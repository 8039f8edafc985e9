// The generator's exact sequences from fixed seeds and the clock seeding.
#include <gtest/gtest.h>

#include <vector>

#include "platform/Files.h"
#include "text/Random.h"

namespace {

std::vector<uint32_t> Draws(uint32_t seed, uint32_t n, int count) {
    RandomSeed = seed;
    std::vector<uint32_t> out;
    for (int i = 0; i < count; ++i) out.push_back(RandomBelow(n));
    return out;
}

TEST(RandomBelow, SequencesFromFixedSeeds) {
    struct Case {
        const char* name;
        uint32_t seed, n;
        std::vector<uint32_t> expected;
    };
    const std::vector<Case> cases = {
        {"four answers from 0", 0, 4, {0, 0, 3, 0, 1, 2}},
        {"ten from 0", 0, 10, {0, 0, 8, 2, 2, 6}},
        {"hundred from 12345", 12345, 100, {38, 28, 7}},
        {"one is always 0", 987654321, 1, {0, 0, 0, 0}},
        {"zero is always 0", 987654321, 0, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Draws(c.seed, c.n, int(c.expected.size())), c.expected);
    }
}

TEST(RandomBelow, StepsTheStateEvenForZeroAndOne) {
    struct Case {
        uint32_t seed, n, after;
    };
    const std::vector<Case> cases = {
        {0, 0, 1},
        {0, 1, 1},
        {1, 0, 0x08088406},
        {0xFFFFFFFF, 7, 0xF7F77BFC},  // -1 * a + 1 wraps modulo 2^32
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seed);
        RandomSeed = c.seed;
        RandomBelow(c.n);
        EXPECT_EQ(RandomSeed, c.after);
    }
}

TEST(RandomBelow, UsesTheHighWordOfTheFullProduct) {
    // With the state at 2^32 - 1 after the step, n - 1 comes out for every n;
    // a 32-bit product or the low bits would give other values.
    const uint32_t beforeMax = 0xFFFFFFFEu * 0xD94FA8CDu;  // inverse of the multiplier
    for (uint32_t n : {2u, 4u, 1000u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(n);
        RandomSeed = beforeMax;
        EXPECT_EQ(RandomBelow(n), n - 1);
        EXPECT_EQ(RandomSeed, 0xFFFFFFFFu);
    }
}

TEST(ReseedFromClock, TakesTheLowWordOfTheCounterElseTheTicks) {
    EXPECT_EQ(SeedFromClocks(0x123456789ABCDEF0ull, 77), 0x9ABCDEF0u);
    EXPECT_EQ(SeedFromClocks(0, 77), 77u);
    EXPECT_EQ(SeedFromClocks(0x100000000ull, 77), 0u);  // readable counter with zero low word
}

TEST(ReseedFromClock, SeedsFromTheMonotonicCounter) {
    const uint64_t before = MonotonicNanoseconds();
    ReseedFromClock();
    const uint64_t after = MonotonicNanoseconds();
    ASSERT_NE(before, 0u);
    // The seed is the counter's low word read between the two readings.
    EXPECT_LE(uint32_t(RandomSeed - uint32_t(before)), uint32_t(after - before));
}

TEST(ReseedFromClock, SuccessiveReseedsDiffer) {
    ReseedFromClock();
    const uint32_t first = RandomSeed;
    // The counter advances many times per millisecond; a short spin is enough.
    uint32_t second = first;
    for (int i = 0; i < 1000 && second == first; ++i) {
        ReseedFromClock();
        second = RandomSeed;
    }
    EXPECT_NE(first, second);
}

}  // namespace
