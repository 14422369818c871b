// Sessions are independent: four hosts in one process run a job each at the
// same time, each against its own stand-in handset with its own chip, image
// (with a held-back word) and contents file. Runs under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flashdll/link/le.h"
#include "support/job_fixture.h"
#include "tools/mkcontents/contents_builder.h"

namespace {

using namespace testing_support;

constexpr uint32_t kJobs = 4;
constexpr uint32_t kFlashBase = 0x20000000;
constexpr uint32_t kHeldBackStart = 0x20040000;  // a region starting here keeps its last word back
constexpr uint32_t kFfsChipTableOffset = 24;     // in the FFS mount payload
constexpr uint32_t kChipRecordDeviceOffset = 212;  // chip 0's device id in the chip table

// One job's handset, chip, image and files.
struct Bench {
    uint32_t device;
    std::string layout;
    std::unique_ptr<handsetsim::Handset> ownHandset;  // the fixture owns the first
    handsetsim::Handset* handset = nullptr;
    std::vector<ImageChunk> image;
    mkcontents::Bytes ffsFile, cfsFile;
    JobResult result;
};

class ParallelJobs : public ::testing::Test {
protected:
    void SetUp() override {
        job.AddPlatform(PassivePlatform("P1", "fl.s19", 0x08000000).WithFlash({FlashDefinition(kFlashBase, 2, 0)}));
        job.WriteLoader("fl.s19", 0x08000000, 2048);
        const char* layouts[kJobs] = {"64*32", "64*4,256*7", "8*8,64*31", "128*16"};
        for (uint32_t i = 0; i < kJobs; ++i) {
            Bench& bench = benches[i];
            bench.device = 0x2270 + i;
            bench.layout = layouts[i];
            handsetsim::Scenario scenario;
            scenario.startInFlashLoader = true;
            scenario.chips.push_back(job.AddAmdChip(0x01, bench.device, kFlashBase, bench.layout));
            StartHandset(i, scenario);
            bench.image = {{kHeldBackStart, RandomBytes(0x30000, 100 + i)},
                           {0x20100000 + i * 0x1000, RandomBytes(0x800, 200 + i)}};
            job.WriteImage(Name("image", i, ".s19"), bench.image);
            WriteContents(i);
        }
    }

    static std::string Name(const char* stem, uint32_t i, const char* suffix) {
        return stem + std::to_string(i) + suffix;
    }

    // COM i+1 leads to handset i. Every variable is set before any job runs.
    void StartHandset(uint32_t i, const handsetsim::Scenario& scenario) {
        Bench& bench = benches[i];
        if (i == 0) {
            bench.handset = &job.StartHandset(scenario, {1});
            return;
        }
        std::string error;
        bench.ownHandset = handsetsim::Handset::Start(scenario, &error);
        ASSERT_NE(bench.ownHandset, nullptr) << error;
        bench.handset = bench.ownHandset.get();
        job.SetComDevice(i + 1, bench.handset->UartPath(0));
    }

    void WriteContents(uint32_t i) {
        Bench& bench = benches[i];
        bench.ffsFile = RandomBytes(5000 + 1000 * i, 300 + i);
        bench.cfsFile = RandomBytes(700 + i, 400 + i);
        mkcontents::ContentsBuilder builder;
        builder.AddFfs(0x100 + i, 0x200 + i);
        builder.AddFfsFile(1, static_cast<uint16_t>(10 + i), bench.ffsFile);
        builder.AddCfs();
        builder.AddNamedFile(Name("job", i, ".cfg"), bench.cfsFile);
        ASSERT_TRUE(mkcontents::WriteBytesToFile(job.Path(Name("files", i, ".bin")), builder.Build()));
    }

    void RunAll() {
        std::vector<std::thread> threads;
        for (uint32_t i = 0; i < kJobs; ++i) {
            const std::string options = "/platform=P1 /com=" + std::to_string(i + 1) +
                                        " /phases=fl /mode=flash_contents /debug=1 /file=" +
                                        job.Path(Name("image", i, ".s19"));
            const JobSetup setup = WithContents(job.Path(Name("files", i, ".bin")), 4);
            threads.emplace_back([this, i, options, setup] { benches[i].result = job.RunJob(options, setup); });
        }
        for (std::thread& thread : threads) thread.join();
    }

    ::testing::AssertionResult HoldsOwnImage(const Bench& bench) const {
        for (const ImageChunk& chunk : bench.image) {
            if (bench.handset->Flash(chunk.address, static_cast<uint32_t>(chunk.bytes.size())) != chunk.bytes) {
                return ::testing::AssertionFailure() << "flash differs in the chunk at " << std::to_string(chunk.address);
            }
        }
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult HoldsOwnFiles(const Bench& bench, uint32_t i) const {
        const std::vector<handsetsim::StoredFile> files = bench.handset->Files();
        if (files.size() != 2) return ::testing::AssertionFailure() << files.size() << " files";
        for (const handsetsim::StoredFile& file : files) {
            const bool ffs = file.fsType == 1 && file.fileId == 10 + i && file.data == bench.ffsFile;
            const bool cfs = file.fsType == 2 && file.name == Name("job", i, ".cfg") && file.data == bench.cfsFile;
            if (!ffs && !cfs) return ::testing::AssertionFailure() << "a foreign file: " << file.name;
        }
        return ::testing::AssertionSuccess();
    }

    // The FFS mount carries the chip table of this handset's chip alone.
    static uint32_t MountedChipDevice(const handsetsim::Handset& handset) {
        for (const handsetsim::CommandRecord& command : handset.Commands()) {
            if (command.name == "FSMT" && GetLe32(command.payload.data()) == 1) {
                return GetLe32(command.payload.data() + kFfsChipTableOffset + kChipRecordDeviceOffset);
            }
        }
        return 0;
    }

    JobFixture job;
    Bench benches[kJobs];
};

TEST_F(ParallelJobs, FourJobsAtOnceEachLeaveTheirOwnHandsetHoldingExactlyTheirImageAndFiles) {
    RunAll();
    for (uint32_t i = 0; i < kJobs; ++i) {
        const Bench& bench = benches[i];
        SCOPED_TRACE("job " + std::to_string(i));
        EXPECT_EQ(bench.result.code, SUCCESS) << bench.result.Transcript().substr(0, 2000);
        EXPECT_TRUE(HoldsOwnImage(bench));
        EXPECT_TRUE(HoldsOwnFiles(bench, i));
        EXPECT_EQ(MountedChipDevice(*bench.handset), bench.device);
    }
}

}  // namespace
