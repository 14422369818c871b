#include "flashdll/image/ranges.h"

#include <gtest/gtest.h>

#include "flashdll/image/image_buffer.h"

// Found by argument-dependent lookup, so they live beside FlashRange.
bool operator==(const FlashRange& a, const FlashRange& b) { return a.first == b.first && a.last == b.last; }
void PrintTo(const FlashRange& r, std::ostream* os) { *os << std::hex << "0x" << r.first << "-0x" << r.last; }

namespace {

using Ranges = std::vector<FlashRange>;

TEST(Ranges, InclusiveOverlapAndMergeOfListNeighboursOnly) {
    EXPECT_EQ(RangesOverlap(0x100, 0x1FF, 0x200, 0x2FF), 0);
    EXPECT_EQ(RangesOverlap(0x100, 0x200, 0x200, 0x2FF), 1);
    EXPECT_EQ(RangesOverlap(0x100, 0x1FF, 0x180, 0x190), 1);
    // 0x3000-0x3FFF touches 0x4000-0x40FF, but they are not neighbours in the list; nothing merges round 4 GiB.
    Ranges list = {{0x3000, 0x3FFF}, {0x1000, 0x1FFF}, {0x2000, 0x2FFF}, {0x4000, 0x40FF}, {0x4100, 0x41FF},
                   {0xFFFFFF00, 0xFFFFFFFF}, {0, 0xFF}};
    uint32_t count = 7;
    MergeAdjacentRanges(list.data(), &count);
    EXPECT_EQ(Ranges(list.begin(), list.begin() + count),
              (Ranges{{0x3000, 0x3FFF}, {0x1000, 0x2FFF}, {0x4000, 0x41FF}, {0xFFFFFF00, 0xFFFFFFFF}, {0, 0xFF}}));
}

TEST(Ranges, SubtractCutsTrimsSplitsRemovesAndKeepsCapacity) {
    FlashRange list[8] = {{0x5000, 0x5FFF}, {0x1000, 0x1FFF}, {0x3000, 0x3FFF}};
    uint32_t count = 3;
    const FlashRange cuts[] = {{0x1000, 0x1FFF}, {0x3400, 0x37FF}, {0x4F00, 0x50FF}, {0x5F00, 0x6FFF}};
    ASSERT_TRUE(SubtractRanges(list, &count, 8, cuts, 4));
    EXPECT_EQ(Ranges(list, list + count), (Ranges{{0x3000, 0x33FF}, {0x3800, 0x3FFF}, {0x5100, 0x5EFF}}));
    FlashRange whole[1] = {{0, 0xFFFFFFFF}};
    count = 1;
    const FlashRange ends[] = {{0, 0xFF}, {0xFFFFFF00, 0xFFFFFFFF}};
    ASSERT_TRUE(SubtractRanges(whole, &count, 1, ends, 2));
    EXPECT_EQ(Ranges(whole, whole + count), (Ranges{{0x100, 0xFFFFFEFF}}));
    EXPECT_FALSE(SubtractRanges(whole, &count, 1, cuts + 1, 1)) << "a split needs a second entry";
    EXPECT_LE(count, 1u);
}

}  // namespace
