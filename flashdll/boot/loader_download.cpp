// Downloading a loader program into the handset's RAM region by region, in
// chunks of "data" commands: address, length, then the bytes.
#include <cstdio>
#include <cstring>

#include "flashdll/boot/boot_internal.h"
#include "flashdll/boot/boot_loader.h"
#include "flashdll/link/fourcc.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/os/thread.h"
#include "flashdll/session/thread_priority.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kDataTimeoutMs = 4000;
constexpr uint32_t kDataAttempts = 10;        // failed chunks in a row before giving up
constexpr uint32_t kShrinkStepBytes = 128;    // passive boot loader: smaller chunks after a failure ...
constexpr uint32_t kShrinkFloorBytes = 512;   // ... while the limit is above this
constexpr uint32_t kDataCommand = FourCC("data");

uint32_t RegionSize(const FlashRange& region) { return region.last - region.first + 1; }

uint32_t SendChunk(Session* session, const MemoryArea& area, uint32_t address, uint32_t length) {
    uint8_t payload[kBlPayloadCapacity];
    LogLine(session, "Send: 0x%08lx - 0x%08lx (=%lu)", static_cast<unsigned long>(address),
            static_cast<unsigned long>(address + length - 1), static_cast<unsigned long>(length));
    PutLe32(payload, address);
    PutLe32(payload + 4, length);
    std::memcpy(payload + 8, area.data + (address - area.first), length);
    return BLSendCmd(session, kDataCommand, length + 8, payload, 0, 0, nullptr, kDataTimeoutMs);
}

void BeginRegionProgress(Session* session, const LoaderDownload& download, uint32_t index) {
    char title[kFormatBufferSize];
    const uint32_t count = download.image->regionCount;
    if (download.label != nullptr) {
        std::snprintf(title, sizeof title, "Loading %s (%u/%u) ...", download.label, index + 1, count);
    } else {
        std::snprintf(title, sizeof title, "Loading RAM (%u/%u) ...", index + 1, count);
    }
    ProgressBegin(session, title, RegionSize(download.image->regions[index]));
}

uint32_t SendRegion(Session* session, LoaderDownload& download, const FlashRange& region) {
    const MemoryArea& area = download.image->areas[0];
    uint32_t address = region.first;
    uint32_t remaining = RegionSize(region);
    uint32_t attemptsLeft = kDataAttempts;
    while (remaining > 0) {
        const uint32_t length = remaining < download.chunkLimit ? remaining : download.chunkLimit;
        const uint32_t result = SendChunk(session, area, address, length);
        if (result == SUCCESS) {
            address += length;
            remaining -= length;
            attemptsLeft = kDataAttempts;
            ProgressAdvance(session, length);
            continue;
        }
        if (result == ERR_ABORT) {
            return result;
        }
        BLSync(session);  // an abort shows in the next exchange
        if (download.shrinkOnFailure && download.chunkLimit > kShrinkFloorBytes) {
            download.chunkLimit -= kShrinkStepBytes;
        }
        if (--attemptsLeft == 0) {
            LogLine(session, "Too many retries for PC_DATA");
            return ERR_TOO_MANY_RETRIES;
        }
    }
    return SUCCESS;
}

// Regions lie in the image's single memory area when the image was read
// with its own checks; refuse anything else rather than read past the area.
bool RegionsInsideArea(Session* session, const ImageBuffer* image) {
    const MemoryArea& area = image->areas[0];
    for (uint32_t i = 0; i < image->regionCount; ++i) {
        const FlashRange& region = image->regions[i];
        if (image->areaCount == 0 || area.data == nullptr || region.first < area.first ||
            region.last > area.last || region.first > region.last) {
            LogLine(session, "Region 0x%08lx - 0x%08lx lies outside the loader's memory",
                    static_cast<unsigned long>(region.first), static_cast<unsigned long>(region.last));
            return false;
        }
    }
    return true;
}

uint32_t SendRegions(Session* session, LoaderDownload& download) {
    const ImageBuffer* image = download.image;
    for (uint32_t i = 0; i < image->regionCount; ++i) {
        BeginRegionProgress(session, download, i);
        const uint32_t result = SendRegion(session, download, image->regions[i]);
        if (result != SUCCESS) {
            return result;
        }
        ProgressAdvance(session, RegionSize(image->regions[i]));  // fills the display
        ProgressEnd(session);
    }
    return SUCCESS;
}

}  // namespace

uint32_t LoadLoaderImage(Session* session, LoaderDownload* download) {
    const ImageBuffer* image = download->image;
    unsigned long total = 0;
    for (uint32_t i = 0; i < image->regionCount; ++i) {
        total += RegionSize(image->regions[i]);
    }
    LogLine(session, "Data to transfer: %lu bytes in %u region(s)", total, image->regionCount);
    if (download->chunkLimit == 0 || download->chunkLimit > kBlMaxChunk) {
        return ERR_BAD_PARAMS;  // the dialogues refuse such transfer sizes before
    }
    if (!RegionsInsideArea(session, image)) {
        return ERR_BAD_SREC_ADDR;
    }
    PushThreadPriority(session, os::kPriorityTimeCritical);
    const uint32_t result = SendRegions(session, *download);
    PopThreadPriority(session);
    return result;
}
