// Whole flash, verify and read jobs against a stand-in handset with one
// 2-MiB chip at 0x20000000 (four 64-KiB sectors, then seven of 256 KiB),
// described to the library by platform P1. Header-only: only the test
// programs of the flash operations include it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "flashdll/loader/le.h"
#include "support/job_fixture.h"
#include "tools/handsetsim/handsetsim.h"

namespace testing_support {

constexpr uint32_t kFlashBase = 0x20000000;
constexpr uint32_t kFlashSize = 0x200000;

class FlashHandsetTest : public ::testing::Test {
protected:
    void SetUp() override;
    // Starts the handset on COM1 (and COM2 for two UARTs). With `inFlashLoader`
    // the flash loader already runs and jobs skip the boot loader phase.
    handsetsim::Handset& Start(uint32_t uarts = 1, bool inFlashLoader = true);
    // Runs "/platform=P1 /com=1[,2] /debug=1 /file=image.s19" and `options`.
    JobResult Run(const std::string& options, const JobSetup& setup = {});
    // Writes image.s19 from `chunks` and keeps them in `image`.
    void WriteImage(const std::vector<ImageChunk>& chunks);
    // Commands of one name the handset received, in order.
    std::vector<handsetsim::CommandRecord> Sent(const std::string& name) const;
    // Word `index` of every recorded `name` command.
    std::vector<uint32_t> Field(const std::string& name, size_t index) const;
    // Whether the handset's flash holds `chunks`.
    ::testing::AssertionResult FlashHolds(const std::vector<ImageChunk>& chunks) const;

    JobFixture job;
    handsetsim::Scenario scenario;
    handsetsim::Handset* handset = nullptr;
    std::vector<ImageChunk> image;
    uint32_t uarts_ = 1;
    bool inFlashLoader_ = true;
};

uint32_t PayloadWord(const handsetsim::CommandRecord& command, size_t index);
// The data of the S3 records of an S-record file, as address -> byte.
std::vector<ImageChunk> ReadSRecordData(const std::string& path);

// ---- implementation

constexpr uint32_t kFlashLoaderBase = 0x08000000;

inline uint32_t HexField(const std::string& text, size_t at, size_t digits) {
    return static_cast<uint32_t>(std::stoul(text.substr(at, digits), nullptr, 16));
}

inline void FlashHandsetTest::SetUp() {
    job.AddPlatform(PassivePlatform("P1", "fl.s19", kFlashLoaderBase).WithFlash({FlashDefinition(kFlashBase, 2, 0)}));
    job.WriteLoader("fl.s19", kFlashLoaderBase, 2048);
    scenario.chips.push_back(job.AddAmdChip(0x01, 0x227E, kFlashBase, "64*4,256*7"));
}

inline handsetsim::Handset& FlashHandsetTest::Start(uint32_t uarts, bool inFlashLoader) {
    uarts_ = uarts;
    inFlashLoader_ = inFlashLoader;
    scenario.uartCount = uarts;
    scenario.startInFlashLoader = inFlashLoader;
    handset = &job.StartHandset(scenario, uarts == 2 ? std::vector<uint32_t>{1, 2} : std::vector<uint32_t>{1});
    return *handset;
}

inline JobResult FlashHandsetTest::Run(const std::string& options, const JobSetup& setup) {
    const std::string ports = uarts_ == 2 ? "1,2" : "1";
    const std::string phases = inFlashLoader_ ? " /phases=fl" : "";
    return job.RunJob("/platform=P1 /com=" + ports + phases + " /debug=1 /file=" + job.Path("image.s19") +
                          " " + options,
                      setup);
}

inline void FlashHandsetTest::WriteImage(const std::vector<ImageChunk>& chunks) {
    image = chunks;
    job.WriteImage("image.s19", chunks);
}

inline std::vector<handsetsim::CommandRecord> FlashHandsetTest::Sent(const std::string& name) const {
    std::vector<handsetsim::CommandRecord> found;
    for (const auto& command : handset->Commands()) {
        if (command.name == name) found.push_back(command);
    }
    return found;
}

inline std::vector<uint32_t> FlashHandsetTest::Field(const std::string& name, size_t index) const {
    std::vector<uint32_t> words;
    for (const auto& command : Sent(name)) words.push_back(PayloadWord(command, index));
    return words;
}

inline ::testing::AssertionResult FlashHandsetTest::FlashHolds(const std::vector<ImageChunk>& chunks) const {
    for (const ImageChunk& chunk : chunks) {
        const auto flash = handset->Flash(chunk.address, static_cast<uint32_t>(chunk.bytes.size()));
        for (size_t i = 0; i < chunk.bytes.size(); ++i) {
            if (i >= flash.size() || flash[i] != chunk.bytes[i]) {
                return ::testing::AssertionFailure()
                       << "flash differs at 0x" << std::hex << chunk.address + i;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

inline uint32_t PayloadWord(const handsetsim::CommandRecord& command, size_t index) {
    return command.payload.size() >= 4 * index + 4 ? GetLe32(command.payload.data() + 4 * index) : 0xDEADBEEF;
}

inline std::vector<ImageChunk> ReadSRecordData(const std::string& path) {
    std::vector<ImageChunk> chunks;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("S3", 0) != 0) continue;
        const uint32_t count = HexField(line, 2, 2);
        const uint32_t address = HexField(line, 4, 8);
        if (chunks.empty() || chunks.back().address + chunks.back().bytes.size() != address) {
            chunks.push_back({address, {}});
        }
        for (uint32_t i = 0; i + 5 < count; ++i) {
            chunks.back().bytes.push_back(static_cast<uint8_t>(HexField(line, 12 + 2 * i, 2)));
        }
    }
    return chunks;
}

}  // namespace testing_support
