// Whole jobs against the stand-in handset, through the library's exports.
//
// A JobFixture owns a home directory (FLASHDLL_HOME) holding platform.def,
// flash.types, loader and image files; it starts a handsetsim::Handset and
// points FLASHDLL_COM<n> at its UARTs; RunJob then runs one job the way a
// host does (FlashInit, callbacks, FlashParseOptionString, FlashLoad,
// FlashFinish) and returns the result with everything the host received.
//
//     JobFixture job;
//     job.AddPlatform(PassivePlatform("P1", "fl.s19", 0x20000000).WithMaxImageSize(16));
//     LoaderFile loader = job.WriteLoader("fl.s19", 0x20000000, 6000);
//     job.StartHandset(scenario, {1});
//     JobResult result = job.RunJob("/platform=P1 /com=1 /phases=bl");
//     EXPECT_EQ(result.code, 0u) << result.Transcript();
//     EXPECT_TRUE(job.RamHolds("boot", loader));
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "flashdll/flashdll.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"
#include "tools/handsetsim/handsetsim.h"

namespace testing_support {

// One section of platform.def, as key = value lines in order.
struct PlatformSection {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;

    // Sets `key` (replacing an earlier value); an empty value is written as
    // "key=" (present but empty).
    PlatformSection& Set(const std::string& key, const std::string& value);
    PlatformSection& Remove(const std::string& key);
    // Flash0, Flash1 ... from `definitions` (see FlashDefinition); on a
    // memory interface type 0 platform also ChipDesc=1.
    PlatformSection& WithFlash(const std::vector<std::string>& definitions);
    PlatformSection& WithMaxImageSize(uint32_t mebibytes);
    std::string Text() const;
};

// Memory interface type 0 with an active boot ROM (flash loader at 0).
PlatformSection ActivePlatform(const std::string& name, const std::string& flashLoader);
// Memory interface type 0 with a passive boot ROM and no setup loader.
PlatformSection PassivePlatform(const std::string& name, const std::string& flashLoader,
                                uint32_t flashLoaderBase);
// Memory interface type 0, passive boot ROM, with a setup loader.
PlatformSection PassiveWithSetupLoader(const std::string& name, const std::string& setupLoader,
                                       uint32_t setupLoaderBase, const std::string& flashLoader,
                                       uint32_t flashLoaderBase);
// Memory interface type 1 (passive, setup loader required).
PlatformSection Mit1Platform(const std::string& name, const std::string& setupLoader,
                             uint32_t setupLoaderBase, const std::string& flashLoader,
                             uint32_t flashLoaderBase);
// A flash definition value: "base,MiB,chip select" for memory interface
// type 0; "base,MiB[,CFS MiB]" for type 1 (cfsMiB < 0 leaves it out).
std::string FlashDefinition(uint32_t base, uint32_t mebibytes, uint32_t chipSelect);
std::string FlashDefinitionMit1(uint32_t base, uint32_t mebibytes, int cfsMiB = -1);

// One stretch of an image: data at an address.
struct ImageChunk {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

// S-record text (S0 header, S3 data records of up to 32 bytes, S7 end).
std::string SRecordText(const std::vector<ImageChunk>& chunks);
std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed);

// A loader file written by the fixture: where it lies and what it holds.
struct LoaderFile {
    std::string path;
    uint32_t base;
    std::vector<uint8_t> bytes;
};

struct JobSetup {
    // Runs after the option string was parsed, before FlashLoad: the place
    // for fields the parser does not set (contents file, contents mode ...).
    std::function<void(FlashLoadOptions&)> adjustOptions;
    // Runs after the callbacks are installed (abortAfterPolls, own callbacks).
    std::function<void(RecordingHost&)> adjustHost;
};

struct JobResult {
    uint32_t code = ERR_UNKNOWN;  // FlashLoad's result, or the failing export's
    bool loaded = false;          // FlashLoad was called
    // Every callback of the job (the parser's echo lines are cleared first).
    std::shared_ptr<RecordingHost> host;
    std::string Transcript() const { return host ? host->Transcript() : std::string(); }
};

class IdlePort;

class JobFixture {
public:
    JobFixture();
    ~JobFixture();
    JobFixture(const JobFixture&) = delete;
    JobFixture& operator=(const JobFixture&) = delete;

    const TempDir& Home() const { return home_; }
    std::string Path(const std::string& name) const { return home_.File(name); }

    // Appends a section to platform.def.
    void AddPlatform(const PlatformSection& section);
    // Enters a chip into flash.types: family "amd", "intel", ...; layout as
    // in the catalogue ("8*8,64*63"); method "standard", "pagebuffer:32" ...
    void AddChipType(uint16_t manufacturer, uint32_t device, const std::string& family,
                     const std::string& layout, const std::string& method = "standard",
                     const std::string& description = "Test flash");
    // An AMD-family chip: enters it into flash.types and returns the slot
    // the handset reports it with (manufacturer code in bits 16..23).
    handsetsim::ChipSlot AddAmdChip(uint8_t manufacturer, uint32_t device, uint32_t start,
                                    const std::string& layout);

    // An S-record file of `size` random bytes from `base`.
    LoaderFile WriteLoader(const std::string& name, uint32_t base, uint32_t size, uint32_t seed = 1);
    std::string WriteImage(const std::string& name, const std::vector<ImageChunk>& chunks);

    // Starts the handset and sets FLASHDLL_COM<comNumbers[i]> to UART i.
    handsetsim::Handset& StartHandset(const handsetsim::Scenario& scenario,
                                      const std::vector<uint32_t>& comNumbers);
    handsetsim::Handset* Handset() { return handset_.get(); }
    // Points COM `comNumber` at any device path (one that does not exist, say).
    void SetComDevice(uint32_t comNumber, const std::string& path);
    // Points COM `comNumber` at a pseudo-terminal that takes whatever is
    // written to it and never answers: a handset that is switched off.
    void UseIdlePort(uint32_t comNumber);

    JobResult RunJob(const std::string& optionText, const JobSetup& setup = {});

    // Whether the handset's RAM of `stage` ("boot", "setup") holds the loader.
    ::testing::AssertionResult RamHolds(const std::string& stage, const LoaderFile& loader) const;

private:
    void WriteFlashTypes() const;

    TempDir home_;
    std::string platformText_;
    std::vector<std::string> descriptions_, chipInfos_, layouts_;  // flash.types lines
    std::unique_ptr<handsetsim::Handset> handset_;
    std::vector<std::unique_ptr<IdlePort>> idlePorts_;
    std::vector<std::string> variables_;  // environment variables set here
};

}  // namespace testing_support
