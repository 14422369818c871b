// Flash operations on the flash loader: programming, verify and read-back,
// and the commands they share.
#pragma once

#include <cstdint>

#include "flashdll/flashdll.h"
#include "flashdll/hw/flash_chip.h"

struct Session;

constexpr uint32_t kCompareHeadBytes = 256;
constexpr uint32_t kVerifyPieceBytes = 0x20000;  // 128 KiB

uint32_t Setup(Session* session);
uint32_t Done(Session* session);
// VRFY over address..address+length-1 against the user image's data.
uint32_t VerifyData(Session* session, uint32_t address, uint32_t length, bool loud);
uint32_t CompareRange(Session* session, uint32_t address, uint32_t length);
// True when every range lies inside the detected chips (posts the rest otherwise).
bool CheckFlashRanges(Session* session, const FlashRange* ranges, uint32_t count);
// `clip` false: check mode; true: clip mode (ends are cut before the CFS area).
uint32_t CheckCfsArea(Session* session, FlashRange* regions, uint32_t count, bool clip);
bool LocateSector(const Session* session, uint32_t address, SectorPosition* position);

uint32_t LoadFlash(Session* session);
uint32_t VerifyFlash(Session* session);
uint32_t ReadFlash(Session* session);
uint32_t ReadData(Session* session, uint32_t address, uint32_t length, uint8_t* destination);
// Reads `range` into the user image's memory areas in pieces of at most
// `pieceLimit` bytes, each under the read-back's retries; `countProgress`
// advances the progress by every piece.
uint32_t ReadRangeIntoImage(Session* session, const FlashRange& range, uint32_t pieceLimit,
                            bool countProgress);
