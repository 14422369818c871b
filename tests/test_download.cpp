// File download jobs against the stand-in handset: what arrives in its file
// systems, how file data is cut into writes, what the mount requests carry,
// how refusals and failures end a job, and contents files that never get as
// far as a port.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "flashdll/flashdll.h"
#include "flashdll/loader/le.h"
#include "support/job_fixture.h"
#include "tools/mkcontents/contents_builder.h"

namespace {

using mkcontents::Bytes;
using mkcontents::ContentsBuilder;
using testing_support::FlashDefinition;
using testing_support::HostEventKind;
using testing_support::JobFixture;
using testing_support::JobResult;
using testing_support::JobSetup;
using testing_support::PassivePlatform;
using testing_support::RandomBytes;

constexpr uint32_t kLoaderBase = 0x10000000;
constexpr uint32_t kFlash0 = 0x20000000;  // chip-select code 2, 4 MiB
constexpr uint32_t kFlash1 = 0x24000000;  // chip-select code 3, 8 MiB
constexpr size_t kChipTableBytes = 290;

uint32_t Word(const handsetsim::CommandRecord& command, size_t index) {
    return command.payload.size() >= 4 * (index + 1) ? GetLe32(command.payload.data() + 4 * index) : 0xDEADBEEF;
}

// The file-system chip table of DownloadJob's two chips, field by field.
Bytes ExpectedChipTable() {
    Bytes table(kChipTableBytes, 0);
    uint8_t* t = table.data();
    PutLe16(t, 2);                                   // chips
    PutLe32(t + 2, 2);                               // chip select codes
    PutLe32(t + 6, 3);
    PutLe16(t + 18, 16), PutLe32(t + 20, 0x10000);   // chip 0: 16 x 64 KiB
    PutLe16(t + 66, 8), PutLe32(t + 68, 0x2000);     // chip 1: 8 x 8 KiB ...
    PutLe16(t + 72, 63), PutLe32(t + 74, 0x10000);   // ... and 63 x 64 KiB
    const uint32_t ids[2][2] = {{0x01, 0x22D7}, {0x89, 0x227E}};
    for (int chip = 0; chip < 2; ++chip) {           // amd, standard method
        uint8_t* record = t + 210 + 20 * chip;
        PutLe16(record, static_cast<uint16_t>(ids[chip][0]));
        PutLe32(record + 2, ids[chip][1]);
        PutLe32(record + 6, 1);
        PutLe32(record + 10, 1);
    }
    return table;
}

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
    // A job of `mode` on COM1 with the contents file; a handset is started
    // unless the test started one.
    JobResult Run(const std::string& mode, uint32_t contentsMode, const std::string& extra = "") {
        if (job.Handset() == nullptr) job.StartHandset(scenario, {1});
        JobSetup setup;
        const std::string path = job.Path("files.bin");
        setup.adjustOptions = [path, contentsMode](FlashLoadOptions& options) {
            std::snprintf(options.contentsfile, sizeof options.contentsfile, "%s", path.c_str());
            options.contentsmode = contentsMode;
        };
        return job.RunJob("/platform=P1 /com=1 /debug=1 /mode=" + mode + " " + extra, setup);
    }
    std::vector<handsetsim::CommandRecord> Sent(const std::string& name) {
        std::vector<handsetsim::CommandRecord> found;
        for (const auto& command : job.Handset()->Commands()) {
            if (command.name == name) found.push_back(command);
        }
        return found;
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const auto& command : job.Handset()->Commands()) names.push_back(command.name);
        return names;
    }
    size_t Count(const std::string& name) { return job.Handset()->CountCommands(name); }

    JobFixture job;
    handsetsim::Scenario scenario;
};

TEST_F(DownloadJob, WritesEveryFileOfEveryFileSystemByteForByte) {
    ContentsBuilder builder;
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
    EXPECT_EQ(files[0].fsType, 1u);
    EXPECT_EQ(files[0].ownerId, 7u);
    EXPECT_EQ(files[0].fileId, 0x1234u);
    EXPECT_EQ(files[0].data, ffsA);
    EXPECT_EQ(files[1].ownerId, 200u);
    EXPECT_EQ(files[1].fileId, 0xFFFEu);
    EXPECT_EQ(files[1].data, ffsB);
    EXPECT_EQ(files[2].fsType, 2u);
    EXPECT_EQ(files[2].name, "dir/settings.cfg");
    EXPECT_EQ(files[2].data, cfs);
    EXPECT_EQ(files[3].fsType, 3u);
    EXPECT_EQ(files[3].name, "tone.bin");
    for (const auto& file : files) EXPECT_TRUE(file.closed);
    EXPECT_EQ(Count("CHKS"), 4u);
    EXPECT_EQ(Count("FSUM"), 3u);
    EXPECT_EQ(Count("SETP"), 1u) << "a contents-only job sets the flash loader up itself";
    EXPECT_EQ(Names().back(), "DONE");

    // FFS carries its volume words and this handset's chip table, FDI the
    // flash definition its area lies in; no job here asks for formatting.
    const auto mounts = Sent("FSMT");
    ASSERT_EQ(mounts.size(), 3u);
    const std::vector<uint32_t> ffsHead = {1, 0, 2, 0x11111111, 0x22222222, kChipTableBytes};
    for (size_t i = 0; i < ffsHead.size(); ++i) EXPECT_EQ(Word(mounts[0], i), ffsHead[i]) << "FFS word " << i;
    EXPECT_EQ(Bytes(mounts[0].payload.begin() + 24, mounts[0].payload.end()), ExpectedChipTable());
    EXPECT_EQ(mounts[1].payload, Bytes({2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
    const std::vector<uint32_t> fdi = {3, 0, 1, kFlash1, 8u << 20, kFlash1 + 0x100000, kFlash1 + 0x1FFFFF};
    ASSERT_EQ(mounts[2].payload.size(), 4 * fdi.size());
    for (size_t i = 0; i < fdi.size(); ++i) EXPECT_EQ(Word(mounts[2], i), fdi[i]) << "FDI word " << i;

    for (const char* line : {"FSMount (FFS), lists=2", "FL_CMD_FSMOUNT - MOUNT uRC : 0 ", "FSUnMount (CFS)",
                             "FileOpen : OwnerID=200, FileID=65534", "FileOpen : filename=dir/settings.cfg"}) {
        EXPECT_TRUE(result.host->HasMessage(line)) << line;
    }
    bool progress = false;
    for (const auto& event : result.host->Events()) {
        progress |= event.kind == HostEventKind::ProgressBegin && event.text == "Loading Files ..." &&
                    event.a == 3000 + 70000 + 5000 + 100;
    }
    EXPECT_TRUE(progress) << "progress runs over the bytes of all files";
}

// At 115200 baud chunks are 16 KiB, lowered here to the flash loader's
// 4 KiB: an empty file gets no write, one of a chunk one, a byte more two.
// The empty file has the longest name a contents file can hold.
TEST_F(DownloadJob, CutsFilesIntoChunksOfTheLoadersTransferSize) {
    scenario.maxTx = 0x1000;
    ContentsBuilder builder;
    builder.AddCfs();
    const Bytes one = RandomBytes(0x1000, 5), more = RandomBytes(0x1001, 6);
    const std::string longName(255, 'n');
    builder.AddNamedFile(longName, {});
    builder.AddNamedFile("one", one);
    builder.AddNamedFile("more", more);
    WriteContents(builder);

    const JobResult result = Run("contents", 5);
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_EQ(Count("FIOP"), 3u);
    EXPECT_EQ(Count("FICL"), 3u);
    EXPECT_EQ(Count("CHKS"), 3u) << "the empty file is checked too";
    const auto writes = Sent("FIWR");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(Word(writes[0], 1), 0x1000u);
    EXPECT_EQ(Word(writes[1], 1), 0x1000u);
    EXPECT_EQ(Word(writes[2], 1), 1u);
    const auto files = job.Handset()->Files();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_TRUE(files[0].data.empty() && files[0].closed);
    EXPECT_EQ(files[0].name, longName);
    EXPECT_EQ(files[1].data, one);
    EXPECT_EQ(files[2].data, more);
    EXPECT_TRUE(result.host->HasMessage("FileWrite : written size = 4096/4097"));
    EXPECT_TRUE(result.host->HasMessage("FileWrite : written size = 4097/4097"));
}

// 16 KiB chunks at 115200 baud, 128 KiB once the link runs faster.
TEST_F(DownloadJob, ChunkSizeFollowsTheLinkSpeed) {
    ContentsBuilder builder;
    builder.AddCfs();
    const Bytes data = RandomBytes(0x20001, 7);
    builder.AddNamedFile("big", data);
    WriteContents(builder);

    JobResult result = Run("contents", 5);
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_EQ(Count("FIWR"), 9u);
    EXPECT_EQ(Word(Sent("FIWR").front(), 1), 0x4000u);

    job.StartHandset(scenario, {1});
    result = Run("contents", 5, "/maxspeed=921600");
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    const auto writes = Sent("FIWR");
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(Word(writes[0], 1), 0x20000u);
    EXPECT_EQ(Word(writes[1], 1), 1u);
    ASSERT_EQ(job.Handset()->Files().size(), 1u);
    EXPECT_EQ(job.Handset()->Files()[0].data, data);
}

// Formatting is asked for by a contents-only job with fsformat, never by a
// flash-then-files job. The latter closes with DONE even after its files fail.
TEST_F(DownloadJob, FormatFlagAndClosingDoneByMode) {
    ContentsBuilder builder;
    builder.AddCfs();
    builder.AddNamedFile("a", RandomBytes(10, 8));
    builder.AddFfs(0, 0);
    builder.AddFfsFile(1, 2, RandomBytes(10, 9));
    WriteContents(builder);
    JobResult result = Run("contents", 5, "/fsformat=1");
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    ASSERT_EQ(Count("FSMT"), 2u);
    for (const auto& mount : Sent("FSMT")) EXPECT_EQ(Word(mount, 1), 1u);

    const Bytes image = RandomBytes(4096, 10);
    job.WriteImage("image.s19", {{kFlash0 + 0x10000, image}});
    const std::string flashOptions = "/fsformat=1 /file=" + job.Path("image.s19");
    job.StartHandset(scenario, {1});
    result = Run("flash_contents", 4, flashOptions);
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_EQ(job.Handset()->Flash(kFlash0 + 0x10000, 4096), image);
    ASSERT_EQ(Count("FSMT"), 2u);
    for (const auto& mount : Sent("FSMT")) EXPECT_EQ(Word(mount, 1), 0u);
    EXPECT_EQ(Count("SETP"), 1u) << "programming has set the flash loader up already";
    EXPECT_EQ(Count("DONE"), 1u);
    EXPECT_EQ(Names().back(), "DONE");

    scenario.faults.fileOpenFails = true;
    job.StartHandset(scenario, {1});
    result = Run("flash_contents", 4, flashOptions + " /noretry=1");
    EXPECT_EQ(result.code, ERR_TOO_MANY_RETRIES) << result.Transcript();
    const std::vector<std::string> names = Names();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "FIOP");
    EXPECT_EQ(names.back(), "DONE");
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
    EXPECT_TRUE(result.host->HasMessage("0x40000000-0x4000FFFF : Not found chip", FLASH_LEVEL_ERROR));
    EXPECT_TRUE(result.host->HasMessage("Retry 4: FSMount"));
    EXPECT_TRUE(result.host->HasMessage("Giving up on FSMount"));
    EXPECT_EQ(Count("FSMT"), 0u);
    EXPECT_EQ(result.host->IndexOfMessageContaining("FL_CMD_FSMOUNT"), -1) << "nothing was exchanged";
}

// Refusals by the handset: with noretry the first one ends the download in
// the giving-up line; otherwise the command runs five times. A failed size
// check is never repeated.
TEST_F(DownloadJob, RefusalsEndTheDownload) {
    ContentsBuilder builder;
    builder.AddFfs(0, 0);
    builder.AddFfsFile(1, 1, RandomBytes(100, 15));
    builder.AddFfsFile(1, 2, RandomBytes(100, 16));
    WriteContents(builder);
    const struct {
        bool openFails, writeShort, checkFails;
        const char* options;
        const char* command;  // retried command, or none
        uint32_t code;
        size_t sent;          // of the failing command
    } cases[] = {{true, false, false, "/noretry=1", "FileOpen", ERR_TOO_MANY_RETRIES, 1},
                 {false, true, false, "/noretry=1", "FileWrite", ERR_TOO_MANY_RETRIES, 1},
                 {true, false, false, "", "FileOpen", ERR_TOO_MANY_RETRIES, 5},
                 {false, false, true, "", nullptr, ERR_CHECKFILESIZE_FAIL, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command ? c.command : "CheckFileSize") + " " + c.options);
        scenario.faults.fileOpenFails = c.openFails;
        scenario.faults.fileWriteShort = c.writeShort;
        scenario.faults.checkFileSizeFails = c.checkFails;
        job.StartHandset(scenario, {1});
        const JobResult result = Run("contents", 5, c.options);
        EXPECT_EQ(result.code, c.code) << result.Transcript();
        EXPECT_EQ(Count(c.openFails ? "FIOP" : c.writeShort ? "FIWR" : "CHKS"), c.sent);
        EXPECT_EQ(Count("FIOP"), c.openFails ? c.sent : 1u) << "the second file is not started";
        EXPECT_EQ(Count("FSUM"), 0u);
        if (c.command != nullptr) {
            EXPECT_TRUE(result.host->HasMessage(std::string("Giving up on ") + c.command));
            EXPECT_EQ(result.host->HasMessage(std::string("Retry 4: ") + c.command), c.sent == 5);
        }
        EXPECT_EQ(result.host->IndexOfMessageContaining("Retry 5:"), -1);
    }
}

// A failed SETP of a contents-only job is retried after the input is
// thrown away, without a resync.
TEST_F(DownloadJob, SetupIsRetriedAfterAFlush) {
    ContentsBuilder builder;
    builder.AddCfs();
    builder.AddNamedFile("a", RandomBytes(10, 17));
    WriteContents(builder);
    scenario.faults.errCommand = "SETP";
    scenario.faults.errNth = 1;

    const JobResult result = Run("contents", 5);
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    EXPECT_TRUE(result.host->HasMessage("Retry 1: Setup"));
    const std::vector<std::string> names = Names();
    const auto first = std::find(names.begin(), names.end(), "SETP");
    ASSERT_NE(first, names.end());
    ASSERT_NE(first + 1, names.end());
    EXPECT_EQ(first[1], "SETP") << "no SYNC between the two attempts";
}

// A section without files is passed over; the sections after it are still
// written.
TEST_F(DownloadJob, EmptySectionDoesNotStopLaterSections) {
    ContentsBuilder builder;
    builder.AddCfs();
    builder.AddFfs(0, 0);
    const Bytes data = RandomBytes(10, 18);
    builder.AddFfsFile(3, 4, data);
    WriteContents(builder);

    const JobResult result = Run("contents", 5);
    ASSERT_EQ(result.code, SUCCESS) << result.Transcript();
    ASSERT_EQ(Count("FSMT"), 1u) << "nothing to mount for the empty section";
    EXPECT_EQ(Word(Sent("FSMT")[0], 0), 1u);
    ASSERT_EQ(job.Handset()->Files().size(), 1u);
    EXPECT_EQ(job.Handset()->Files()[0].data, data);
}

// A contents-only job whose host did not ask for a contents file.
TEST_F(DownloadJob, NoContentsFileHeldSendsNothing) {
    const JobResult result = Run("contents", 0);
    EXPECT_EQ(result.code, ERR_BAD_CONTENTS) << result.Transcript();
    EXPECT_TRUE(result.host->HasMessage("The Image buffer is NULL", FLASH_LEVEL_ERROR));
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
    JobSetup setup;
    const std::string path = job.Path("files.bin");
    setup.adjustOptions = [path](FlashLoadOptions& options) {
        std::snprintf(options.contentsfile, sizeof options.contentsfile, "%s", path.c_str());
        options.contentsmode = 5;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteContents(*c.builder, c.faults);
        const JobResult result = job.RunJob("/platform=P1 /com=1 /mode=contents", setup);
        EXPECT_EQ(result.code, ERR_BAD_CONTENTS) << result.Transcript();
        EXPECT_EQ(result.host->HasMessage("The contents file was corrupted.", FLASH_LEVEL_ERROR), c.corruptedMessage);
    }
    WriteContents(good);
    EXPECT_EQ(job.RunJob("/platform=P1 /com=1 /mode=contents", setup).code, ERR_COM) << "a sound file gets to the port";
}

}  // namespace
