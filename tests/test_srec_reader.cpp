#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "flashdll/image/image_buffer.h"
#include "flashdll/image/srec_reader.h"
#include "flashdll/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using testing_support::HostEventKind;
using testing_support::RecordingHost;
using testing_support::TempDir;
using Bytes = std::vector<uint8_t>;

// One S-record line (without line end), checksum computed independently.
std::string Record(char type, uint32_t address, const Bytes& data) {
    const int addressBytes = (type == '2' || type == '8') ? 3 : (type == '3' || type == '7') ? 4 : 2;
    const unsigned count = addressBytes + data.size() + 1;
    char text[8];
    std::string line = std::string("S") + type;
    unsigned sum = count;
    std::snprintf(text, sizeof text, "%02X", count);
    line += text;
    for (int i = addressBytes - 1; i >= 0; --i) {
        const unsigned byte = (address >> (8 * i)) & 0xFF;
        sum += byte;
        std::snprintf(text, sizeof text, "%02X", byte);
        line += text;
    }
    for (uint8_t byte : data) {
        sum += byte;
        std::snprintf(text, sizeof text, "%02X", byte);
        line += text;
    }
    std::snprintf(text, sizeof text, "%02X", ~sum & 0xFF);
    return line + text;
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

std::string Lines(const std::vector<std::string>& lines, const char* end = "\n") {
    std::string text;
    for (const std::string& line : lines) text += line + end;
    return text;
}

class SrecReader : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session = std::make_unique<Session>();
        session->host = &host.descriptor;
        SetAreas({{0x1000, 0x3FFF}});
    }

    void SetAreas(const std::vector<std::pair<uint32_t, uint32_t>>& areas) {
        blocks.clear();
        ImageBuffer& image = session->userImage;
        image.areaCount = static_cast<uint32_t>(areas.size());
        for (size_t i = 0; i < areas.size(); ++i) {
            blocks.emplace_back(areas[i].second - areas[i].first + 1, 0x5A);
            image.areas[i] = {areas[i].first, areas[i].second, blocks.back().data()};
        }
    }

    uint32_t Load(const std::string& content, int rangeCheck = 0) {
        return LoadSRecordFile(session.get(), &session->userImage, dir.Write("image.s19", content).c_str(), rangeCheck);
    }

    uint8_t At(uint32_t address) const {
        const ImageBuffer& image = session->userImage;
        const uint32_t area = FindArea(&image, address);
        EXPECT_NE(area, kNoArea);
        return image.areas[area].data[address - image.areas[area].first];
    }

    Bytes Read(uint32_t address, size_t n) const {
        Bytes bytes;
        for (size_t i = 0; i < n; ++i) bytes.push_back(At(address + static_cast<uint32_t>(i)));
        return bytes;
    }

    std::vector<std::pair<uint32_t, uint32_t>> RegionList() const {
        std::vector<std::pair<uint32_t, uint32_t>> regions;
        for (uint32_t i = 0; i < session->userImage.regionCount; ++i) {
            regions.emplace_back(session->userImage.regions[i].first, session->userImage.regions[i].last);
        }
        return regions;
    }

    RecordingHost host;
    std::unique_ptr<Session> session;
    TempDir dir;
    std::vector<Bytes> blocks;
};

using Regions = std::vector<std::pair<uint32_t, uint32_t>>;

TEST_F(SrecReader, LoadsDataIgnoresOtherRecordsAndListsRegions) {
    const Bytes a = Pattern(16, 1), b = Pattern(16, 2), c = Pattern(5, 3);
    const std::string header = "S00600004844521B";
    const std::string file = Lines({header, Record('3', 0x1000, a), Record('3', 0x1010, b),
                                    Record('1', 0x2000, c), Record('5', 0x0003, {}), "S705A002000058"});
    ASSERT_EQ(Load(file), static_cast<uint32_t>(SUCCESS)) << host.Transcript();

    EXPECT_EQ(RegionList(), (Regions{{0x1000, 0x101F}, {0x2000, 0x2004}}));
    EXPECT_EQ(Read(0x1000, 16), a);
    EXPECT_EQ(Read(0x1010, 16), b);
    EXPECT_EQ(Read(0x2000, 5), c);
    EXPECT_EQ(At(0x0FFF + 0x21), 0xFF) << "untouched memory reads as 0xFF";
    EXPECT_EQ(At(0x3FFF), 0xFF);
    const std::vector<std::string> expected = {
        "Loading S-record file (RangeCheck=Off)",
        "File: " + dir.File("image.s19"),
        "SRE line 1: IGNORING: " + header,
        "SRE line 5: IGNORING: S5030003F9",
        "SRE line 6: IGNORING: S705A002000058",
        "There are 2 memory regions in the S-record file:",
        " 1: 0x00001000 - 0x0000101f =         32 Bytes",
        " 2: 0x00002000 - 0x00002004 =          5 Bytes",
    };
    EXPECT_EQ(host.Messages(0), expected);
}

TEST_F(SrecReader, TouchingRunsMergeAndProgressCoversTheFile) {
    const std::string file = Lines({Record('3', 0x1FF0, Pattern(16, 0)), Record('3', 0x2000, Pattern(16, 1)),
                                    Record('3', 0x3000, Pattern(16, 2))});
    ASSERT_EQ(Load(file), static_cast<uint32_t>(SUCCESS));
    EXPECT_EQ(RegionList(), (Regions{{0x1FF0, 0x200F}, {0x3000, 0x300F}}));

    const auto events = host.Events();
    ASSERT_FALSE(events.empty());
    int begins = 0, ends = 0;
    for (const auto& event : events) {
        if (event.kind == HostEventKind::ProgressBegin) {
            ++begins;
            EXPECT_EQ(event.text, "Loading S-Record File ...");
            EXPECT_EQ(event.a, file.size());
        }
        ends += event.kind == HostEventKind::ProgressEnd;
    }
    EXPECT_EQ(begins, 1);
    EXPECT_EQ(ends, 1);
}

TEST_F(SrecReader, RecordGoingBackIntoEarlierRegionIsAnOverlap) {
    const std::string file = Lines({Record('3', 0x1000, Pattern(16, 0)), Record('3', 0x2000, Pattern(16, 0)),
                                    Record('3', 0x1008, Pattern(16, 0))});
    EXPECT_EQ(Load(file), static_cast<uint32_t>(ERR_BAD_SREC_ADDR));
    EXPECT_TRUE(host.HasMessage(
        "SRE line 3: Overlapping address ranges: 0x00001000-0x0000100f, 0x00001008-0x00001017!", 2))
        << host.Transcript();
    EXPECT_EQ(host.IndexOfMessageContaining("memory region"), -1);
}

TEST_F(SrecReader, LinesThatAreNoRecordsAreRefused) {
    const std::string good = Record('3', 0x1000, Pattern(4, 0));
    const std::string path = dir.File("image.s19");
    const struct { std::string file; unsigned long line; } cases[] = {
        {good + "\n\n" + good + "\n", 2},  // empty line
        {good + "\n\n", 2},                // blank line at the end
        {good + "\r\n\r\n", 2},            // blank line with CR LF
        {"s3" + good.substr(2) + "\n", 1},  // lower-case record mark
        {":10000000\n", 1},
    };
    for (const auto& c : cases) {
        host.Clear();
        EXPECT_EQ(Load(c.file), static_cast<uint32_t>(ERR_BAD_SREC_FILE)) << c.file;
        EXPECT_TRUE(host.HasMessage("SRE line " + std::to_string(c.line) + ": " + path +
                                        " is not a valid S-Record file!", 2))
            << host.Transcript();
    }
}

TEST_F(SrecReader, MalformedDataRecordsAreRefusedWithoutTouchingMemory) {
    const std::string record = Record('3', 0x1000, Pattern(8, 9));  // S30D00001000... 26 characters
    std::string badHex = record;
    badHex[14] = 'G';
    std::string nul = record;
    nul[20] = '\0';
    const std::string cases[] = {
        "S3040000100099",      // count 4 does not cover a 4-byte address and the checksum
        "S105",                // count promises 5 bytes, line ends after it
        record.substr(0, 20),  // line cut short
        badHex,                // non-hex digit in the data
        nul,                   // NUL inside the record
        "S3",                  // no byte count at all
        "S1Z3000000",          // non-hex byte count
    };
    for (const std::string& line : cases) {
        host.Clear();
        EXPECT_EQ(Load(line + "\n"), static_cast<uint32_t>(ERR_BAD_SREC_FILE)) << line;
        EXPECT_EQ(host.IndexOfMessageContaining("is not a valid S-Record file!"), 2) << host.Transcript();
        EXPECT_EQ(At(0x1000), 0xFF) << line;
        EXPECT_EQ(session->userImage.regionCount, 0u);
    }
}

TEST_F(SrecReader, RecordWithoutDataIsCheckedButAddsNoRegion) {
    ASSERT_EQ(Load(Lines({Record('3', 0x9000000, {}), Record('3', 0x1000, Pattern(2, 0))})),
              static_cast<uint32_t>(SUCCESS));
    EXPECT_EQ(RegionList(), (Regions{{0x1000, 0x1001}}));
    EXPECT_EQ(Load("S3050900000000\n"), static_cast<uint32_t>(ERR_BAD_SREC_CHECKSUM));
}

TEST_F(SrecReader, AddressesOutsideTheAreasAreRefused) {
    SetAreas({{0x1000, 0x1FFF}, {0x8000, 0x80FF}});
    // First address in no area.
    EXPECT_EQ(Load(Lines({Record('3', 0x2000, Pattern(4, 0))})), static_cast<uint32_t>(ERR_BAD_SREC_ADDR));
    EXPECT_TRUE(host.HasMessage("SRE line 1: Address outside buffers ! 0x00002000", 2)) << host.Transcript();

    // Bytes running past the end of the area that holds the first address:
    // nothing of the record is stored, the message names the first byte outside.
    host.Clear();
    EXPECT_EQ(Load(Lines({Record('3', 0x8000, Pattern(4, 0)), Record('3', 0x80F8, Pattern(16, 0))})),
              static_cast<uint32_t>(ERR_BAD_SREC_ADDR));
    EXPECT_TRUE(host.HasMessage("SRE line 2: Address outside buffers ! 0x00008100", 2)) << host.Transcript();
    EXPECT_EQ(Read(0x80F8, 8), Bytes(8, 0xFF));

    // Switching between areas is fine; the search finds the second area.
    host.Clear();
    EXPECT_EQ(Load(Lines({Record('3', 0x80F0, Pattern(16, 1)), Record('2', 0x1FF0, Pattern(16, 2))})),
              static_cast<uint32_t>(SUCCESS));
    EXPECT_EQ(Read(0x80F0, 16), Pattern(16, 1));
    EXPECT_EQ(Read(0x1FF0, 16), Pattern(16, 2));
}

TEST_F(SrecReader, ChecksumMismatchIsReported) {
    std::string line = Record('3', 0x1000, Pattern(4, 0));
    line.back() = line.back() == '0' ? '1' : '0';
    EXPECT_EQ(Load(Lines({Record('3', 0x2000, Pattern(4, 0)), line})), static_cast<uint32_t>(ERR_BAD_SREC_CHECKSUM));
    EXPECT_TRUE(host.HasMessage("SRE line 2: Checksum mismatch in S-record file", 2)) << host.Transcript();
}

TEST_F(SrecReader, LowerCaseDigitsAndCrLfLinesReadLikeTheUsualForm) {
    const Bytes data = Pattern(56, 0xA0);  // 126 characters: the longest record that fits a line
    std::vector<std::string> lines = {"S00600004844521B", Record('3', 0x1000, data), Record('2', 0x2000, Pattern(16, 5))};
    for (char& ch : lines[2]) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    lines[2][0] = 'S';
    ASSERT_EQ(lines[1].size(), 126u);
    for (const char* end : {"\n", "\r\n"}) {
        host.Clear();
        ASSERT_EQ(Load(Lines(lines, end)), static_cast<uint32_t>(SUCCESS)) << host.Transcript();
        EXPECT_EQ(RegionList(), (Regions{{0x1000, 0x1037}, {0x2000, 0x200F}}));
        EXPECT_EQ(Read(0x1000, 56), data);
        EXPECT_EQ(Read(0x2000, 16), Pattern(16, 5));
        EXPECT_TRUE(host.HasMessage("SRE line 1: IGNORING: S00600004844521B", 0));
    }
}

TEST_F(SrecReader, LineLongerThanTheLineRoomIsCut) {
    // 57 data bytes make a 128-character record: its last character would
    // come as a line of its own, so the first part is short of its count.
    const std::string line = Record('3', 0x1000, Pattern(57, 0));
    ASSERT_EQ(line.size(), 128u);
    EXPECT_EQ(Load(line + "\n"), static_cast<uint32_t>(ERR_BAD_SREC_FILE));
    EXPECT_TRUE(host.HasMessage("SRE line 1: " + dir.File("image.s19") + " is not a valid S-Record file!", 2))
        << host.Transcript();
    // A long skipped line: its rest is the next line, which is no record.
    host.Clear();
    EXPECT_EQ(Load("S0" + std::string(200, '0') + "\n"), static_cast<uint32_t>(ERR_BAD_SREC_FILE));
    EXPECT_TRUE(host.HasMessage("SRE line 1: IGNORING: S0" + std::string(125, '0'), 0)) << host.Transcript();
    EXPECT_EQ(host.IndexOfMessageContaining("SRE line 2:"), host.IndexOfMessageContaining("not a valid"));
}

TEST_F(SrecReader, FileWithoutDataRecordsHasNoRegions) {
    session->userImage.regionCount = 7;  // left over from an earlier load
    ASSERT_EQ(Load("S00600004844521B\nS9030000FC\n"), static_cast<uint32_t>(SUCCESS));
    EXPECT_EQ(session->userImage.regionCount, 0u);
    EXPECT_TRUE(host.HasMessage("There are 0 memory regions in the S-record file:", 0));
    EXPECT_EQ(At(0x1000), 0xFF);
}

TEST_F(SrecReader, DataInReservedRangeIsRefusedOnlyWithRangeCheck) {
    session->options.reservedcount = 2;
    session->options.reserved[0] = {0x0100, 0x01FF};
    session->options.reserved[1] = {0x1000, 0x1FFF};
    const std::string file = Lines({Record('3', 0x3000, Pattern(16, 0)), Record('3', 0x1800, Pattern(16, 0))});
    EXPECT_EQ(Load(file, 0), static_cast<uint32_t>(SUCCESS));
    host.Clear();
    EXPECT_EQ(Load(file, 1), static_cast<uint32_t>(ERR_BAD_SREC_ADDR));
    EXPECT_TRUE(host.HasMessage("Loading S-record file (RangeCheck=On)", 0));
    EXPECT_TRUE(host.HasMessage("Attempt to write to reserved region 0x1000 - 0x1fff (0x1800 - 0x180f)", 2))
        << host.Transcript();
}

TEST_F(SrecReader, RegionLimit) {
    SetAreas({{0, 0xFFFF}});
    std::vector<std::string> lines;
    for (uint32_t i = 0; i < kMaxRegions; ++i) lines.push_back(Record('1', i * 32, {1}));
    ASSERT_EQ(Load(Lines(lines)), static_cast<uint32_t>(SUCCESS));
    EXPECT_EQ(session->userImage.regionCount, kMaxRegions);
    lines.push_back(Record('1', 0xFFF0, {1}));
    host.Clear();
    EXPECT_EQ(Load(Lines(lines)), static_cast<uint32_t>(ERR_TOO_MANY_RANGES));
    EXPECT_EQ(host.Messages(2).size(), 0u);
}

TEST_F(SrecReader, AbortAndMissingFile) {
    session->run.abortFlag = 1;
    EXPECT_EQ(Load(Record('3', 0x1000, Pattern(4, 0)) + "\n"), static_cast<uint32_t>(ERR_ABORT));
    EXPECT_EQ(host.Messages(2).size(), 0u);
    EXPECT_EQ(session->userImage.regionCount, 0u);

    const std::string missing = dir.File("missing.s19");
    EXPECT_EQ(LoadSRecordFile(session.get(), &session->userImage, missing.c_str(), 0),
              static_cast<uint32_t>(ERR_FILEIO));
    EXPECT_TRUE(host.HasMessage("Error: Unable to open file \"" + missing + "\"", 1));
}

TEST_F(SrecReader, ReadErrorIsNotTakenForTheEndOfTheFile) {
    // A directory opens for reading here, but every read of it fails.
    const uint32_t result = LoadSRecordFile(session.get(), &session->userImage, dir.Path().c_str(), 0);
    EXPECT_TRUE(result == ERR_FILEIO) << result << host.Transcript();
}

TEST(HexValue, ReadsDigitsOfEitherCaseAndCountsOthersAsZero) {
    EXPECT_EQ(HexValue("1aF", 3), 0x1AFu);
    EXPECT_EQ(HexValue("DEADBEEF", 8), 0xDEADBEEFu);
    EXPECT_EQ(HexValue("12", 1), 1u);
    EXPECT_EQ(HexValue("1G2", 3), 0x102u);
}

// Files made from binaries by other tools load with the right regions.
class SrecReaderInterop : public SrecReader {
protected:
    static bool Have(const char* tool) {
        return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
    }
    void Run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
};

TEST_F(SrecReaderInterop, FilesMadeByObjcopy) {
    if (!Have("objcopy")) GTEST_SKIP() << "objcopy not installed";
    SetAreas({{0x0, 0x3FFF}, {0x20000000, 0x2003FFFF}});
    const Bytes data = Pattern(5000, 11);
    const std::string bin = dir.WriteBytes("data.bin", data);
    struct Case { uint32_t address; const char* options; };
    for (const Case& c : {Case{0x1000, ""}, Case{0x20000100, ""}, Case{0x20000003, "--srec-forceS3 --srec-len=32"}}) {
        const std::string out = dir.File("objcopy.srec");
        char command[512];
        std::snprintf(command, sizeof command,
                      "objcopy -I binary -O srec %s --change-addresses 0x%x %s %s", c.options, c.address,
                      bin.c_str(), out.c_str());
        Run(command);
        host.Clear();
        ASSERT_EQ(LoadSRecordFile(session.get(), &session->userImage, out.c_str(), 0), static_cast<uint32_t>(SUCCESS))
            << host.Transcript();
        EXPECT_EQ(RegionList(), (Regions{{c.address, c.address + 4999}})) << command;
        EXPECT_EQ(Read(c.address, 5000), data) << command;
        EXPECT_NE(host.IndexOfMessageContaining("IGNORING: S0"), -1) << "header record expected";
    }
}

TEST_F(SrecReaderInterop, FilesMadeBySrecCat) {
    if (!Have("srec_cat")) GTEST_SKIP() << "srec_cat not installed";
    SetAreas({{0x0, 0x3FFF}, {0x20000000, 0x2003FFFF}});
    const Bytes a = Pattern(3000, 1), b = Pattern(777, 2);
    const std::string binA = dir.WriteBytes("a.bin", a), binB = dir.WriteBytes("b.bin", b);
    const std::string out = dir.File("srec_cat.srec");
    // S1 records with S5 and S9, then S3 records with S7 termination.
    Run("srec_cat " + binA + " -binary -offset 0x100 " + binB + " -binary -offset 0x2000 -execution-start-address=0x100 -o " + out + " -motorola");
    ASSERT_EQ(LoadSRecordFile(session.get(), &session->userImage, out.c_str(), 0), static_cast<uint32_t>(SUCCESS))
        << host.Transcript();
    EXPECT_EQ(RegionList(), (Regions{{0x100, 0x100 + 2999}, {0x2000, 0x2000 + 776}}));
    EXPECT_EQ(Read(0x100, 3000), a);
    EXPECT_EQ(Read(0x2000, 777), b);
    EXPECT_NE(host.IndexOfMessageContaining("IGNORING: S9"), -1);

    host.Clear();
    Run("srec_cat " + binA + " -binary -offset 0x20001000 -execution-start-address=0x20001000 -o " + out +
        " -motorola -address-length=4");
    ASSERT_EQ(LoadSRecordFile(session.get(), &session->userImage, out.c_str(), 0), static_cast<uint32_t>(SUCCESS))
        << host.Transcript();
    EXPECT_EQ(RegionList(), (Regions{{0x20001000, 0x20001000 + 2999}}));
    EXPECT_EQ(Read(0x20001000, 3000), a);
    EXPECT_NE(host.IndexOfMessageContaining("IGNORING: S7"), -1);
}

}  // namespace
