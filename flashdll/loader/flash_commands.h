// The flash loader commands behind programming, verify and read-back: the
// sector senders (OPEN, TXDT, CLOS, ERAS), each alone and under the
// retry-with-resync rule, and the retry loops of Setup and VerifyData.
#pragma once

#include <cstdint>

#include "flashdll/loader/flash_layout.h"
#include "flashdll/loader/transfer_size.h"

struct Session;

uint32_t OpenSector(Session* session, const SectorSpan& sector, uint32_t flags);
// TXDT of address..address+length-1; the range must lie in one memory area
// of the user image (its parts are taken from there).
uint32_t SendData(Session* session, uint32_t address, uint32_t length);
uint32_t CloseSector(Session* session, const SectorSpan& sector);
uint32_t EraseSector(Session* session, const SectorSpan& sector);

// The senders under the retry-with-resync rule with attempt limit `limit`.
uint32_t OpenSectorWithRetries(Session* session, const SectorSpan& sector, uint32_t flags,
                               uint32_t limit);
uint32_t SendDataWithRetries(Session* session, uint32_t address, uint32_t length, uint32_t limit);
// SendData under the retry rule, where each retry after a failed transfer
// carries half as many bytes as the one that failed (see TransferSize). A
// retry that carries fewer bytes than the attempt before does not count
// against the limit, so a bad line cannot use the attempts up on the way
// down from a large transfer. *length is the planned length on entry and
// the length that went through (or was given up on) on return.
uint32_t SendPieceWithRetries(Session* session, uint32_t address, uint32_t* length,
                              uint32_t limit, TransferSize* size);
uint32_t CloseSectorWithRetries(Session* session, const SectorSpan& sector, uint32_t limit);
uint32_t EraseSectorWithRetries(Session* session, const SectorSpan& sector, uint32_t limit);

// What happens on the link between two Setup attempts.
enum class SetupRecovery { Flush, Resync };
// Setup with the options' attempt limit; ERR_TOO_MANY_RETRIES after
// "Giving up on Setup".
uint32_t SetupWithRetries(Session* session, SetupRecovery recovery);

// Up to max(limit, 1) attempts of VerifyData; a difference or an abort ends
// them at once, every attempt failing otherwise gives ERR_TOO_MANY_RETRIES.
uint32_t VerifyWithRetries(Session* session, uint32_t address, uint32_t length, bool loud,
                           uint32_t limit);
