#include <gtest/gtest.h>

#include <vector>

#include "platform/Palette.h"

TEST(Palette, CountIsClampedAndEntriesAnswerQueries) {
    std::vector<TPaletteEntry> src(300);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = TPaletteEntry{uint8_t(i), uint8_t(i * 2), uint8_t(i * 3), 0};
    const struct {
        int Count, Expected;
    } counts[] = {{-5, 0}, {0, 0}, {1, 1}, {256, 256}, {300, 256}};
    for (const auto& c : counts) {
        HPALETTE p = CreatePalette(src.data(), c.Count);
        ASSERT_NE(p, nullptr) << c.Count;
        EXPECT_EQ(PaletteEntryCount(p), c.Expected) << c.Count;
        DeletePalette(p);
    }
    HPALETTE p = CreatePalette(src.data(), 10);
    TPaletteEntry out[16] = {};
    const struct {
        int Start, Count, Copied;
    } queries[] = {{0, 10, 10}, {0, 16, 10}, {8, 5, 2}, {9, 1, 1}, {10, 1, 0}, {-1, 3, 0}, {0, 0, 0}, {0, -2, 0}};
    for (const auto& q : queries) {
        EXPECT_EQ(GetPaletteEntries(p, q.Start, q.Count, out), q.Copied) << q.Start << "+" << q.Count;
        if (q.Copied > 0) {
            EXPECT_EQ(out[0].peRed, uint8_t(q.Start));
            EXPECT_EQ(out[q.Copied - 1].peBlue, uint8_t((q.Start + q.Copied - 1) * 3));
        }
    }
    DeletePalette(p);
}

TEST(Palette, NullHandlesAreHarmless) {
    TPaletteEntry e;
    EXPECT_EQ(GetPaletteEntries(nullptr, 0, 1, &e), 0);
    EXPECT_EQ(PaletteEntryCount(nullptr), 0);
    EXPECT_EQ(CopyPalette(nullptr), nullptr);
    DeletePalette(nullptr);
}

TEST(Palette, CopyIsIndependent) {
    const TPaletteEntry e[] = {{1, 2, 3, 0}, {4, 5, 6, 0}};
    HPALETTE a = CreatePalette(e, 2);
    HPALETTE b = CopyPalette(a);
    ASSERT_NE(b, a);
    DeletePalette(a);
    TPaletteEntry out[2];
    ASSERT_EQ(GetPaletteEntries(b, 0, 2, out), 2);
    EXPECT_EQ(out[1].peGreen, 5);
    DeletePalette(b);
}
