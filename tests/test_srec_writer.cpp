#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "flashdll/image/image_buffer.h"
#include "flashdll/image/srec_reader.h"
#include "flashdll/image/srec_writer.h"
#include "flashdll/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ReadFileText;
using testing_support::RecordingHost;
using testing_support::TempDir;
using Bytes = std::vector<uint8_t>;

const char kHeader[] = "S00600004844521B";
const char kTermination[] = "S705A002000058";

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Address and data bytes of an S3 line, after checking its count and checksum.
struct Parsed { uint32_t address; Bytes data; };
Parsed ParseS3(const std::string& line) {
    EXPECT_EQ(line.substr(0, 2), "S3");
    const unsigned count = std::stoul(line.substr(2, 2), nullptr, 16);
    EXPECT_EQ(line.size(), 4 + 2 * count) << line;
    unsigned sum = 0;
    Bytes bytes;
    for (unsigned i = 0; i < count; ++i) bytes.push_back(std::stoul(line.substr(4 + 2 * i, 2), nullptr, 16));
    for (unsigned i = 0; i + 1 < count; ++i) sum += bytes[i];
    EXPECT_EQ((~(sum + count)) & 0xFF, bytes.back()) << line;
    const uint32_t address = (bytes[0] << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3];
    return {address, Bytes(bytes.begin() + 4, bytes.end() - 1)};
}

class SrecWriter : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session = std::make_unique<Session>();
        session->host = &host.descriptor;
        SetAreas({{0x0, 0xFFFF}});
        SetSaveFile(dir.File("out.srec"));
    }

    void SetAreas(const std::vector<std::pair<uint32_t, uint32_t>>& areas) {
        blocks.clear();
        ImageBuffer& image = session->userImage;
        image.areaCount = static_cast<uint32_t>(areas.size());
        for (size_t i = 0; i < areas.size(); ++i) {
            Bytes block(areas[i].second - areas[i].first + 1);
            for (size_t k = 0; k < block.size(); ++k) block[k] = static_cast<uint8_t>((areas[i].first + k) * 13 + 7);
            blocks.push_back(block);
            image.areas[i] = {areas[i].first, areas[i].second, blocks.back().data()};
        }
    }

    // The byte the image holds at `address` (the fill pattern of SetAreas).
    static uint8_t Expected(uint32_t address) { return static_cast<uint8_t>(address * 13 + 7); }

    void SetSaveFile(const std::string& path) {
        std::snprintf(session->options.savefile, sizeof session->options.savefile, "%s", path.c_str());
    }

    void SetRanges(const std::vector<FlashRange>& ranges) {
        session->options.readcount = static_cast<uint32_t>(ranges.size());
        for (size_t i = 0; i < ranges.size(); ++i) session->options.read[i] = ranges[i];
    }

    uint32_t Save() { return SaveSRecordFile(session.get(), &session->userImage); }
    std::vector<std::string> SavedLines() const { return SplitLines(ReadFileText(session->options.savefile)); }

    // Line sizes of the saved file, checking every data byte on the way.
    std::vector<std::pair<uint32_t, size_t>> DataLines() const {
        std::vector<std::pair<uint32_t, size_t>> result;
        const auto lines = SavedLines();
        for (size_t i = 1; i + 1 < lines.size(); ++i) {
            const Parsed parsed = ParseS3(lines[i]);
            for (size_t k = 0; k < parsed.data.size(); ++k) {
                EXPECT_EQ(parsed.data[k], Expected(parsed.address + static_cast<uint32_t>(k))) << lines[i];
            }
            result.emplace_back(parsed.address, parsed.data.size());
        }
        return result;
    }

    RecordingHost host;
    std::unique_ptr<Session> session;
    TempDir dir;
    std::vector<Bytes> blocks;
};

using Lines = std::vector<std::pair<uint32_t, size_t>>;

TEST_F(SrecWriter, WritesFixedHeaderDataLinesAndTermination) {
    for (uint32_t i = 0; i < 16; ++i) blocks[0][i] = static_cast<uint8_t>(i);
    SetRanges({{0x0, 0xF}});
    ASSERT_EQ(Save(), static_cast<uint32_t>(SUCCESS)) << host.Transcript();
    EXPECT_EQ(ReadFileText(session->options.savefile),
              "S00600004844521B\nS31500000000000102030405060708090A0B0C0D0E0F72\nS705A002000058\n");
    EXPECT_TRUE(host.HasMessage(std::string("Writing S-Record File ") + session->options.savefile, 0));
    const auto events = host.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, testing_support::HostEventKind::ProgressEnd);
}

TEST_F(SrecWriter, LinesNeverCrossARangeEnd) {
    SetRanges({{0x100, 0x10F}, {0x200, 0x207}, {0x300, 0x310}, {0x400, 0x427}});
    ASSERT_EQ(Save(), static_cast<uint32_t>(SUCCESS));
    EXPECT_EQ(DataLines(), (Lines{{0x100, 16}, {0x200, 8}, {0x300, 16}, {0x310, 1},
                                  {0x400, 16}, {0x410, 16}, {0x420, 8}}));
    const auto lines = SavedLines();
    EXPECT_EQ(lines.front(), kHeader);
    EXPECT_EQ(lines.back(), kTermination);
}

TEST_F(SrecWriter, RangeAcrossTwoAreasIsWrittenInTwoSegments) {
    SetAreas({{0x1000, 0x1013}, {0x1014, 0x1FFF}});
    SetRanges({{0x1008, 0x1037}});
    ASSERT_EQ(Save(), static_cast<uint32_t>(SUCCESS));
    EXPECT_EQ(DataLines(), (Lines{{0x1008, 12}, {0x1014, 16}, {0x1024, 16}, {0x1034, 4}}));
}

TEST_F(SrecWriter, AddressOutsideTheAreasStopsWithAFailure) {
    SetAreas({{0x1000, 0x10FF}});
    SetRanges({{0x10F8, 0x1107}});
    EXPECT_EQ(Save(), static_cast<uint32_t>(ERR_RANGE_OUTSIDE_FLASH));
    EXPECT_TRUE(host.HasMessage("Error: Address 0x00001100 outside flash memory", 2)) << host.Transcript();
    const auto lines = SavedLines();
    ASSERT_EQ(lines.size(), 2u) << "header and the line inside the area, no termination";
    EXPECT_EQ(ParseS3(lines[1]).address, 0x10F8u);

    SetRanges({{0x100, 0x1FF}});
    EXPECT_EQ(Save(), static_cast<uint32_t>(ERR_RANGE_OUTSIDE_FLASH));
    EXPECT_TRUE(host.HasMessage("Error: Address 0x00000100 outside flash memory", 2));
}

Session* g_abortAfterProgress = nullptr;

void AbortOnProgress(FlashHostDescriptor*, uint32_t, uint32_t) { g_abortAfterProgress->run.abortFlag = 1; }

TEST_F(SrecWriter, AbortEndsWithTheTerminationRecord) {
    session->run.abortFlag = 1;
    SetRanges({{0x0, 0xFF}});
    EXPECT_EQ(Save(), static_cast<uint32_t>(ERR_ABORT));
    EXPECT_EQ(SavedLines(), (std::vector<std::string>{kHeader, kTermination}));

    // Abort asked for while lines are being written (at the first progress report).
    SetAreas({{0x0, 0xFFFFF}});
    SetRanges({{0x0, 0xFFFFF}});
    session->run.abortFlag = 0;
    g_abortAfterProgress = session.get();
    host.descriptor.OnProgressUpdate = AbortOnProgress;
    EXPECT_EQ(Save(), static_cast<uint32_t>(ERR_ABORT));
    const auto lines = DataLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_LT(lines.size(), 0x100000u / 16);
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], (std::make_pair(uint32_t(i * 16), size_t(16))));
    EXPECT_EQ(SavedLines().back(), kTermination);
}

TEST_F(SrecWriter, FilesThatCannotBeWrittenAreFailures) {
    SetRanges({{0x0, 0xFF}});
    SetSaveFile(dir.File("no/such/dir/out.srec"));
    EXPECT_EQ(Save(), static_cast<uint32_t>(ERR_WRONG_FILE_SAVE));
    EXPECT_TRUE(host.HasMessage("Error: Unable to open file \"" + dir.File("no/such/dir/out.srec") + "\"", 1));

    if (std::FILE* full = std::fopen("/dev/full", "w")) {
        std::fclose(full);
        SetSaveFile("/dev/full");  // every write fails with "no space left"
        EXPECT_EQ(Save(), static_cast<uint32_t>(ERR_FILEIO));
        EXPECT_TRUE(host.HasMessage("Error: Unable to write file \"/dev/full\"", 2)) << host.Transcript();
    }
}

TEST_F(SrecWriter, SavedFileLoadsBackWithTheSameRegionsAndBytes) {
    SetAreas({{0x20000000, 0x2000FFFF}, {0x20010000, 0x2001FFFF}});
    SetRanges({{0x20000003, 0x20000FFF}, {0x2000FF00, 0x20010100}, {0x20011111, 0x20011111}});
    ASSERT_EQ(Save(), static_cast<uint32_t>(SUCCESS));

    Session* writer = session.get();
    auto reader = std::make_unique<Session>();
    reader->host = &host.descriptor;
    std::vector<Bytes> copies = blocks;
    reader->userImage = writer->userImage;
    for (uint32_t i = 0; i < 2; ++i) reader->userImage.areas[i].data = copies[i].data();
    ASSERT_EQ(LoadSRecordFile(reader.get(), &reader->userImage, writer->options.savefile, 0),
              static_cast<uint32_t>(SUCCESS));
    const ImageBuffer& image = reader->userImage;
    ASSERT_EQ(image.regionCount, 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(image.regions[i].first, writer->options.read[i].first);
        EXPECT_EQ(image.regions[i].last, writer->options.read[i].last);
    }
    std::vector<Bytes> expected = {Bytes(0x10000, 0xFF), Bytes(0x10000, 0xFF)};
    for (uint32_t i = 0; i < 3; ++i) {
        for (uint32_t a = writer->options.read[i].first; a <= writer->options.read[i].last; ++a) {
            expected[(a >> 16) & 1][a & 0xFFFF] = Expected(a);
        }
    }
    EXPECT_TRUE(copies == expected) << "read ranges hold the saved bytes, everything else is 0xFF";
}

TEST(HexByte, UpperCaseHighNibbleFirst) {
    char text[3] = {};
    HexByte(0x0A, text);
    EXPECT_STREQ(text, "0A");
    HexByte(0xF5, text);
    EXPECT_STREQ(text, "F5");
}

bool Have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

TEST_F(SrecWriter, OtherToolsReadTheSavedFile) {
    if (!Have("srec_cat") || !Have("objcopy")) GTEST_SKIP() << "srec_cat or objcopy not installed";
    SetAreas({{0x20000000, 0x2001FFFF}});
    SetRanges({{0x20000000, 0x20004FFF}, {0x20006001, 0x20006FF0}});
    ASSERT_EQ(Save(), static_cast<uint32_t>(SUCCESS));
    const std::string saved = session->options.savefile;
    const std::string messages = dir.File("messages.txt");

    // Both tools must take the file without a single complaint.
    ASSERT_EQ(std::system(("srec_cat " + saved + " -motorola -o /dev/null 2>" + messages).c_str()), 0);
    EXPECT_EQ(ReadFileText(messages), "");
    const std::string bin1 = dir.File("objcopy.bin"), bin2 = dir.File("srec_cat.bin");
    ASSERT_EQ(std::system(("objcopy -I srec -O binary " + saved + " " + bin1 + " 2>" + messages).c_str()), 0);
    EXPECT_EQ(ReadFileText(messages), "");
    ASSERT_EQ(std::system(("srec_cat " + saved + " -motorola -offset -0x20000000 -o " + bin2 +
                           " -binary 2>" + messages).c_str()), 0);
    EXPECT_EQ(ReadFileText(messages), "");

    // The binaries start at the lowest address and carry the gap as zeros.
    std::string expected(0x6FF1, '\0');
    for (const FlashRange& r : {session->options.read[0], session->options.read[1]}) {
        for (uint32_t a = r.first; a <= r.last; ++a) expected[a - 0x20000000] = static_cast<char>(Expected(a));
    }
    EXPECT_TRUE(ReadFileText(bin1) == expected) << "objcopy gives back other bytes";
    EXPECT_TRUE(ReadFileText(bin2) == expected) << "srec_cat gives back other bytes";
}

}  // namespace
