// The platform definition: one section of platform.def describing a kind
// of handset (boot loader dialogue, loader files, flash layout).
#pragma once

#include <cstdint>

#include "flashdll/flashdll.h"
#include "flashdll/report/reporter.h"

struct ImageBuffer;

constexpr uint32_t kPathSize = 256;
constexpr uint32_t kMaxFlashDefinitions = 4;
constexpr uint32_t kBootLoaderPassive = 0;
constexpr uint32_t kBootLoaderActive = 1;
constexpr uint32_t kCfsDefined = 0x80000000u;  // bit of cfsStart
constexpr uint32_t kCfsOffsetMask = ~kCfsDefined;  // the offset bits of cfsStart

struct FlashDefinition {
    uint32_t base;        // address
    uint32_t size;        // bytes
    uint32_t chipSelect;  // 0..7
    uint32_t cfsStart;    // kCfsDefined | offset of the CFS area from base; 0 without one
};

struct PlatformRecord {
    char setupLoaderPath[kPathSize];  // empty without a setup loader
    char flashLoaderPath[kPathSize];
    uint32_t bootLoaderType;    // kBootLoaderPassive or kBootLoaderActive
    uint32_t setupLoaderUsed;   // may be changed by the passive boot loader dialogue
    uint32_t setupLoaderIgnored;
    uint32_t chipDescriptions;
    uint32_t setupLoaderBase;
    uint32_t flashLoaderBase;
    uint32_t stackBase;
    uint32_t memoryInterfaceType;  // 0 or 1
    uint32_t flashDefinitionCount;
    FlashDefinition flashDefinitions[kMaxFlashDefinitions];
};

// What reading a platform works with: the records it fills, the file and
// directory it reads from, the options naming the platform, and where it
// reports.
struct PlatformSource {
    PlatformRecord* platform;
    ImageBuffer* userImage;           // its memory areas follow from the flash layout
    const FlashLoadOptions* options;  // platform and sparenand
    const char* platformDefPath;
    const char* moduleDir;            // with its trailing separator; loader paths start with it
    Reporter reporter;
};

// Reads the options' platform section into the platform record and sets
// the user image's memory areas. 1 usable, 0 not (a log line says why).
int ReadPlatform(const PlatformSource& source);
// Hexadecimal after the first "0x"/"0X" anywhere in the text, else decimal.
uint32_t ParseNumber(const char* text);
// Clears the flash definitions (start of a load).
void ResetFlashDefinitions(PlatformRecord& platform);
