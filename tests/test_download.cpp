// File download jobs against the stand-in handset: files, writes, mounts,
// refusals, and damaged contents files that never get as far as a port.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "flashdll/link/le.h"
#include "support/job_fixture.h"
#include "tools/mkcontents/contents_builder.h"

namespace {

using namespace testing_support;
using mkcontents::Bytes;
using mkcontents::ContentsBuilder;
using Words = std::vector<uint32_t>;

constexpr uint32_t kFlash0 = 0x20000000;  // chip-select code 2, 4 MiB
constexpr uint32_t kFlash1 = 0x24000000;  // chip-select code 3, 8 MiB

// Two AMD-family chips, each inside a flash definition of the platform.
class DownloadJob : public ::testing::Test {
protected:
    void SetUp() override {
        job.AddPlatform(PassivePlatform("P1", "fl.s19", 0x10000000)
                            .WithFlash({FlashDefinition(kFlash0, 4, 0), FlashDefinition(kFlash1, 8, 1)}));
        job.WriteLoader("fl.s19", 0x10000000, 2048);
        scenario.chips = {job.AddAmdChip(0x01, 0x22D7, kFlash0, "64*16"), job.AddAmdChip(0x89, 0x227E, kFlash1, "8*8,64*63")};
    }
    void WriteContents(const ContentsBuilder& builder, const mkcontents::BuildFaults& faults = {}) {
        ASSERT_TRUE(mkcontents::WriteBytesToFile(job.Path("files.bin"), builder.Build(faults)));
    }
    // A job of `mode` on COM1 with the contents file, on a handset started afresh.
    JobResult Run(const std::string& mode, uint32_t contentsMode, const std::string& extra = "") {
        job.StartHandset(scenario, {1});
        return job.RunJob("/platform=P1 /com=1 /debug=1 /mode=" + mode + " " + extra,
                          WithContents(job.Path("files.bin"), contentsMode));
    }
    size_t Count(const std::string& name) { return job.Handset()->CountCommands(name); }

    JobFixture job;
    handsetsim::Scenario scenario;
};

// A section without files is passed over, the later ones are written. Mount
// words: type, format flag (asked for with fsformat), file count; FFS: volume
// words and the chip table (2 chips of chip selects 2 and 3); FDI: its flash
// definition and area.
TEST_F(DownloadJob, WritesEveryFileOfEveryFileSystemByteForByte) {
    ContentsBuilder builder;
    builder.AddFdi(kFlash1, kFlash1 + 0xFFFF);
    builder.AddFfs(0x11111111, 0x22222222);
    const Bytes ffsA = RandomBytes(3000, 1), ffsB = RandomBytes(70000, 2), cfs = RandomBytes(5000, 3);
    builder.AddFfsFile(7, 0x1234, ffsA);
    builder.AddFfsFile(200, 0xFFFE, ffsB);
    builder.AddCfs();
    builder.AddNamedFile("dir/settings.cfg", cfs);
    builder.AddFdi(kFlash1 + 0x100000, kFlash1 + 0x1FFFFF);
    builder.AddNamedFile("tone.bin", RandomBytes(100, 4));
    WriteContents(builder);

    const JobResult result = Run("contents", 5, "/fsformat=1");
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    using File = std::tuple<uint32_t, uint32_t, uint32_t, std::string, size_t, bool>;
    std::vector<File> files;
    for (const auto& file : job.Handset()->Files()) {
        files.emplace_back(file.fsType, file.ownerId, file.fileId, file.name, file.data.size(), file.closed);
    }
    EXPECT_EQ(files, (std::vector<File>{{1, 7, 0x1234, "", 3000, true}, {1, 200, 0xFFFE, "", 70000, true},
                                        {2, 0, 0, "dir/settings.cfg", 5000, true}, {3, 0, 0, "tone.bin", 100, true}}));
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(job.Handset()->Files()[0].data, ffsA);
    EXPECT_EQ(job.Handset()->Files()[1].data, ffsB);
    EXPECT_EQ(job.Handset()->Files()[2].data, cfs);
    EXPECT_EQ(Count("CHKS"), 4u);
    EXPECT_EQ(Count("FSUM"), 3u);
    EXPECT_EQ(Count("SETP"), 1u) << "a contents-only job sets the flash loader up itself";
    EXPECT_EQ(job.CommandNames().back(), "DONE");

    const auto mounts = job.Sent("FSMT");
    ASSERT_EQ(mounts.size(), 3u);
    ASSERT_EQ(mounts[0].payload.size(), 24u + 290u);
    const Words ffs = PayloadWords(mounts[0]);
    EXPECT_EQ(Words(ffs.begin(), ffs.begin() + 6), (Words{1, 1, 2, 0x11111111, 0x22222222, 290}));
    EXPECT_EQ((Words{GetLe16(&mounts[0].payload[24]), GetLe32(&mounts[0].payload[26]), GetLe32(&mounts[0].payload[30])}),
              (Words{2, 2, 3}));
    EXPECT_EQ(PayloadWords(mounts[1]), (Words{2, 1, 1}));
    EXPECT_EQ(PayloadWords(mounts[2]), (Words{3, 1, 1, kFlash1, 8u << 20, kFlash1 + 0x100000, kFlash1 + 0x1FFFFF}));
}

// Chunks are 16 KiB at 115200 baud; faster, 128 KiB lowered to the loader's
// limit. An empty file (with the longest name there is) gets no write.
TEST_F(DownloadJob, CutsFilesIntoChunksByLinkSpeedAndLoaderLimit) {
    ContentsBuilder builder;
    builder.AddCfs();
    const std::vector<Bytes> data = {{}, RandomBytes(0x4000, 5), RandomBytes(0x4001, 6), RandomBytes(0x10001, 7)};
    builder.AddNamedFile(std::string(255, 'n'), data[0]);
    for (size_t i = 1; i < data.size(); ++i) builder.AddNamedFile("f" + std::to_string(i), data[i]);
    WriteContents(builder);
    const std::pair<const char*, Words> cases[] = {{"", {0x4000, 0x4000, 1, 0x4000, 0x4000, 0x4000, 0x4000, 1}},
                                                   {"/maxspeed=921600", {0x4000, 0x4001, 0x10000, 1}}};
    scenario.maxTx = 0x10000;
    for (const auto& c : cases) {
        const JobResult result = Run("contents", 5, c.first);
        ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
        EXPECT_EQ(job.Words("FIWR", 1), c.second) << c.first;
        EXPECT_EQ(Count("CHKS"), 4u) << "the empty file is checked too";
        const auto files = job.Handset()->Files();
        ASSERT_EQ(files.size(), 4u);
        EXPECT_TRUE(files[0].name == std::string(255, 'n') && files[0].closed);
        for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(files[i].data, data[i]) << i;
    }
}

// A flash-then-files job never asks for formatting, and closes with DONE
// even after its files fail.
TEST_F(DownloadJob, FlashThenFilesNeverFormatsAndEndsWithDoneAfterFailedFiles) {
    ContentsBuilder builder;
    builder.AddCfs();
    builder.AddNamedFile("a", RandomBytes(10, 8));
    WriteContents(builder);
    const Bytes image = RandomBytes(4096, 10);
    job.WriteImage("image.s19", {{kFlash0 + 0x10000, image}});
    scenario.faults.fileOpenFails = true;
    const JobResult result = Run("flash_contents", 4, "/fsformat=1 /noretry=1 /file=" + job.Path("image.s19"));
    EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
    EXPECT_EQ(job.Handset()->Flash(kFlash0 + 0x10000, 4096), image);
    EXPECT_EQ(job.Words("FSMT", 1), Words{0});
    EXPECT_EQ(Count("SETP"), 1u) << "programming has set the flash loader up already";
    const std::vector<std::string> names = job.CommandNames();
    EXPECT_EQ(std::vector<std::string>(names.end() - 2, names.end()), (std::vector<std::string>{"FIOP", "DONE"}));
}

// An FDI area in no flash definition's window is refused before sending, on
// every attempt; a refused open with /noretry=1 ends in the giving-up line;
// a failed size check is never repeated.
TEST_F(DownloadJob, RefusalsEndTheDownload) {
    ContentsBuilder builder;
    builder.AddFdi(0x40000000, 0x4000FFFF);
    builder.AddNamedFile("x", RandomBytes(10, 14));
    WriteContents(builder);
    JobResult result = Run("contents", 5);
    EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
    EXPECT_EQ(result.host->CountMessages("0x40000000-0x4000FFFF : Not found chip"), 5u);
    EXPECT_TRUE(result.Has("0x40000000-0x4000FFFF : Not found chip", FLASH_LEVEL_ERROR));
    EXPECT_TRUE(result.Has("Giving up on FSMount"));
    EXPECT_EQ(Count("FSMT"), 0u);

    builder = ContentsBuilder();
    builder.AddFfs(0, 0);
    builder.AddFfsFile(1, 1, RandomBytes(100, 15));
    builder.AddFfsFile(1, 2, RandomBytes(100, 16));
    WriteContents(builder);
    for (const bool openFails : {true, false}) {
        scenario.faults.fileOpenFails = openFails;
        scenario.faults.checkFileSizeFails = !openFails;
        result = Run("contents", 5, openFails ? "/noretry=1" : "");
        EXPECT_EQ(result.code, openFails ? ERR_TOO_MANY_RETRIES : ERR_CHECKFILESIZE_FAIL) << result.Transcript();
        EXPECT_EQ(Count(openFails ? "FIOP" : "CHKS"), 1u);
        EXPECT_EQ(Count("FIOP") + Count("FSUM"), 1u) << "the second file is not started";
        EXPECT_EQ(result.host->IndexOfMessageContaining("Retry "), -1);
    }
}

// A contents-only job's refused SETP is sent again after the port's input
// is thrown away, with no resync between; with /noretry=1 it is given up.
TEST_F(DownloadJob, RefusedSetupIsSentAgainWithoutAResync) {
    ContentsBuilder builder;
    builder.AddCfs();
    builder.AddNamedFile("a", RandomBytes(10, 20));
    WriteContents(builder);
    scenario.faults.errCommand = "SETP";
    scenario.faults.errNth = 1;
    JobResult result = Run("contents", 5);
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(result.Has("Retry 1: Setup"));
    const std::vector<std::string> names = job.CommandNames();
    const auto setup = std::find(names.begin(), names.end(), "SETP");
    ASSERT_TRUE(setup != names.end() && setup + 1 != names.end());
    EXPECT_EQ(setup[1], "SETP");
    EXPECT_EQ(job.Handset()->Files().size(), 1u);

    result = Run("contents", 5, "/noretry=1");
    EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
    EXPECT_TRUE(result.Has("Giving up on Setup"));
    EXPECT_EQ(Count("SETP"), 1u);
    EXPECT_EQ(Count("FSMT"), 0u);
}

// Damaged contents files end the job before any port is opened (COM1 names no
// device). A bad section posts no message of its own. (Which files are
// damaged: test_contents.)
TEST_F(DownloadJob, DamagedContentsFileEndsTheJobBeforeAnyPort) {
    ContentsBuilder good;
    good.AddCfs();
    good.AddNamedFile("a", RandomBytes(10, 19));
    ContentsBuilder badTag = good;
    badTag.Sections()[0].tag = 0x40585858;
    mkcontents::BuildFaults wrongSum;
    wrongSum.wrongChecksum = true;
    const std::tuple<const ContentsBuilder*, mkcontents::BuildFaults, bool> cases[] = {
        {&good, wrongSum, true}, {&badTag, {}, false}};
    job.SetComDevice(1, job.Path("no-such-port"));
    const JobSetup setup = WithContents(job.Path("files.bin"), 5);
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        WriteContents(*std::get<0>(c), std::get<1>(c));
        const JobResult result = job.RunJob("/platform=P1 /com=1 /mode=contents", setup);
        EXPECT_EQ(result.code, ERR_BAD_CONTENTS) << result.Transcript();
        EXPECT_EQ(result.Has("The contents file was corrupted.", FLASH_LEVEL_ERROR), std::get<2>(c)) << result.Transcript();
    }
    WriteContents(good);
    EXPECT_EQ(job.RunJob("/platform=P1 /com=1 /mode=contents", setup).code, ERR_COM) << "a sound file gets to the port";
}

}  // namespace
