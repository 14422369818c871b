// The boot ROM's replies: the input is every byte the handset's ROM boot
// loader (and its setup loader) sends, read by the library's own boot
// dialogues from the fuzz build's in-memory line.
//
// Scenario byte, bits 0..1: 0 a passive boot loader of memory interface type
// 0, 1 one of type 1 (which always asks for the setup loader), 2 an active
// boot loader, 3 an active one with the option unattended. Bit 2: the
// platform ignores the setup loader. The passive dialogue downloads the setup
// loader when the info record asks for it, and then talks to the setup loader.
// A dialogue that succeeds must have written every byte of what it loaded.
#include <cstring>
#include <memory>

#include "flashdll/boot/boot_internal.h"
#include "flashdll/boot/boot_loader.h"
#include "flashdll/hw/platform.h"
#include "flashdll/os/fuzz/fuzz_line.h"
#include "flashdll/session/session.h"
#include "support/fuzz_dialogue.h"
#include "support/fuzz_host.h"

namespace {

using fuzz_support::FuzzHost;

constexpr uint8_t kScenarioKindMask = 0x03;
constexpr uint8_t kPassiveType1 = 1;
constexpr uint8_t kActiveUnattended = 3;
constexpr uint8_t kScenarioIgnoreSetupLoader = 0x04;

constexpr uint32_t kSetupLoaderBase = 0x08000000;
constexpr uint32_t kFlashLoaderBase = 0x08020000;

// The loader images: a setup loader of 1 KiB and a flash loader of two
// regions that span two RAM blocks.
struct Loaders {
    std::unique_ptr<uint8_t[]> setupLoader{new uint8_t[kSetupLoaderAreaSize]};
    std::unique_ptr<uint8_t[]> flashLoader{new uint8_t[kFlashLoaderAreaSize]};
    Loaders() {
        for (uint32_t i = 0; i < kSetupLoaderAreaSize; ++i) setupLoader[i] = static_cast<uint8_t>(i * 7);
        for (uint32_t i = 0; i < kFlashLoaderAreaSize; ++i) flashLoader[i] = static_cast<uint8_t>(i * 13);
    }
};

void SetImage(ImageBuffer* image, uint32_t base, uint32_t areaSize, uint8_t* data, const FlashRange* regions,
              uint32_t regionCount) {
    image->areaCount = 1;
    image->areas[0] = MemoryArea{base, base + areaSize - 1, data};
    image->regionCount = regionCount;
    for (uint32_t i = 0; i < regionCount; ++i) image->regions[i] = regions[i];
}

void SetUpPlatform(Session* session, uint8_t scenario, Loaders& loaders) {
    const uint8_t kind = scenario & kScenarioKindMask;
    PlatformRecord& platform = session->platform;
    platform.memoryInterfaceType = kind == kPassiveType1 ? 1 : 0;
    platform.bootLoaderType = kind <= kPassiveType1 ? kBootLoaderPassive : kBootLoaderActive;
    platform.setupLoaderIgnored = (scenario & kScenarioIgnoreSetupLoader) != 0 ? 1 : 0;
    platform.setupLoaderBase = kSetupLoaderBase;
    platform.flashLoaderBase = kFlashLoaderBase;
    session->options.unattended = kind == kActiveUnattended ? 1 : 0;
    const FlashRange setupRegions[] = {{kSetupLoaderBase, kSetupLoaderBase + 0x3FF}};
    const FlashRange flashRegions[] = {{kFlashLoaderBase, kFlashLoaderBase + 0x7FF},
                                       {kFlashLoaderBase + 0x1000, kFlashLoaderBase + 0x17FF}};
    SetImage(&session->setupLoaderImage, kSetupLoaderBase, kSetupLoaderAreaSize, loaders.setupLoader.get(),
             setupRegions, 1);
    SetImage(&session->flashLoaderImage, kFlashLoaderBase, kFlashLoaderAreaSize, loaders.flashLoader.get(),
             flashRegions, 2);
}

uint64_t RegionBytes(const ImageBuffer& image) {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < image.regionCount; ++i) bytes += image.regions[i].last - image.regions[i].first + 1;
    return bytes;
}

// What a successful boot loader phase must at least have sent.
uint64_t LoadedBytes(const Session& session) {
    if (session.platform.bootLoaderType == kBootLoaderActive) {
        return static_cast<uint64_t>(RamBlockCount(&session.flashLoaderImage)) * kRamBlockSize;
    }
    const uint64_t flashLoader = RegionBytes(session.flashLoaderImage);
    return session.platform.setupLoaderUsed == 1 ? flashLoader + RegionBytes(session.setupLoaderImage) : flashLoader;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FuzzHost host;
    static Loaders loaders;
    Session* session = host.session();
    const fuzz_support::LineInput input = fuzz_support::StartLine(session, data, size);
    fuzz_support::OpenLineSession(session, 1);
    SetUpPlatform(session, input.scenario, loaders);
    const uint32_t code = TalkToBootLoader(session);
    FUZZ_CHECK(fuzz_support::IsErrorCode(code));
    FUZZ_CHECK(session->platform.setupLoaderUsed <= 1);
    if (code == SUCCESS) FUZZ_CHECK(os::fuzz::BytesWritten() >= LoadedBytes(*session));
    fuzz_support::CloseLineSession(session);
    return 0;
}
