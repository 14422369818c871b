// The held-back word of programming: the last word of an image region that
// starts at kHeldBackRegionStart is programmed as erased at first and
// written only after every other sector is closed, so that an interrupted
// job never leaves it in place over incomplete data. The rewrite sends the
// word's whole sector; every byte of it that the job does not program is
// read back from the handset first, so the rewrite puts it back unchanged.
#pragma once

#include <cstdint>

#include "flashdll/loader/flash_layout.h"
#include "flashdll/loader/transfer_size.h"
#include "flashdll/session/held_back_word.h"

struct Session;

// Keeps the word aside and puts erased bytes in its place in the user image
// (a previous job's word is forgotten first).
void HoldBackWord(Session* session);
// The kept word's sector must lie in the user image's memory areas: the
// rewrite takes every byte of it from there.
uint32_t CheckHeldBackSector(Session* session);
// Reads the bytes of the kept word's sector that lie outside the regions
// about to be programmed into the user image (SETP must have been sent).
uint32_t ReadBackHeldBackSector(Session* session);
// Puts the word back into the user image and programs its sector whole
// (OPEN with flags 0x01, TXDT in pieces of at most `size`'s current length,
// smaller after a failed transfer as in the walk, CLOS), each command under
// the retry rule with attempt limit `limit`.
uint32_t RewriteHeldBackSector(Session* session, uint32_t limit, TransferSize* size);
