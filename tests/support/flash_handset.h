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

#include "support/job_fixture.h"

namespace testing_support {

constexpr uint32_t kFlashBase = 0x20000000;
constexpr uint32_t kFlashSize = 0x200000;
constexpr uint32_t kFlashLoaderBase = 0x08000000;

class FlashHandsetTest : public ::testing::Test {
protected:
    void SetUp() override {
        job.AddPlatform(PassivePlatform("P1", "fl.s19", kFlashLoaderBase).WithFlash({FlashDefinition(kFlashBase, 2, 0)}));
        loader = job.WriteLoader("fl.s19", kFlashLoaderBase, 2048);
        scenario.chips.push_back(job.AddAmdChip(0x01, 0x227E, kFlashBase, "64*4,256*7"));
    }
    // Starts the handset on COM1 (and COM2 for two UARTs). With `inFlashLoader`
    // the flash loader already runs and jobs skip the boot loader phase.
    void Start(uint32_t uarts = 1, bool inFlashLoader = true) {
        scenario.uartCount = uarts;
        scenario.startInFlashLoader = inFlashLoader;
        handset = &job.StartHandset(scenario, {1, 2});
        phases_ = inFlashLoader ? " /phases=fl" : "";
        ports_ = uarts == 2 ? "1,2" : "1";
    }
    // Runs "/platform=P1 /com=1[,2] /debug=1 /file=image.s19" and `options`.
    JobResult Run(const std::string& options, const JobSetup& setup = {}) {
        return job.RunJob("/platform=P1 /com=" + ports_ + phases_ + " /debug=1 /file=" + job.Path("image.s19") + " " +
                              options, setup);
    }
    // Writes image.s19 from `chunks` and keeps them in `image`.
    void WriteImage(const std::vector<ImageChunk>& chunks) {
        image = chunks;
        job.WriteImage("image.s19", chunks);
    }
    void FlashTheImage() {
        for (const ImageChunk& chunk : image) handset->SetFlash(chunk.address, chunk.bytes);
    }

    JobFixture job;
    LoaderFile loader;
    handsetsim::Scenario scenario;
    handsetsim::Handset* handset = nullptr;
    std::vector<ImageChunk> image;
    std::string phases_, ports_;
};

// The data of the S3 records of an S-record file, joined into runs of
// consecutive addresses.
inline std::vector<ImageChunk> ReadSRecordData(const std::string& path) {
    std::vector<ImageChunk> chunks;
    std::ifstream file(path);
    std::string line;
    auto field = [&line](size_t at, size_t digits) {
        return static_cast<uint32_t>(std::stoul(line.substr(at, digits), nullptr, 16));
    };
    while (std::getline(file, line)) {
        if (line.rfind("S3", 0) != 0) continue;
        const uint32_t address = field(4, 8);
        if (chunks.empty() || chunks.back().address + chunks.back().bytes.size() != address) chunks.push_back({address, {}});
        for (uint32_t i = 0; i + 5 < field(2, 2); ++i) chunks.back().bytes.push_back(static_cast<uint8_t>(field(12 + 2 * i, 2)));
    }
    return chunks;
}

inline bool operator==(const ImageChunk& a, const ImageChunk& b) { return a.address == b.address && a.bytes == b.bytes; }

}  // namespace testing_support
