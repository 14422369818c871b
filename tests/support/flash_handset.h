// Whole flash, verify and read jobs against a stand-in handset with one
// 2-MiB chip at 0x20000000 (four 64-KiB sectors, then seven of 256 KiB),
// described to the library by platform P1.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace testing_support
