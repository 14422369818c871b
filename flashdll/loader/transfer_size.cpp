#include "flashdll/loader/transfer_size.h"

TransferSize StartTransferSize(uint32_t chunk) {
    return TransferSize{chunk, chunk, 0};
}

void TransferFailed(TransferSize* size, uint32_t length) {
    size->cleanRun = 0;
    if (length <= kMinTransferBytes) return;
    const uint32_t half = length / 2 > kMinTransferBytes ? length / 2 : kMinTransferBytes;
    if (half < size->current) size->current = half;
}

void TransferSucceeded(TransferSize* size) {
    if (size->current >= size->chunk) return;
    if (++size->cleanRun < kCleanTransfersToGrow) return;
    size->cleanRun = 0;
    const uint64_t doubled = static_cast<uint64_t>(size->current) * 2;
    size->current = doubled < size->chunk ? static_cast<uint32_t>(doubled) : size->chunk;
}
