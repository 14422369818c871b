#include "flashdll/image/srec_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "flashdll/image/image_buffer.h"
#include "flashdll/image/srec_reader.h"
#include "flashdll/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ReadFileText;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::pair<uint32_t, size_t>>;  // address and data length of each data line

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
    std::vector<std::string> SavedLines() const {
        std::vector<std::string> lines;
        std::istringstream in(ReadFileText(session->options.savefile));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // The data lines between header and last line, each checked for its
    // type, count, checksum and bytes.
    Lines DataLines() const {
        Lines result;
        const auto lines = SavedLines();
        for (size_t i = 1; i + 1 < lines.size(); ++i) {
            const std::string& line = lines[i];
            Bytes bytes;
            for (size_t k = 2; k + 1 < line.size(); k += 2) bytes.push_back(std::stoul(line.substr(k, 2), nullptr, 16));
            EXPECT_EQ(line.substr(0, 2), "S3");
            EXPECT_EQ(line.size(), 4 + 2 * bytes[0]) << line;
            unsigned sum = 0;
            for (size_t k = 0; k + 1 < bytes.size(); ++k) sum += bytes[k];
            EXPECT_EQ(static_cast<uint8_t>(~sum), bytes.back()) << line;
            const uint32_t address = (bytes[1] << 24) | (bytes[2] << 16) | (bytes[3] << 8) | bytes[4];
            for (size_t k = 5; k + 1 < bytes.size(); ++k) EXPECT_EQ(bytes[k], Fill(address + k - 5)) << line;
            result.emplace_back(address, bytes.size() - 6);
        }
        return result;
    }

    testing_support::RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
    testing_support::TempDir dir;
    std::vector<Bytes> blocks;
};

TEST_F(SrecWriter, FixedHeaderAndTerminationLinesNeverCrossARangeOrAreaEnd) {
    for (uint32_t i = 0; i < 16; ++i) blocks[0][i] = static_cast<uint8_t>(i);
    ASSERT_EQ(Save({{0x0, 0xF}}), 0u) << host.Transcript();
    EXPECT_EQ(ReadFileText(session->options.savefile),
              "S00600004844521B\nS31500000000000102030405060708090A0B0C0D0E0F72\nS705A002000058\n");
    EXPECT_TRUE(host.HasMessage(std::string("Writing S-Record File ") + session->options.savefile, 0));
    EXPECT_EQ(host.Events().back().kind, testing_support::HostEventKind::ProgressEnd);

    SetAreas({{0x0, 0xFFFF}});
    ASSERT_EQ(Save({{0x100, 0x10F}, {0x200, 0x207}, {0x300, 0x310}, {0x400, 0x427}}), 0u);
    EXPECT_EQ(DataLines(), (Lines{{0x100, 16}, {0x200, 8}, {0x300, 16}, {0x310, 1}, {0x400, 16}, {0x410, 16},
                                  {0x420, 8}}));
    EXPECT_EQ(SavedLines().front(), kHeader);
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
    EXPECT_EQ(SavedLines(), (std::vector<std::string>{kHeader, kTermination}));
    // Abort asked for while lines are being written (at the first progress report).
    SetAreas({{0x0, 0xFFFFF}});
    session->run.abortFlag = 0;
    g_abortingSession = session.get();
    host.descriptor.OnProgressUpdate = AbortOnProgress;
    EXPECT_EQ(Save({{0x0, 0xFFFFF}}), static_cast<uint32_t>(ERR_ABORT));
    const Lines lines = DataLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_LT(lines.size(), 0x100000u / 16);
    EXPECT_EQ(lines.back().first, (lines.size() - 1) * 16) << "the lines written are the start of the range";
    EXPECT_EQ(SavedLines().back(), kTermination);
    host.InstallCallbacks();
    session->run.abortFlag = 0;

    SetAreas({{0x1000, 0x10FF}});
    EXPECT_EQ(Save({{0x10F8, 0x1107}}), static_cast<uint32_t>(ERR_RANGE_OUTSIDE_FLASH));
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"Error: Address 0x00001100 outside flash memory"});
    const auto saved = SavedLines();
    ASSERT_EQ(saved.size(), 2u) << "header and the line inside the area, no termination";
    EXPECT_EQ(saved[1].substr(0, 12), "S30D000010F8");

    SetSaveFile(dir.File("no/such/dir/out.srec"));
    EXPECT_EQ(Save({{0x1000, 0x10FF}}), static_cast<uint32_t>(ERR_WRONG_FILE_SAVE));
    EXPECT_TRUE(host.HasMessage("Error: Unable to open file \"" + dir.File("no/such/dir/out.srec") + "\"", 1));
    SetSaveFile("/dev/full");  // every write fails: no space left
    EXPECT_EQ(Save({{0x1000, 0x10FF}}), static_cast<uint32_t>(ERR_FILEIO));
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"Error: Unable to write file \"/dev/full\""});
}

TEST_F(SrecWriter, SavedFileLoadsBackAndOtherToolsReadIt) {
    SetAreas({{0x20000000, 0x2000FFFF}, {0x20010000, 0x2001FFFF}});
    const std::vector<FlashRange> ranges = {{0x20000003, 0x20000FFF}, {0x2000FF00, 0x20010100}, {0x20011111, 0x20011111}};
    ASSERT_EQ(Save(ranges), 0u);
    std::string expected(0x20011111 - 0x20000003 + 1, '\0');  // from the lowest address, gaps as zeros
    for (const FlashRange& r : ranges) {
        for (uint32_t a = r.first; a <= r.last; ++a) expected[a - 0x20000003] = static_cast<char>(Fill(a));
    }
    for (Bytes& block : blocks) std::fill(block.begin(), block.end(), 0);
    ASSERT_EQ(LoadSRecordFile(session.get(), &session->userImage, session->options.savefile, 0), 0u);
    ASSERT_EQ(session->userImage.regionCount, 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(session->userImage.regions[i].first, ranges[i].first);
        EXPECT_EQ(session->userImage.regions[i].last, ranges[i].last);
    }
    EXPECT_EQ(std::string(blocks[0].begin() + 3, blocks[0].begin() + 0x1000), expected.substr(0, 0xFFD));

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
