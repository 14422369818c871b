// How many bytes the next TXDT transfer carries when the line may be bad.
// On a clean line every transfer carries the full chunk. After a transfer
// fails, the next one carries half as much (not below kMinTransferBytes),
// so that a line that rarely passes a large transfer unharmed slows the job
// down instead of ending it; after a run of clean transfers the size
// doubles again, up to the chunk.
#pragma once

#include <cstdint>

constexpr uint32_t kMinTransferBytes = 1024;
constexpr uint32_t kCleanTransfersToGrow = 8;

struct TransferSize {
    uint32_t chunk;     // the most one transfer may carry (link and flash loader)
    uint32_t current;   // the most the next transfer carries
    uint32_t cleanRun;  // clean transfers since the size last changed or a transfer failed
};

TransferSize StartTransferSize(uint32_t chunk);
// A transfer of `length` bytes failed: the next carries at most half of it.
// Lengths at or below kMinTransferBytes leave the size alone.
void TransferFailed(TransferSize* size, uint32_t length);
// A transfer went through; the run of clean ones may double the size.
void TransferSucceeded(TransferSize* size);
