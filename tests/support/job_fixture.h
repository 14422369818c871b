// Whole jobs against the stand-in handset, through the library's exports. A
// JobFixture owns a home directory (FLASHDLL_HOME) for platform.def, flash.types,
// loader and image files, starts a handsetsim::Handset with FLASHDLL_COM<n> on
// its UARTs, and runs jobs the way a host does (FlashInit ... FlashFinish).
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
    PlatformSection& Set(const std::string& key, const std::string& value);  // replaces an earlier value
    // Flash0, Flash1 ...; on memory interface type 0 also ChipDesc=1.
    PlatformSection& WithFlash(const std::vector<std::string>& definitions);
};

// Memory interface type 0: active boot ROM (flash loader at 0); passive,
// without or with a setup loader. Type 1: passive with a setup loader.
PlatformSection ActivePlatform(const std::string& name, const std::string& flashLoader);
PlatformSection PassivePlatform(const std::string& name, const std::string& flashLoader, uint32_t flashLoaderBase);
PlatformSection PassiveWithSetupLoader(const std::string& name, const std::string& setupLoader, uint32_t setupLoaderBase,
                                       const std::string& flashLoader, uint32_t flashLoaderBase);
PlatformSection Mit1Platform(const std::string& name, const std::string& setupLoader, uint32_t setupLoaderBase,
                             const std::string& flashLoader, uint32_t flashLoaderBase);
// Flash definition values: "base,MiB,chip select" (type 0), "base,MiB[,CFS MiB]" (type 1).
std::string FlashDefinition(uint32_t base, uint32_t mebibytes, uint32_t chipSelect);
std::string FlashDefinitionMit1(uint32_t base, uint32_t mebibytes, int cfsMiB = -1);

struct ImageChunk {
    uint32_t address;
    std::vector<uint8_t> bytes;
};
std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed);

struct LoaderFile {
    std::string path;
    uint32_t base;
    std::vector<uint8_t> bytes;
};

struct JobSetup {
    std::function<void(FlashLoadOptions&)> adjustOptions;  // after parsing: fields the parser does not set
    std::function<void(RecordingHost&)> adjustHost;        // after the callbacks are installed
};
// A setup that hands FlashLoad a contents file and contents mode.
JobSetup WithContents(const std::string& path, uint32_t contentsMode);

struct JobResult {
    uint32_t code = ERR_UNKNOWN;          // FlashLoad's result, or the failing export's
    std::shared_ptr<RecordingHost> host;  // every callback after the option parser's
    std::string Transcript() const { return host ? host->Transcript() : std::string(); }
    bool Has(const std::string& text, int level = -1) const { return host->HasMessage(text, level); }
};

class JobFixture {
public:
    JobFixture();  // not copyable: it owns a directory, a handset and environment variables
    ~JobFixture();
    const TempDir& Home() const { return home_; }
    std::string Path(const std::string& name) const { return home_.File(name); }
    void AddPlatform(const PlatformSection& section);
    // Enters a chip into flash.types: family "amd", "intel" ...; layout "8*8,64*63"
    // (eight 8-KiB sectors, then 63 of 64 KiB); method "standard", "pagebuffer:32" ...
    void AddChipType(uint16_t manufacturer, uint32_t device, const std::string& family, const std::string& layout,
                     const std::string& method = "standard", const std::string& description = "Test flash");
    // An AMD-family chip entered so, and the slot the handset reports it with.
    handsetsim::ChipSlot AddAmdChip(uint8_t manufacturer, uint32_t device, uint32_t start, const std::string& layout);
    // An S-record file of `size` random bytes from `base`.
    LoaderFile WriteLoader(const std::string& name, uint32_t base, uint32_t size, uint32_t seed = 1);
    std::string WriteImage(const std::string& name, const std::vector<ImageChunk>& chunks);

    // Starts the handset and sets FLASHDLL_COM<comNumbers[i]> to UART i.
    handsetsim::Handset& StartHandset(const handsetsim::Scenario& scenario, const std::vector<uint32_t>& comNumbers);
    handsetsim::Handset* Handset() { return handset_.get(); }
    void SetComDevice(uint32_t comNumber, const std::string& path);

    JobResult RunJob(const std::string& optionText, const JobSetup& setup = {});

    // Whether the RAM of `stage` ("boot", "setup") holds the loader; whether the flash holds `chunks`.
    ::testing::AssertionResult RamHolds(const std::string& stage, const LoaderFile& loader) const;
    ::testing::AssertionResult FlashHolds(const std::vector<ImageChunk>& chunks) const;
    // What the handset received: commands of one name, their word `index`, all names in order.
    std::vector<handsetsim::CommandRecord> Sent(const std::string& name) const;
    std::vector<uint32_t> Words(const std::string& name, size_t index) const;
    std::vector<std::string> CommandNames() const;

private:
    TempDir home_;
    std::string platformText_, descriptions_, chipInfos_, layouts_;
    std::unique_ptr<handsetsim::Handset> handset_;
    std::vector<std::string> variables_;  // environment variables set here
};

// Payload word `index` of a command (0xDEADBEEF past its end); all its
// words (a last partial one as 0xDEADBEEF).
uint32_t PayloadWord(const handsetsim::CommandRecord& command, size_t index);
std::vector<uint32_t> PayloadWords(const handsetsim::CommandRecord& command);

// Jobs on one 2-MiB chip at 0x20000000 (4 sectors of 64 KiB, 7 of 256 KiB), platform P1.
class FlashHandsetTest : public ::testing::Test {
protected:
    static constexpr uint32_t kFlashBase = 0x20000000, kFlashSize = 0x200000, kFlashLoaderBase = 0x08000000;
    void SetUp() override {
        job.AddPlatform(PassivePlatform("P1", "fl.s19", kFlashLoaderBase).WithFlash({FlashDefinition(kFlashBase, 2, 0)}));
        loader = job.WriteLoader("fl.s19", kFlashLoaderBase, 2048);
        scenario.chips.push_back(job.AddAmdChip(0x01, 0x227E, kFlashBase, "64*4,256*7"));
    }
    // Starts the handset on COM1 (and COM2). With `inFlashLoader` the flash
    // loader already runs and jobs skip the boot loader phase.
    void Start(uint32_t uarts = 1, bool inFlashLoader = true) {
        scenario.uartCount = uarts;
        scenario.startInFlashLoader = inFlashLoader;
        handset = &job.StartHandset(scenario, {1, 2});
        options_ = std::string("/platform=P1 /debug=1 /com=") + (uarts == 2 ? "1,2" : "1") +
                   (inFlashLoader ? " /phases=fl" : "") + " /file=" + job.Path("image.s19") + " ";
    }
    JobResult Run(const std::string& options, const JobSetup& setup = {}) { return job.RunJob(options_ + options, setup); }
    // Writes image.s19 from `chunks` and keeps them in `image`.
    void WriteImage(const std::vector<ImageChunk>& chunks) { job.WriteImage("image.s19", image = chunks); }

    JobFixture job;
    LoaderFile loader;
    handsetsim::Scenario scenario;
    handsetsim::Handset* handset = nullptr;
    std::vector<ImageChunk> image;
    std::string options_;
};

}  // namespace testing_support
