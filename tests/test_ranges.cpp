#include <gtest/gtest.h>

#include <vector>

#include "flashdll/image/image_buffer.h"
#include "flashdll/image/ranges.h"

// Found by argument-dependent lookup, so they live beside FlashRange.
bool operator==(const FlashRange& a, const FlashRange& b) { return a.first == b.first && a.last == b.last; }
void PrintTo(const FlashRange& r, std::ostream* os) { *os << std::hex << "0x" << r.first << "-0x" << r.last; }

namespace {

using Ranges = std::vector<FlashRange>;

TEST(RangesOverlap, InclusiveBoundsAndContainment) {
    EXPECT_EQ(RangesOverlap(0x100, 0x1FF, 0x200, 0x2FF), 0);
    EXPECT_EQ(RangesOverlap(0x100, 0x200, 0x200, 0x2FF), 1);
    EXPECT_EQ(RangesOverlap(0x180, 0x190, 0x100, 0x1FF), 1);  // a inside b
    EXPECT_EQ(RangesOverlap(0x100, 0x1FF, 0x180, 0x190), 1);  // b inside a
    EXPECT_EQ(RangesOverlap(0x200, 0x2FF, 0x100, 0x1FF), 0);
    EXPECT_EQ(RangesOverlap(0xFFFFFF00, 0xFFFFFFFF, 0, 0xFF), 0);
}

TEST(SortRanges, StableByFirstAddress) {
    Ranges list = {{0x3000, 0x3FFF}, {0x1000, 0x10FF}, {0x2000, 0x2FFF}, {0x1000, 0x1FFF}, {0, 0}};
    SortRanges(list.data(), static_cast<uint32_t>(list.size()));
    const Ranges expected = {{0, 0}, {0x1000, 0x10FF}, {0x1000, 0x1FFF}, {0x2000, 0x2FFF}, {0x3000, 0x3FFF}};
    EXPECT_EQ(list, expected);
}

TEST(MergeAdjacentRanges, JoinsOnlyNeighboursInListOrder) {
    // 0x3000-0x3FFF touches 0x4000-0x40FF, but they are not neighbours in the list.
    Ranges list = {{0x3000, 0x3FFF}, {0x1000, 0x1FFF}, {0x2000, 0x2FFF}, {0x4000, 0x40FF}};
    uint32_t count = 4;
    MergeAdjacentRanges(list.data(), &count);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(Ranges(list.begin(), list.begin() + 3),
              (Ranges{{0x3000, 0x3FFF}, {0x1000, 0x2FFF}, {0x4000, 0x40FF}}));

    Ranges chain = {{0, 0xF}, {0x10, 0x1F}, {0x20, 0x2F}, {0x30, 0x3F}};
    count = 4;
    MergeAdjacentRanges(chain.data(), &count);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(chain[0], (FlashRange{0, 0x3F}));

    // The top of the address space does not wrap round to address 0.
    Ranges top = {{0xFFFFFF00, 0xFFFFFFFF}, {0, 0xFF}};
    count = 2;
    MergeAdjacentRanges(top.data(), &count);
    EXPECT_EQ(count, 2u);
}

TEST(CheckRangesDisjoint, FindsAnyOverlappingPair) {
    const Ranges disjoint = {{0x3000, 0x3FFF}, {0x1000, 0x1FFF}, {0x2000, 0x2FFF}};
    EXPECT_EQ(CheckRangesDisjoint(disjoint.data(), 3), static_cast<uint32_t>(SUCCESS));
    const Ranges overlap = {{0x3000, 0x3FFF}, {0x1000, 0x1FFF}, {0x1800, 0x1800}};
    EXPECT_EQ(CheckRangesDisjoint(overlap.data(), 3), static_cast<uint32_t>(ERR_RANGES_OVERLAP));
    EXPECT_EQ(CheckRangesDisjoint(overlap.data(), 0), static_cast<uint32_t>(SUCCESS));
}

Ranges RegionsOf(const ImageBuffer& buffer) {
    return Ranges(buffer.regions, buffer.regions + buffer.regionCount);
}

TEST(AddRegion, KeepsListSortedAndMergesTouchingRegions) {
    static ImageBuffer buffer;
    buffer.regionCount = 0;
    EXPECT_EQ(AddRegion(&buffer, 0x3000, 0x3FFF), 0u);
    EXPECT_EQ(AddRegion(&buffer, 0x1000, 0x1FFF), 0u);
    EXPECT_EQ(RegionsOf(buffer), (Ranges{{0x1000, 0x1FFF}, {0x3000, 0x3FFF}}));
    EXPECT_EQ(AddRegion(&buffer, 0x2000, 0x2FFF), 0u);  // fills the gap: all three join
    EXPECT_EQ(RegionsOf(buffer), (Ranges{{0x1000, 0x3FFF}}));
    EXPECT_EQ(AddRegion(&buffer, 0x5000, 0x5FFF), 0u);
    EXPECT_EQ(RegionsOf(buffer), (Ranges{{0x1000, 0x3FFF}, {0x5000, 0x5FFF}}));
}

TEST(AddRegion, ReportsOverlapByIndexAndKeepsTheNewRegion) {
    static ImageBuffer buffer;
    buffer.regionCount = 0;
    AddRegion(&buffer, 0x1000, 0x1FFF);
    AddRegion(&buffer, 0x3000, 0x3FFF);
    EXPECT_EQ(AddRegion(&buffer, 0x3800, 0x38FF), 2u);
    EXPECT_EQ(RegionsOf(buffer), (Ranges{{0x1000, 0x1FFF}, {0x3000, 0x3FFF}, {0x3800, 0x38FF}}));
    buffer.regionCount = 2;
    EXPECT_EQ(AddRegion(&buffer, 0x0800, 0x1000), 1u);  // inserted in front, overlaps the old first
}

TEST(SubtractRanges, CutsTrimsSplitsAndRemoves) {
    FlashRange list[8] = {{0x5000, 0x5FFF}, {0x1000, 0x1FFF}, {0x3000, 0x3FFF}};
    uint32_t count = 3;
    const FlashRange cuts[] = {
        {0x1000, 0x1FFF},  // removes the whole range
        {0x3400, 0x37FF},  // strictly inside: splits
        {0x4F00, 0x50FF},  // trims the start
        {0x5F00, 0x6FFF},  // trims the end
    };
    ASSERT_TRUE(SubtractRanges(list, &count, 8, cuts, 4));
    EXPECT_EQ(Ranges(list, list + count),
              (Ranges{{0x3000, 0x33FF}, {0x3800, 0x3FFF}, {0x5100, 0x5EFF}}));
}

TEST(SubtractRanges, EdgesOfTheAddressSpaceAndCapacity) {
    FlashRange whole[2] = {{0, 0xFFFFFFFF}};
    uint32_t count = 1;
    const FlashRange ends[] = {{0, 0xFF}, {0xFFFFFF00, 0xFFFFFFFF}};
    ASSERT_TRUE(SubtractRanges(whole, &count, 2, ends, 2));
    EXPECT_EQ(Ranges(whole, whole + count), (Ranges{{0x100, 0xFFFFFEFF}}));

    FlashRange full[1] = {{0x1000, 0x1FFF}};
    count = 1;
    const FlashRange inside = {0x1400, 0x14FF};
    EXPECT_FALSE(SubtractRanges(full, &count, 1, &inside, 1)) << "a split needs a second entry";
    EXPECT_LE(count, 1u);
}

}  // namespace
