#include "flashdll/image/ranges.h"

#include "flashdll/image/image_buffer.h"

namespace {

// True when `next` starts right after `range` ends (never across the top of
// the address space).
bool Touching(const FlashRange& range, const FlashRange& next) {
    return range.last != 0xFFFFFFFFu && range.last + 1 == next.first;
}

void RemoveAt(FlashRange* ranges, uint32_t* count, uint32_t index) {
    for (uint32_t k = index; k + 1 < *count; ++k) {
        ranges[k] = ranges[k + 1];
    }
    --*count;
}

void InsertAt(FlashRange* ranges, uint32_t* count, uint32_t index, FlashRange range) {
    for (uint32_t k = *count; k > index; --k) {
        ranges[k] = ranges[k - 1];
    }
    ranges[index] = range;
    ++*count;
}

// Removes one cut from the list in place; false when a split would need more
// than `capacity` entries.
bool SubtractOne(FlashRange* ranges, uint32_t* count, uint32_t capacity, FlashRange cut) {
    uint32_t i = 0;
    while (i < *count) {
        FlashRange& range = ranges[i];
        if (!RangesOverlap(range.first, range.last, cut.first, cut.last)) {
            ++i;
            continue;
        }
        const bool keepsHead = cut.first > range.first;
        const bool keepsTail = cut.last < range.last;
        if (keepsHead && keepsTail) {
            if (*count >= capacity) {
                return false;
            }
            const FlashRange tail = {cut.last + 1, range.last};
            range.last = cut.first - 1;
            InsertAt(ranges, count, i + 1, tail);
            i += 2;
        } else if (keepsHead) {
            range.last = cut.first - 1;
            ++i;
        } else if (keepsTail) {
            range.first = cut.last + 1;
            ++i;
        } else {
            RemoveAt(ranges, count, i);
        }
    }
    return true;
}

}  // namespace

int RangesOverlap(uint32_t aFirst, uint32_t aLast, uint32_t bFirst, uint32_t bLast) {
    const bool bFirstInA = aFirst <= bFirst && bFirst <= aLast;
    const bool bLastInA = aFirst <= bLast && bLast <= aLast;
    const bool aInsideB = bFirst <= aFirst && aLast <= bLast;
    return bFirstInA || bLastInA || aInsideB ? 1 : 0;
}

// Insertion sort: stable, and the lists are short (at most a few thousand).
void SortRanges(FlashRange* ranges, uint32_t count) {
    for (uint32_t i = 1; i < count; ++i) {
        const FlashRange moving = ranges[i];
        uint32_t k = i;
        while (k > 0 && ranges[k - 1].first > moving.first) {
            ranges[k] = ranges[k - 1];
            --k;
        }
        ranges[k] = moving;
    }
}

// A merge never changes an entry's first address, so entries before the one
// just merged cannot become mergeable: one pass that stays on a grown entry
// joins every chain of touching neighbours.
void MergeAdjacentRanges(FlashRange* ranges, uint32_t* count) {
    uint32_t i = 0;
    while (i + 1 < *count) {
        if (Touching(ranges[i], ranges[i + 1])) {
            ranges[i].last = ranges[i + 1].last;
            RemoveAt(ranges, count, i + 1);
        } else {
            ++i;
        }
    }
}

uint32_t CheckRangesDisjoint(const FlashRange* ranges, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        for (uint32_t j = 0; j < count; ++j) {
            if (i != j && RangesOverlap(ranges[i].first, ranges[i].last, ranges[j].first, ranges[j].last)) {
                return ERR_RANGES_OVERLAP;
            }
        }
    }
    return SUCCESS;
}

uint32_t AddRegion(ImageBuffer* buffer, uint32_t first, uint32_t last) {
    uint32_t position = 0;
    while (position < buffer->regionCount && buffer->regions[position].first < first) {
        ++position;
    }
    InsertAt(buffer->regions, &buffer->regionCount, position, FlashRange{first, last});
    for (uint32_t i = 1; i < buffer->regionCount; ++i) {
        const FlashRange& before = buffer->regions[i - 1];
        const FlashRange& region = buffer->regions[i];
        if (RangesOverlap(before.first, before.last, region.first, region.last)) {
            return i;
        }
    }
    MergeAdjacentRanges(buffer->regions, &buffer->regionCount);
    return 0;
}

// The cuts are applied one after another; when a split does not fit, the
// list is left part-way (still within `capacity`) and false is returned, so
// the caller must not use it.
bool SubtractRanges(FlashRange* ranges, uint32_t* count, uint32_t capacity,
                    const FlashRange* cut, uint32_t cutCount) {
    for (uint32_t c = 0; c < cutCount; ++c) {
        if (cut[c].first > cut[c].last) {
            continue;  // an empty cut removes nothing
        }
        if (!SubtractOne(ranges, count, capacity, cut[c])) {
            return false;
        }
    }
    SortRanges(ranges, *count);
    return true;
}
