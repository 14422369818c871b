// Whole jobs against the stand-in handset, through the library's exports.
//
// A JobFixture owns a home directory (FLASHDLL_HOME) holding platform.def,
// flash.types, loader and image files; it starts a handsetsim::Handset and
// points FLASHDLL_COM<n> at its UARTs; RunJob then runs one job the way a
// host does (FlashInit, callbacks, FlashParseOptionString, FlashLoad,
// FlashFinish) and returns the result with everything the host received.
//
//     JobFixture job;
//     job.AddPlatform(PassivePlatform("P1", "fl.s19", 0x20000000));
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

    // Sets `key`, replacing an earlier value.
    PlatformSection& Set(const std::string& key, const std::string& value);
    // Flash0, Flash1 ... from `definitions`; on memory interface type 0 also ChipDesc=1.
    PlatformSection& WithFlash(const std::vector<std::string>& definitions);
};

// Memory interface type 0 with an active boot ROM (flash loader at 0).
PlatformSection ActivePlatform(const std::string& name, const std::string& flashLoader);
// Memory interface type 0 with a passive boot ROM, without or with a setup loader.
PlatformSection PassivePlatform(const std::string& name, const std::string& flashLoader, uint32_t flashLoaderBase);
PlatformSection PassiveWithSetupLoader(const std::string& name, const std::string& setupLoader,
                                       uint32_t setupLoaderBase, const std::string& flashLoader,
                                       uint32_t flashLoaderBase);
// Memory interface type 1 (passive, setup loader required).
PlatformSection Mit1Platform(const std::string& name, const std::string& setupLoader, uint32_t setupLoaderBase,
                             const std::string& flashLoader, uint32_t flashLoaderBase);
// A flash definition value: "base,MiB,chip select" for memory interface
// type 0; "base,MiB[,CFS MiB]" for type 1 (cfsMiB < 0 leaves it out).
std::string FlashDefinition(uint32_t base, uint32_t mebibytes, uint32_t chipSelect);
std::string FlashDefinitionMit1(uint32_t base, uint32_t mebibytes, int cfsMiB = -1);

// One stretch of an image: data at an address.
struct ImageChunk {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

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

// A setup that hands FlashLoad a contents file and contents mode.
JobSetup WithContents(const std::string& path, uint32_t contentsMode);

struct JobResult {
    uint32_t code = ERR_UNKNOWN;  // FlashLoad's result, or the failing export's
    // Every callback of the job (the parser's echo lines are cleared first).
    std::shared_ptr<RecordingHost> host;
    std::string Transcript() const { return host ? host->Transcript() : std::string(); }
    bool Has(const std::string& text, int level = -1) const { return host->HasMessage(text, level); }
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
    // Enters an AMD-family chip ("8*8,64*63": eight 8-KiB sectors, then
    // sixty-three of 64 KiB) into flash.types and returns the slot the
    // handset reports it with.
    handsetsim::ChipSlot AddAmdChip(uint8_t manufacturer, uint32_t device, uint32_t start,
                                    const std::string& layout);
    // An S-record file of `size` random bytes from `base`.
    LoaderFile WriteLoader(const std::string& name, uint32_t base, uint32_t size, uint32_t seed = 1);
    std::string WriteImage(const std::string& name, const std::vector<ImageChunk>& chunks);

    // Starts the handset and sets FLASHDLL_COM<comNumbers[i]> to UART i.
    handsetsim::Handset& StartHandset(const handsetsim::Scenario& scenario, const std::vector<uint32_t>& comNumbers);
    handsetsim::Handset* Handset() { return handset_.get(); }
    // Points COM `comNumber` at any device path (one that does not exist, say).
    void SetComDevice(uint32_t comNumber, const std::string& path);
    // Points COM `comNumber` at a pseudo-terminal that takes whatever is
    // written to it and never answers: a handset that is switched off.
    void UseIdlePort(uint32_t comNumber);

    JobResult RunJob(const std::string& optionText, const JobSetup& setup = {});

    // Whether the handset's RAM of `stage` ("boot", "setup") holds the loader.
    ::testing::AssertionResult RamHolds(const std::string& stage, const LoaderFile& loader) const;
    // Whether the handset's flash holds `chunks`.
    ::testing::AssertionResult FlashHolds(const std::vector<ImageChunk>& chunks) const;
    // What the handset received: the commands of one name, payload word
    // `index` of each of them, the names of all commands in order.
    std::vector<handsetsim::CommandRecord> Sent(const std::string& name) const;
    std::vector<uint32_t> Words(const std::string& name, size_t index) const;
    std::vector<std::string> CommandNames() const;

private:
    TempDir home_;
    std::string platformText_;
    std::string descriptions_, chipInfos_, layouts_;  // flash.types sections
    std::unique_ptr<handsetsim::Handset> handset_;
    std::vector<std::unique_ptr<IdlePort>> idlePorts_;
    std::vector<std::string> variables_;  // environment variables set here
};

// Payload word `index` of a command (0xDEADBEEF past its end).
uint32_t PayloadWord(const handsetsim::CommandRecord& command, size_t index);

}  // namespace testing_support
