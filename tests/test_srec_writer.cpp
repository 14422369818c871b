#include "flashdll/image/srec_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "flashdll/image/image_buffer.h"
#include "flashdll/image/srec_reader.h"
#include "flashdll/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ReadFileText;
using Lines = std::vector<std::pair<uint32_t, size_t>>;  // address and data length of each data line
using Texts = std::vector<std::string>;

const std::string kHeader = "S00600004844521B", kTermination = "S705A002000058";

uint8_t Fill(uint32_t address) { return static_cast<uint8_t>(address * 13 + 7); }

class SrecWriter : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session->host = &host.descriptor;
        SetAreas({{0x0, 0xFFFF}});
        SetSaveFile(dir.File("out.srec"));
    }
    // Areas whose bytes are Fill(address).
    void SetAreas(const std::vector<std::pair<uint32_t, uint32_t>>& areas) {
        blocks.clear();
        session->userImage.areaCount = static_cast<uint32_t>(areas.size());
        for (size_t i = 0; i < areas.size(); ++i) {
            blocks.emplace_back();
            for (uint32_t a = areas[i].first; a <= areas[i].second; ++a) blocks.back().push_back(Fill(a));
            session->userImage.areas[i] = {areas[i].first, areas[i].second, blocks.back().data()};
        }
    }
    void SetSaveFile(const std::string& path) {
        std::snprintf(session->options.savefile, sizeof session->options.savefile, "%s", path.c_str());
    }
    uint32_t Save(const std::vector<FlashRange>& ranges) {
        session->options.readcount = static_cast<uint32_t>(ranges.size());
        std::copy(ranges.begin(), ranges.end(), session->options.read);
        host.Clear();
        return SaveSRecordFile(session.get(), &session->userImage);
    }
    Texts SavedLines() const {
        std::istringstream in(ReadFileText(session->options.savefile));
        Texts lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // Address and data length of every S3 line; its data must be Fill(address ...).
    Lines DataLines() const {
        Lines result;
        for (const std::string& line : SavedLines()) {
            if (line.rfind("S3", 0) != 0) continue;
            const uint32_t address = std::stoul(line.substr(4, 8), nullptr, 16);
            const size_t n = line.size() / 2 - 7;  // S3, count, four address bytes and checksum take 7 pairs
            for (size_t k = 0; k < n; ++k) EXPECT_EQ(std::stoul(line.substr(12 + 2 * k, 2), nullptr, 16), Fill(address + k));
            result.emplace_back(address, n);
        }
        return result;
    }

    testing_support::RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
    testing_support::TempDir dir;
    std::vector<std::vector<uint8_t>> blocks;
};

TEST_F(SrecWriter, FixedHeaderAndTerminationLinesNeverCrossARangeOrAreaEnd) {
    for (uint8_t i = 0; i < 16; ++i) blocks[0][i] = i;
    ASSERT_EQ(Save({{0x0, 0xF}}), 0u) << host.Transcript();
    EXPECT_EQ(ReadFileText(session->options.savefile),
              "S00600004844521B\nS31500000000000102030405060708090A0B0C0D0E0F72\nS705A002000058\n");
    EXPECT_TRUE(host.HasMessage(std::string("Writing S-Record File ") + session->options.savefile, 0));
    ASSERT_EQ(Save({{0x100, 0x10F}, {0x200, 0x207}, {0x300, 0x310}, {0x400, 0x427}}), 0u);
    EXPECT_EQ(DataLines(), (Lines{{0x100, 16}, {0x200, 8}, {0x300, 16}, {0x310, 1}, {0x400, 16}, {0x410, 16}, {0x420, 8}}));
    EXPECT_EQ(SavedLines().back(), kTermination);
    SetAreas({{0x1000, 0x1013}, {0x1014, 0x1FFF}});
    ASSERT_EQ(Save({{0x1008, 0x1037}}), 0u);
    EXPECT_EQ(DataLines(), (Lines{{0x1008, 12}, {0x1014, 16}, {0x1024, 16}, {0x1034, 4}}));
}

Session* g_abortingSession = nullptr;
void AbortOnProgress(FlashHostDescriptor*, uint32_t, uint32_t) { g_abortingSession->run.abortFlag = 1; }

TEST_F(SrecWriter, AbortKeepsTheTerminationRecordFailuresAreReported) {
    session->run.abortFlag = 1;
    EXPECT_EQ(Save({{0x0, 0xFF}}), static_cast<uint32_t>(ERR_ABORT));
    EXPECT_EQ(SavedLines(), (Texts{kHeader, kTermination}));
    SetAreas({{0x0, 0xFFFFF}});  // abort asked for at the first progress report, with lines written
    session->run.abortFlag = 0;
    g_abortingSession = session.get();
    host.descriptor.OnProgressUpdate = AbortOnProgress;
    EXPECT_EQ(Save({{0x0, 0xFFFFF}}), static_cast<uint32_t>(ERR_ABORT));
    const Lines lines = DataLines();
    EXPECT_TRUE(!lines.empty() && lines.size() < 0x100000u / 16 && lines.back().first == (lines.size() - 1) * 16);
    EXPECT_EQ(SavedLines().back(), kTermination);
    host.InstallCallbacks();
    session->run.abortFlag = 0;

    SetAreas({{0x1000, 0x10FF}});
    EXPECT_EQ(Save({{0x10F8, 0x1107}}), static_cast<uint32_t>(ERR_RANGE_OUTSIDE_FLASH));
    EXPECT_EQ(host.Messages(2), Texts{"Error: Address 0x00001100 outside flash memory"});
    EXPECT_EQ(DataLines(), (Lines{{0x10F8, 8}}));
    EXPECT_EQ(SavedLines().size(), 2u) << "no termination";
    SetSaveFile(dir.File("no/such/dir/out.srec"));
    EXPECT_EQ(Save({{0x1000, 0x10FF}}), static_cast<uint32_t>(ERR_WRONG_FILE_SAVE));
    EXPECT_TRUE(host.HasMessage("Error: Unable to open file \"" + dir.File("no/such/dir/out.srec") + "\"", 1));
    SetSaveFile("/dev/full");  // every write fails: no space left
    EXPECT_EQ(Save({{0x1000, 0x10FF}}), static_cast<uint32_t>(ERR_FILEIO));
    EXPECT_EQ(host.Messages(2), Texts{"Error: Unable to write file \"/dev/full\""});
}

TEST_F(SrecWriter, SavedFileLoadsBackAndOtherToolsReadIt) {
    SetAreas({{0x20000000, 0x2000FFFF}, {0x20010000, 0x2001FFFF}});
    const std::vector<FlashRange> ranges = {{0x20000003, 0x20000FFF}, {0x2000FF00, 0x20010100}, {0x20011111, 0x20011111}};
    ASSERT_EQ(Save(ranges), 0u);
    for (auto& block : blocks) std::fill(block.begin(), block.end(), 0);
    ASSERT_EQ(LoadSRecordFile(session.get(), &session->userImage, session->options.savefile, 0), 0u);  // checksums too
    std::string expected(0x20011111 - 0x20000003 + 1, '\0');  // as a binary from the lowest address, gaps as zeros
    size_t wrong = session->userImage.regionCount == 3 ? 0 : 1;
    for (uint32_t i = 0; i < 3; ++i) {
        wrong += session->userImage.regions[i].first != ranges[i].first || session->userImage.regions[i].last != ranges[i].last;
        for (uint32_t a = ranges[i].first; a <= ranges[i].last; ++a) {
            wrong += blocks[a >> 16 & 1][a & 0xFFFF] != Fill(a);
            expected[a - 0x20000003] = static_cast<char>(Fill(a));
        }
    }
    EXPECT_EQ(wrong, 0u) << "regions or bytes that did not come back";
    if (std::system("command -v objcopy >/dev/null && command -v srec_cat >/dev/null") != 0) {
        GTEST_SKIP() << "objcopy or srec_cat not installed";
    }
    const std::string saved = session->options.savefile, bin = dir.File("out.bin"), log = dir.File("log.txt");
    for (const std::string& command : {"srec_cat " + saved + " -motorola -o /dev/null",
                                       "objcopy -I srec -O binary " + saved + " " + bin,
                                       "srec_cat " + saved + " -motorola -offset -0x20000003 -o " + bin + " -binary"}) {
        std::remove(bin.c_str());
        ASSERT_EQ(std::system((command + " 2>" + log).c_str()), 0) << command;
        EXPECT_EQ(ReadFileText(log), "") << "complaint from: " << command;
        EXPECT_TRUE(command.find(bin) == std::string::npos || ReadFileText(bin) == expected) << command;
    }
}

}  // namespace
