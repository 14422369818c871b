// Operations on lists of inclusive address ranges.
#pragma once

#include <cstdint>

#include "flashdll/flashdll.h"

struct ImageBuffer;

// 1 when the inclusive ranges share an address.
int RangesOverlap(uint32_t aFirst, uint32_t aLast, uint32_t bFirst, uint32_t bLast);
// Stable sort by first address.
void SortRanges(FlashRange* ranges, uint32_t count);
// Joins ranges that follow each other in list order and touch.
void MergeAdjacentRanges(FlashRange* ranges, uint32_t* count);
// 0, or ERR_RANGES_OVERLAP when any two ranges overlap.
uint32_t CheckRangesDisjoint(const FlashRange* ranges, uint32_t count);
// Inserts a region in order; 0, or the index i >= 1 of the region that
// overlaps region i - 1 (the new region stays in the list). The caller keeps
// the count below kMaxRegions.
uint32_t AddRegion(ImageBuffer* buffer, uint32_t first, uint32_t last);
// Removes `cut` (inclusive ranges) from `ranges`: a cut strictly inside a
// range splits it. The result, sorted by first address, replaces `ranges`
// and never holds more than `capacity` entries; false when it would.
bool SubtractRanges(FlashRange* ranges, uint32_t* count, uint32_t capacity,
                    const FlashRange* cut, uint32_t cutCount);
