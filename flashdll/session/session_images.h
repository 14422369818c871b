// The three image buffers of a session: the setup loader's, the flash
// loader's and the user image.
#pragma once

#include <cstdint>

struct ImageBuffer;
struct ImageFileJob;
struct Session;

// Sets the loader images' single areas from the platform and allocates every
// area's data block of the three buffers. 1 on success; on failure frees
// everything and returns 0.
int AllocImageBuffers(Session* session);
// Frees every data block of the three buffers (safe to call twice).
void FreeImageBuffers(Session* session);
// Clears area counts and data pointers (start of a load; frees nothing).
void ResetImageBuffers(Session* session);

// The image file operations with the session's options and reporter, stopped
// by AbortRequested.
ImageFileJob ImageFileJobOf(Session* session);
uint32_t LoadSRecordFile(Session* session, ImageBuffer* buffer, const char* path, int rangeCheck);
uint32_t SaveSRecordFile(Session* session, const ImageBuffer* buffer);
