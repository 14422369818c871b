// The active boot loader's RAM transfer: after the program request "R" the
// flash loader image goes out as numbered 4096-byte blocks, each echoed by
// its number and acknowledged after a 16-bit checksum; the block number
// 0xFFFF ends the transfer.
#include <cstdio>

#include "flashdll/boot/boot_internal.h"
#include "flashdll/boot/boot_loader.h"
#include "flashdll/link/serial.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"
#include "flashdll/report/size_text.h"

namespace {

constexpr uint32_t kBlockTransferTimeoutMs = 1000;
constexpr uint32_t kBlockAttempts = 5;
constexpr uint32_t kEndMarker = 0xFFFF;

constexpr uint8_t kProgramRequest = 'R';
constexpr uint8_t kBlockNumberCommand = 'b';
constexpr uint8_t kBlockEcho = 'B';
constexpr uint8_t kChecksumCommand = 'c';
constexpr uint8_t kBlockAccepted = 'N';
constexpr uint8_t kTransferChecksumFailed = 'T';
constexpr uint8_t kFlashChecksumFailed = 'F';
constexpr uint8_t kLastBlockAccepted = 'P';

const uint8_t* BlockBytes(Session* session, uint32_t block) {
    return session->flashLoaderImage.areas[0].data + static_cast<size_t>(block) * kRamBlockSize;
}

uint32_t Port(Session* session) { return session->currentPort; }

uint32_t ReadEndMarkerAnswer(Session* session) {
    uint8_t answer = 0;
    uint32_t got = 0;
    const int ok = ComRead(session, Port(session), &answer, 1, &got);
    if (ok == 0) {
        LogLine(session, "No response from target, err code=%d, last block", ok);
        return ERR_PROTOCOL;
    }
    if (got != 1) {
        LogLine(session, "RX: FAILED (1 != %lu), last block", static_cast<unsigned long>(got));
        return ERR_PROTOCOL;
    }
    if (answer != kLastBlockAccepted) {
        LogLine(session, "RX: Got %c (instead of %c), last block", answer, kLastBlockAccepted);
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

uint32_t ReadBlockEcho(Session* session, uint32_t block) {
    uint8_t echo[3] = {0, 0, 0};
    uint32_t got = 0;
    const int ok = ComRead(session, Port(session), echo, 3, &got);
    if (ok == 0) {
        LogLine(session, "RX: FAILED (%d)", ok);
        PostHostMessage(session, FLASH_LEVEL_WARNING, "RX: FAILED for block %u!", block);
        return ERR_PROTOCOL;
    }
    if (got != 3) {
        LogLine(session, "RX: FAILED (3 != %lu)", static_cast<unsigned long>(got));
        PostHostMessage(session, FLASH_LEVEL_WARNING, "timeout or wrong length for the expected %u!", block);
        return ERR_PROTOCOL;
    }
    if (echo[0] != kBlockEcho) {
        LogLine(session, "RX: Got response %c (instead of %c)", echo[0], kBlockEcho);
        PostHostMessage(session, FLASH_LEVEL_WARNING, "maybe it was a negative acknowledge %u!", block);
        return ERR_PROTOCOL;
    }
    const uint32_t echoed = static_cast<uint32_t>(echo[1]) << 8 | echo[2];
    if (echoed != block) {
        LogLine(session, "Wrong block number acknowledged, got response %u (instead of %u)", echoed, block);
        PostHostMessage(session, FLASH_LEVEL_WARNING, "%u is not %u!", echoed, block);
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

uint32_t ChecksumFailed(Session* session, uint8_t verdict) {
    LogLine(session, verdict == kTransferChecksumFailed ? "RX: Got RSP_TX_CHK_FAIL" : "RX: Got RSP_FL_CHK_FAIL");
    uint8_t detail[2] = {0, 0};
    uint32_t got = 0;
    ComRead(session, Port(session), detail, 2, &got);  // only logged
    LogLine(session, "RX: Got 0x%02x 0x%02x 0x%02x", verdict, detail[0], detail[1]);
    PostHostMessage(session, FLASH_LEVEL_WARNING, "Checksum Error!");
    RecordError(session, ERR_CRC);
    return ERR_CRC;
}

// One block with up to five attempts; SUCCESS or ERR_TOO_MANY_RETRIES.
uint32_t TransferBlock(Session* session, uint32_t block) {
    for (uint32_t attempt = 0; attempt < kBlockAttempts; ++attempt) {
        if (SendBlockNumber(session, block) != SUCCESS) {
            LogLine(session, "Send Block Number %u failed!", block);
            PostHostMessage(session, FLASH_LEVEL_WARNING, "Send Block No failed!");
            continue;
        }
        if (SendBlockData(session, block) != SUCCESS) {
            // The checksum exchange tells the handset and us how it went.
            PostHostMessage(session, FLASH_LEVEL_WARNING, "Send Block failed!");
        }
        if (SendBlockChecksum(session, block) == SUCCESS) {
            return SUCCESS;
        }
        LogLine(session, "Send Block %u Checksum failed!", block);
    }
    return ERR_TOO_MANY_RETRIES;
}

uint32_t TransferBlocks(Session* session, uint32_t count) {
    for (uint32_t block = 0; block < count; ++block) {
        ProgressUpdate(session, block);
        const uint32_t result = TransferBlock(session, block);
        if (result != SUCCESS) {
            return result;
        }
    }
    SendBlockNumber(session, kEndMarker);  // logs its own outcome
    return SUCCESS;
}

}  // namespace

uint32_t RamBlockCount(const ImageBuffer* image) {
    if (image->areaCount == 0 || image->areas[0].data == nullptr || image->regionCount == 0) {
        return 0;
    }
    const MemoryArea& area = image->areas[0];
    uint32_t highest = 0;
    for (uint32_t i = 0; i < image->regionCount; ++i) {
        if (image->regions[i].last > highest) {
            highest = image->regions[i].last;
        }
    }
    const uint64_t areaBytes = static_cast<uint64_t>(area.last) - area.first + 1;
    const uint64_t areaBlocks = areaBytes / kRamBlockSize;  // the areas are whole blocks
    if (highest < area.first) {
        return 0;
    }
    const uint64_t blocks = (static_cast<uint64_t>(highest) - area.first) / kRamBlockSize + 1;
    return static_cast<uint32_t>(blocks < areaBlocks ? blocks : areaBlocks);
}

void ProtocolError(Session* session, const char* name, uint8_t expected, uint8_t received) {
    char text[kFormatBufferSize];
    if (received != 0) {
        std::snprintf(text, sizeof text, "Expected %s (0x%.2X), received 0x%.2X", name, expected, received);
        RecordError(session, ERR_PROTOCOL);
    } else {
        std::snprintf(text, sizeof text, "Timeout receiving %s", name);
        RecordError(session, ERR_TIMEOUT);
    }
    PostHostMessage(session, FLASH_LEVEL_WARNING, "Protocol Error: %s", text);
}

bool WaitForProgReq(Session* session) {
    uint8_t byte = 0;
    uint32_t got = 0;
    if (ComRead(session, Port(session), &byte, 1, &got) == 0) {
        PostHostMessage(session, FLASH_LEVEL_WARNING, "ReadFile failed");
        return false;
    }
    if (got != 1 || byte != kProgramRequest) {
        ProtocolError(session, "PROG_REQ", kProgramRequest, got == 1 ? byte : 0);
        return false;
    }
    return true;
}

uint32_t LoadRam(Session* session) {
    if (!WaitForProgReq(session)) {
        return ERR_PROTOCOL;
    }
    const uint32_t keptTimeoutMs = ComSetTimout(session, Port(session), kBlockTransferTimeoutMs);
    const uint32_t count = RamBlockCount(&session->flashLoaderImage);
    char size[kSizeTextSize];
    PostHostMessage(session, FLASH_LEVEL_INFO, "%s, %u blocks to transfer = %s", "Loading Ram", count,
                    SizeText(count * kRamBlockSize, size, sizeof size));
    ProgressBegin(session, "Loading Ram...", count);
    const uint32_t result = TransferBlocks(session, count);
    ComSetTimout(session, Port(session), keptTimeoutMs);
    ProgressUpdate(session, count);
    ProgressEnd(session);
    return result;
}

uint32_t SendBlockNumber(Session* session, uint32_t block) {
    const uint8_t command[3] = {kBlockNumberCommand, static_cast<uint8_t>(block >> 8),
                                static_cast<uint8_t>(block & 0xFF)};
    uint32_t written = 0;
    if (ComWrite(session, Port(session), command, 3, &written) == 0 || written != 3) {
        LogLine(session, "TX: CMD_BLK_NO failed (%lu != %lu)", 3ul, static_cast<unsigned long>(written));
        return ERR_PROTOCOL;
    }
    return block == kEndMarker ? ReadEndMarkerAnswer(session) : ReadBlockEcho(session, block);
}

uint32_t SendBlockData(Session* session, uint32_t block) {
    LogLine(session, "TX: data[%u] (%d bytes)", block, static_cast<int>(kRamBlockSize));
    uint32_t written = 0;
    if (ComWrite(session, Port(session), BlockBytes(session, block), kRamBlockSize, &written) == 0 ||
        written != kRamBlockSize) {
        LogLine(session, "TX: FAILED (%d != %lu)", static_cast<int>(kRamBlockSize),
                static_cast<unsigned long>(written));
        return ERR_PROTOCOL;
    }
    return SUCCESS;
}

uint32_t SendBlockChecksum(Session* session, uint32_t block) {
    const uint16_t checksum = BlockChecksum(BlockBytes(session, block), kRamBlockSize);
    const uint8_t command[3] = {kChecksumCommand, static_cast<uint8_t>(checksum >> 8),
                                static_cast<uint8_t>(checksum & 0xFF)};
    uint32_t written = 0;
    if (ComWrite(session, Port(session), command, 3, &written) == 0 || written != 3) {
        return ERR_PROTOCOL;
    }
    uint8_t verdict = 0;
    uint32_t got = 0;
    const int ok = ComRead(session, Port(session), &verdict, 1, &got);
    if (ok == 0) {
        LogLine(session, "RX: FAILED (%d)", ok);
        return ERR_PROTOCOL;
    }
    if (got != 1) {
        LogLine(session, "RX: FAILED; (1 != %lu)", static_cast<unsigned long>(got));
        return ERR_PROTOCOL;
    }
    if (verdict == kBlockAccepted) {
        return SUCCESS;
    }
    if (verdict == kTransferChecksumFailed || verdict == kFlashChecksumFailed) {
        return ChecksumFailed(session, verdict);
    }
    LogLine(session, "RX: Protocol error, got response %c", verdict);
    return ERR_PROTOCOL;
}
