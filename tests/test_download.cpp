// File download jobs against the stand-in handset: what arrives in its file
// systems, how file data is cut into writes, what the mount requests carry,
// how refusals and failures end a job, and contents files that never get as
// far as a port.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "flashdll/loader/le.h"
#include "support/job_fixture.h"
#include "tools/mkcontents/contents_builder.h"

namespace {

using namespace testing_support;
using mkcontents::Bytes;
using mkcontents::ContentsBuilder;
using Words = std::vector<uint32_t>;

constexpr uint32_t kLoaderBase = 0x10000000;
constexpr uint32_t kFlash0 = 0x20000000;  // chip-select code 2, 4 MiB
constexpr uint32_t kFlash1 = 0x24000000;  // chip-select code 3, 8 MiB

// A passive handset with two AMD-family chips, each inside a flash
// definition of the platform, and a contents file written from a builder.
class DownloadJob : public ::testing::Test {
protected:
    void SetUp() override {
        job.AddPlatform(PassivePlatform("P1", "fl.s19", kLoaderBase)
                            .WithFlash({FlashDefinition(kFlash0, 4, 0), FlashDefinition(kFlash1, 8, 1)}));
        job.WriteLoader("fl.s19", kLoaderBase, 2048);
        scenario.chips.push_back(job.AddAmdChip(0x01, 0x22D7, kFlash0, "64*16"));
        scenario.chips.push_back(job.AddAmdChip(0x89, 0x227E, kFlash1, "8*8,64*63"));
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

// The FFS mount carries its volume words and this handset's chip table, the
// FDI mount the flash definition its area lies in. A section without files
// is passed over; the sections after it are still written.
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

    const JobResult result = Run("contents", 5);
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    const std::vector<handsetsim::StoredFile> files = job.Handset()->Files();
    ASSERT_EQ(files.size(), 4u) << job.Handset()->Report();
    EXPECT_EQ(std::make_tuple(files[0].fsType, files[0].ownerId, files[0].fileId), std::make_tuple(1u, 7u, 0x1234u));
    EXPECT_EQ(files[0].data, ffsA);
    EXPECT_EQ(std::make_tuple(files[1].fsType, files[1].ownerId, files[1].fileId), std::make_tuple(1u, 200u, 0xFFFEu));
    EXPECT_EQ(files[1].data, ffsB);
    EXPECT_EQ(std::make_tuple(files[2].fsType, files[2].name), std::make_tuple(2u, std::string("dir/settings.cfg")));
    EXPECT_EQ(files[2].data, cfs);
    EXPECT_EQ(std::make_tuple(files[3].fsType, files[3].name), std::make_tuple(3u, std::string("tone.bin")));
    for (const auto& file : files) EXPECT_TRUE(file.closed);
    EXPECT_EQ(Count("CHKS"), 4u);
    EXPECT_EQ(Count("FSUM"), 3u);
    EXPECT_EQ(Count("SETP"), 1u) << "a contents-only job sets the flash loader up itself";
    EXPECT_EQ(job.CommandNames().back(), "DONE");

    const auto mounts = job.Sent("FSMT");
    ASSERT_EQ(mounts.size(), 3u);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(PayloadWord(mounts[0], i), (Words{1, 0, 2, 0x11111111, 0x22222222, 290}[i]));
    ASSERT_EQ(mounts[0].payload.size(), 24u + 290u);
    const uint8_t* table = mounts[0].payload.data() + 24;
    EXPECT_EQ(GetLe16(table), 2u) << "chips";
    EXPECT_EQ(GetLe32(table + 2), 2u) << "chip select code of chip 0";
    EXPECT_EQ(GetLe32(table + 6), 3u) << "chip select code of chip 1";
    EXPECT_EQ(mounts[1].payload, Bytes({2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    const Words fdi = {3, 0, 1, kFlash1, 8u << 20, kFlash1 + 0x100000, kFlash1 + 0x1FFFFF};
    ASSERT_EQ(mounts[2].payload.size(), 4 * fdi.size());
    for (size_t i = 0; i < fdi.size(); ++i) EXPECT_EQ(PayloadWord(mounts[2], i), fdi[i]) << "FDI word " << i;

    for (const char* line : {"FSMount (FFS), lists=2", "FileOpen : OwnerID=200, FileID=65534",
                             "FileOpen : filename=dir/settings.cfg"}) {
        EXPECT_TRUE(result.Has(line)) << line;
    }
    const auto events = result.host->Events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const HostEvent& event) {
        return event.kind == HostEventKind::ProgressBegin && event.text == "Loading Files ..." &&
               event.a == 3000 + 70000 + 5000 + 100;
    })) << "progress runs over the bytes of all files";
}

// Chunks are 16 KiB at 115200 baud; faster, 128 KiB lowered to the flash
// loader's limit. An empty file (with the longest name a contents file can
// hold) gets no write, one of a chunk one, a byte more two.
TEST_F(DownloadJob, CutsFilesIntoChunksByLinkSpeedAndLoaderLimit) {
    ContentsBuilder builder;
    builder.AddCfs();
    const std::string longName(255, 'n');
    const std::vector<Bytes> data = {{}, RandomBytes(0x4000, 5), RandomBytes(0x4001, 6), RandomBytes(0x10001, 7)};
    builder.AddNamedFile(longName, data[0]);
    for (size_t i = 1; i < data.size(); ++i) builder.AddNamedFile("f" + std::to_string(i), data[i]);
    WriteContents(builder);

    const struct {
        uint32_t maxTx;
        const char* options;
        Words writes;
    } cases[] = {{0x20000, "", {0x4000, 0x4000, 1, 0x4000, 0x4000, 0x4000, 0x4000, 1}},
                 {0x10000, "/maxspeed=921600", {0x4000, 0x4001, 0x10000, 1}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        scenario.maxTx = c.maxTx;
        const JobResult result = Run("contents", 5, c.options);
        ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
        EXPECT_EQ(job.Words("FIWR", 1), c.writes);
        EXPECT_EQ(Count("FIOP"), 4u);
        EXPECT_EQ(Count("FICL"), 4u);
        EXPECT_EQ(Count("CHKS"), 4u) << "the empty file is checked too";
        const auto files = job.Handset()->Files();
        ASSERT_EQ(files.size(), 4u);
        EXPECT_EQ(files[0].name, longName);
        EXPECT_TRUE(files[0].closed);
        for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(files[i].data, data[i]) << i;
        EXPECT_TRUE(result.Has("FileWrite : written size = 16385/16385"));
    }
}

// Formatting is asked for by a contents-only job with fsformat, never by a
// flash-then-files job; the latter closes with DONE even after its files
// fail. A failed SETP of a contents-only job is retried after the input is
// thrown away, without a resync.
TEST_F(DownloadJob, FormatFlagSetupRetryAndClosingDoneByMode) {
    ContentsBuilder builder;
    builder.AddCfs();
    builder.AddNamedFile("a", RandomBytes(10, 8));
    builder.AddFfs(0, 0);
    builder.AddFfsFile(1, 2, RandomBytes(10, 9));
    WriteContents(builder);
    scenario.faults.errCommand = "SETP";
    scenario.faults.errNth = 1;
    JobResult result = Run("contents", 5, "/fsformat=1");
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_EQ(job.Words("FSMT", 1), (Words{1, 1}));
    EXPECT_TRUE(result.Has("Retry 1: Setup"));
    const std::vector<std::string> names = job.CommandNames();
    const auto setup = std::find(names.begin(), names.end(), "SETP");
    ASSERT_LT(setup + 1, names.end());
    EXPECT_EQ(setup[1], "SETP") << "no SYNC between the two attempts";

    const Bytes image = RandomBytes(4096, 10);
    job.WriteImage("image.s19", {{kFlash0 + 0x10000, image}});
    scenario.faults = {};
    scenario.faults.fileOpenFails = true;
    result = Run("flash_contents", 4, "/fsformat=1 /noretry=1 /file=" + job.Path("image.s19"));
    EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
    EXPECT_EQ(job.Handset()->Flash(kFlash0 + 0x10000, 4096), image);
    EXPECT_EQ(job.Words("FSMT", 1), Words{0});
    EXPECT_EQ(Count("SETP"), 1u) << "programming has set the flash loader up already";
    const std::vector<std::string> sent = job.CommandNames();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2], "FIOP");
    EXPECT_EQ(sent.back(), "DONE");
}

// An FDI area in no flash definition's window: every attempt refuses it
// before sending, and the mount gives up.
TEST_F(DownloadJob, FdiAreaOutsideEveryFlashDefinitionGivesUp) {
    ContentsBuilder builder;
    builder.AddFdi(0x40000000, 0x4000FFFF);
    builder.AddNamedFile("x", RandomBytes(10, 14));
    WriteContents(builder);

    const JobResult result = Run("contents", 5);
    EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
    EXPECT_EQ(result.host->CountMessages("0x40000000-0x4000FFFF : Not found chip"), 5u);
    EXPECT_TRUE(result.Has("0x40000000-0x4000FFFF : Not found chip", FLASH_LEVEL_ERROR));
    EXPECT_TRUE(result.Has("Retry 4: FSMount"));
    EXPECT_TRUE(result.Has("Giving up on FSMount"));
    EXPECT_EQ(Count("FSMT"), 0u);
    EXPECT_EQ(result.host->IndexOfMessageContaining("FL_CMD_FSMOUNT"), -1) << "nothing was exchanged";
}

// A refused open with /noretry=1 ends the download in the giving-up line; a
// failed size check is never repeated, retries or not. Without a contents
// file held nothing is sent.
TEST_F(DownloadJob, RefusalsEndTheDownload) {
    ContentsBuilder builder;
    builder.AddFfs(0, 0);
    builder.AddFfsFile(1, 1, RandomBytes(100, 15));
    builder.AddFfsFile(1, 2, RandomBytes(100, 16));
    WriteContents(builder);
    for (const bool openFails : {true, false}) {
        scenario.faults.fileOpenFails = openFails;
        scenario.faults.checkFileSizeFails = !openFails;
        const JobResult result = Run("contents", 5, openFails ? "/noretry=1" : "");
        EXPECT_EQ(result.code, openFails ? ERR_TOO_MANY_RETRIES : ERR_CHECKFILESIZE_FAIL) << result.Transcript();
        EXPECT_EQ(Count(openFails ? "FIOP" : "CHKS"), 1u);
        EXPECT_EQ(Count("FIOP"), 1u) << "the second file is not started";
        EXPECT_EQ(Count("FSUM"), 0u);
        EXPECT_EQ(result.Has("Giving up on FileOpen"), openFails);
        EXPECT_EQ(result.host->IndexOfMessageContaining("Retry "), -1);
    }

    const JobResult result = Run("contents", 0);
    EXPECT_EQ(result.code, ERR_BAD_CONTENTS) << result.Transcript();
    EXPECT_TRUE(result.Has("The Image buffer is NULL", FLASH_LEVEL_ERROR));
    EXPECT_EQ(Count("SETP") + Count("FSMT"), 0u);
}

// Damaged contents files end the job before any port is opened: COM1 names
// no device at all, so reaching it would end the job with another code.
TEST_F(DownloadJob, DamagedContentsFileEndsTheJobBeforeAnyPort) {
    ContentsBuilder good, tooMany;
    good.AddCfs();
    good.AddNamedFile("a", RandomBytes(10, 19));
    ContentsBuilder badTag = good, badMagic = good;
    badTag.Sections()[0].tag = 0x40585858;
    badMagic.Sections()[0].files[0].magic = 0x454C4946;
    tooMany.AddCfs();
    for (int i = 0; i < 65; ++i) tooMany.AddNamedFile("f" + std::to_string(i), {});
    mkcontents::BuildFaults wrongSum, wrongSize;
    wrongSum.wrongChecksum = true;
    wrongSize.totalSizeDelta = 1;
    const struct {
        const char* what;
        const ContentsBuilder* builder;
        mkcontents::BuildFaults faults;
        bool corruptedMessage;  // a bad section or record posts none
    } cases[] = {{"checksum", &good, wrongSum, true},   {"size", &good, wrongSize, true},
                 {"section tag", &badTag, {}, false},   {"record magic", &badMagic, {}, false},
                 {"65 files", &tooMany, {}, true}};
    job.SetComDevice(1, job.Path("no-such-port"));
    const JobSetup setup = WithContents(job.Path("files.bin"), 5);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteContents(*c.builder, c.faults);
        const JobResult result = job.RunJob("/platform=P1 /com=1 /mode=contents", setup);
        EXPECT_EQ(result.code, ERR_BAD_CONTENTS) << result.Transcript();
        EXPECT_EQ(result.Has("The contents file was corrupted.", FLASH_LEVEL_ERROR), c.corruptedMessage);
    }
    WriteContents(good);
    EXPECT_EQ(job.RunJob("/platform=P1 /com=1 /mode=contents", setup).code, ERR_COM) << "a sound file gets to the port";
}

}  // namespace
