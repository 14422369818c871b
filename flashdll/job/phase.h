// The phase driver: one phase of a load, timed.
#pragma once

#include <cstddef>
#include <cstdint>

struct Session;

constexpr uint32_t kBootLoaderPhaseMode = 3;

uint32_t SendFile(Session* session, const char* path, uint32_t mode);
// "%lus", "%u:%02u" or "%u:%02u:%02u" for a duration in seconds.
const char* DurationText(uint32_t seconds, char* buffer, size_t size);
