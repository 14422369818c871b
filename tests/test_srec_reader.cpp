#include <gtest/gtest.h>

#include <algorithm>
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

using testing_support::RecordingHost;
using Bytes = std::vector<uint8_t>;
using Regions = std::vector<std::pair<uint32_t, uint32_t>>;

// One S-record line without its line end; the checksum is computed here.
std::string Record(char type, uint32_t address, const Bytes& data) {
    const int addressBytes = type == '2' ? 3 : type == '3' ? 4 : 2;
    const unsigned count = addressBytes + data.size() + 1;
    Bytes bytes = {static_cast<uint8_t>(count)};
    for (int i = addressBytes - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(~sum));
    std::string line = std::string("S") + type;
    char hex[3];
    for (uint8_t b : bytes) line += (std::snprintf(hex, sizeof hex, "%02X", b), hex);
    return line;
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

std::string Join(const std::vector<std::string>& lines, const char* end = "\n") {
    std::string text;
    for (const std::string& line : lines) text += line + end;
    return text;
}

class SrecReader : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session->host = &host.descriptor;
        SetAreas({{0x1000, 0x3FFF}});
    }
    void SetAreas(const Regions& areas) {
        blocks.clear();
        session->userImage.areaCount = static_cast<uint32_t>(areas.size());
        for (size_t i = 0; i < areas.size(); ++i) {
            blocks.emplace_back(areas[i].second - areas[i].first + 1, 0x5A);
            session->userImage.areas[i] = {areas[i].first, areas[i].second, blocks.back().data()};
        }
    }
    uint32_t LoadFile(const std::string& path, int rangeCheck = 0) {
        host.Clear();
        return LoadSRecordFile(session.get(), &session->userImage, path.c_str(), rangeCheck);
    }
    uint32_t Load(const std::string& content, int rangeCheck = 0) {
        return LoadFile(dir.Write("image.s19", content), rangeCheck);
    }
    Bytes Read(uint32_t address, size_t n) const {
        const ImageBuffer& image = session->userImage;
        const MemoryArea& area = image.areas[FindArea(&image, address)];
        return Bytes(area.data + (address - area.first), area.data + (address - area.first) + n);
    }
    Regions RegionList() const {
        Regions regions;
        for (uint32_t i = 0; i < session->userImage.regionCount; ++i) {
            regions.emplace_back(session->userImage.regions[i].first, session->userImage.regions[i].last);
        }
        return regions;
    }
    std::string NotValid(unsigned long line) const {
        return "SRE line " + std::to_string(line) + ": " + dir.File("image.s19") + " is not a valid S-Record file!";
    }

    RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
    testing_support::TempDir dir;
    std::vector<Bytes> blocks;
};

TEST_F(SrecReader, LoadsDataMergesTouchingRunsAndIgnoresOtherRecords) {
    const std::string file = Join({"S00600004844521B", Record('3', 0x1FF0, Pattern(16, 1)),
                                   Record('3', 0x2000, Pattern(16, 2)), Record('1', 0x3000, Pattern(5, 3)),
                                   "S5030003F9", "S705A002000058"});
    ASSERT_EQ(Load(file), 0u) << host.Transcript();
    EXPECT_EQ(RegionList(), (Regions{{0x1FF0, 0x200F}, {0x3000, 0x3004}}));
    EXPECT_EQ(Read(0x1FF0, 16), Pattern(16, 1));
    EXPECT_EQ(Read(0x2000, 16), Pattern(16, 2));
    EXPECT_EQ(Read(0x3000, 5), Pattern(5, 3));
    EXPECT_EQ(Read(0x1000, 1), Bytes{0xFF}) << "untouched memory reads as 0xFF";
    EXPECT_EQ(Read(0x3005, 1), Bytes{0xFF});
    EXPECT_EQ(host.Messages(0), (std::vector<std::string>{
        "Loading S-record file (RangeCheck=Off)", "File: " + dir.File("image.s19"),
        "SRE line 1: IGNORING: S00600004844521B", "SRE line 5: IGNORING: S5030003F9",
        "SRE line 6: IGNORING: S705A002000058", "There are 2 memory regions in the S-record file:",
        " 1: 0x00001ff0 - 0x0000200f =         32 Bytes", " 2: 0x00003000 - 0x00003004 =          5 Bytes"}));
    const auto events = host.Events();
    const auto begin = std::find_if(events.begin(), events.end(), [](const testing_support::HostEvent& e) {
        return e.kind == testing_support::HostEventKind::ProgressBegin;
    });
    ASSERT_NE(begin, events.end());
    EXPECT_EQ(begin->text, "Loading S-Record File ...");
    EXPECT_EQ(begin->a, file.size()) << "progress total is the file size";
    EXPECT_EQ(events.back().kind, testing_support::HostEventKind::ProgressEnd);

    ASSERT_EQ(Load("S00600004844521B\n"), 0u);
    EXPECT_EQ(RegionList(), Regions{}) << "every load starts a new region list";
    EXPECT_TRUE(host.HasMessage("There are 0 memory regions in the S-record file:", 0));
    EXPECT_EQ(Read(0x2000, 1), Bytes{0xFF});
}

TEST_F(SrecReader, RecordGoingBackIntoAnEarlierRegionIsAnOverlap) {
    EXPECT_EQ(Load(Join({Record('3', 0x1000, Pattern(16, 0)), Record('3', 0x2000, Pattern(16, 0)),
                         Record('3', 0x1008, Pattern(16, 0))})),
              static_cast<uint32_t>(ERR_BAD_SREC_ADDR));
    EXPECT_TRUE(host.HasMessage(
        "SRE line 3: Overlapping address ranges: 0x00001000-0x0000100f, 0x00001008-0x00001017!", 2))
        << host.Transcript();
}

TEST_F(SrecReader, LinesThatAreNoRecordsAreRefused) {
    const std::string good = Record('3', 0x1000, Pattern(4, 0));
    const std::pair<std::string, unsigned long> cases[] = {
        {good + "\n\n" + good + "\n", 2}, {good + "\r\n\r\n", 2}, {"s3" + good.substr(2) + "\n", 1}, {":100\n", 1}};
    for (const auto& c : cases) {
        EXPECT_EQ(Load(c.first), static_cast<uint32_t>(ERR_BAD_SREC_FILE)) << c.first;
        EXPECT_TRUE(host.HasMessage(NotValid(c.second), 2)) << host.Transcript();
    }
}

TEST_F(SrecReader, MalformedDataRecordsAreRefusedWithoutTouchingMemory) {
    const std::string record = Record('3', 0x1000, Pattern(8, 9));
    std::string badHex = record, nul = record;
    badHex[14] = 'G';
    nul[20] = '\0';
    const std::string cases[] = {"S3040000100099", "S105", record.substr(0, 20), badHex, nul, "S3", "S1Z3000000"};
    for (const std::string& line : cases) {
        EXPECT_EQ(Load(line + "\n"), static_cast<uint32_t>(ERR_BAD_SREC_FILE)) << line;
        EXPECT_TRUE(host.HasMessage(NotValid(1), 2)) << host.Transcript();
        EXPECT_EQ(Read(0x1000, 1), Bytes{0xFF}) << line;
    }
    // A record without data bytes is checked, but stores nothing and opens no region.
    ASSERT_EQ(Load(Join({Record('3', 0x9000000, {}), Record('3', 0x1000, Pattern(2, 0))})), 0u);
    EXPECT_EQ(RegionList(), (Regions{{0x1000, 0x1001}}));
    EXPECT_EQ(Load("S3050900000000\n"), static_cast<uint32_t>(ERR_BAD_SREC_CHECKSUM));
}

TEST_F(SrecReader, AddressesOutsideTheAreasAreRefused) {
    SetAreas({{0x1000, 0x1FFF}, {0x8000, 0x80FF}});
    EXPECT_EQ(Load(Record('3', 0x2000, Pattern(4, 0)) + "\n"), static_cast<uint32_t>(ERR_BAD_SREC_ADDR));
    EXPECT_TRUE(host.HasMessage("SRE line 1: Address outside buffers ! 0x00002000", 2)) << host.Transcript();

    // A record running past its area's end stores nothing; the message names the first byte outside.
    EXPECT_EQ(Load(Join({Record('3', 0x8000, Pattern(4, 0)), Record('3', 0x80F8, Pattern(16, 0))})),
              static_cast<uint32_t>(ERR_BAD_SREC_ADDR));
    EXPECT_TRUE(host.HasMessage("SRE line 2: Address outside buffers ! 0x00008100", 2)) << host.Transcript();
    EXPECT_EQ(Read(0x80F8, 8), Bytes(8, 0xFF));

    ASSERT_EQ(Load(Join({Record('3', 0x80F0, Pattern(16, 1)), Record('2', 0x1FF0, Pattern(16, 2))})), 0u);
    EXPECT_EQ(Read(0x80F0, 16), Pattern(16, 1));
    EXPECT_EQ(Read(0x1FF0, 16), Pattern(16, 2));
}

TEST_F(SrecReader, ChecksumMismatchIsReported) {
    std::string line = Record('3', 0x1000, Pattern(4, 0));
    line.back() = line.back() == '0' ? '1' : '0';
    EXPECT_EQ(Load(Join({Record('3', 0x2000, Pattern(4, 0)), line})), static_cast<uint32_t>(ERR_BAD_SREC_CHECKSUM));
    EXPECT_TRUE(host.HasMessage("SRE line 2: Checksum mismatch in S-record file", 2)) << host.Transcript();
}

TEST_F(SrecReader, LowerCaseCrLfAndTheLongestLineThatFits) {
    const Bytes data = Pattern(56, 0xA0);  // a 126-character record
    std::vector<std::string> lines = {"S00600004844521B", Record('3', 0x1000, data), Record('2', 0x2000, Pattern(16, 5))};
    for (char& ch : lines[2]) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    lines[2][0] = 'S';
    for (const char* end : {"\n", "\r\n"}) {
        ASSERT_EQ(Load(Join(lines, end)), 0u) << host.Transcript();
        EXPECT_EQ(RegionList(), (Regions{{0x1000, 0x1037}, {0x2000, 0x200F}}));
        EXPECT_EQ(Read(0x1000, 56), data);
        EXPECT_EQ(Read(0x2000, 16), Pattern(16, 5));
        EXPECT_TRUE(host.HasMessage("SRE line 1: IGNORING: S00600004844521B", 0));
    }
    // One character more and the line is cut: the record falls short of its count.
    EXPECT_EQ(Load(Record('3', 0x1000, Pattern(57, 0)) + "\n"), static_cast<uint32_t>(ERR_BAD_SREC_FILE));
    EXPECT_TRUE(host.HasMessage(NotValid(1), 2));
    // The rest of a long skipped line comes as the next line.
    EXPECT_EQ(Load("S0" + std::string(200, '0') + "\n"), static_cast<uint32_t>(ERR_BAD_SREC_FILE));
    EXPECT_TRUE(host.HasMessage("SRE line 1: IGNORING: S0" + std::string(125, '0'), 0)) << host.Transcript();
    EXPECT_TRUE(host.HasMessage(NotValid(2), 2));
}

TEST_F(SrecReader, DataInAReservedRangeIsRefusedOnlyWithRangeCheck) {
    session->options.reservedcount = 2;
    session->options.reserved[0] = {0x0100, 0x01FF};
    session->options.reserved[1] = {0x1000, 0x1FFF};
    const std::string file = Join({Record('3', 0x3000, Pattern(16, 0)), Record('3', 0x1800, Pattern(16, 0))});
    EXPECT_EQ(Load(file, 0), 0u);
    EXPECT_EQ(Load(file, 1), static_cast<uint32_t>(ERR_BAD_SREC_ADDR));
    EXPECT_TRUE(host.HasMessage("Attempt to write to reserved region 0x1000 - 0x1fff (0x1800 - 0x180f)", 2))
        << host.Transcript();
}

TEST_F(SrecReader, RegionLimit) {
    SetAreas({{0, 0xFFFF}});
    std::vector<std::string> lines;
    for (uint32_t i = 0; i < kMaxRegions; ++i) lines.push_back(Record('1', i * 32, {1}));
    ASSERT_EQ(Load(Join(lines)), 0u);
    EXPECT_EQ(session->userImage.regionCount, kMaxRegions);
    lines.push_back(Record('1', 0xFFF0, {1}));
    EXPECT_EQ(Load(Join(lines)), static_cast<uint32_t>(ERR_TOO_MANY_RANGES));
    EXPECT_LE(session->userImage.regionCount, kMaxRegions);
}

TEST_F(SrecReader, AbortMissingFileAndReadError) {
    session->run.abortFlag = 1;
    EXPECT_EQ(Load(Record('3', 0x1000, Pattern(4, 0)) + "\n"), static_cast<uint32_t>(ERR_ABORT));
    EXPECT_EQ(host.Messages(2).size(), 0u);
    session->run.abortFlag = 0;

    EXPECT_EQ(LoadFile(dir.File("missing.s19")), static_cast<uint32_t>(ERR_FILEIO));
    EXPECT_TRUE(host.HasMessage("Error: Unable to open file \"" + dir.File("missing.s19") + "\"", 1));
    // A directory opens for reading here but every read fails: no silent empty image.
    EXPECT_EQ(LoadFile(dir.Path()), static_cast<uint32_t>(ERR_FILEIO)) << host.Transcript();
}

TEST(HexValue, DigitsOfEitherCaseOthersCountAsZero) {
    EXPECT_EQ(HexValue("1aF", 3), 0x1AFu);
    EXPECT_EQ(HexValue("DEADBEEF", 8), 0xDEADBEEFu);
    EXPECT_EQ(HexValue("1G2", 3), 0x102u);
}

// Files that other tools make from binaries load with the right regions.
TEST_F(SrecReader, FilesMadeByOtherTools) {
    if (std::system("command -v objcopy >/dev/null && command -v srec_cat >/dev/null") != 0) {
        GTEST_SKIP() << "objcopy or srec_cat not installed";
    }
    SetAreas({{0x0, 0x3FFF}, {0x20000000, 0x2003FFFF}});
    const Bytes a = Pattern(3000, 1), b = Pattern(777, 2);
    const std::string binA = dir.WriteBytes("a.bin", a), binB = dir.WriteBytes("b.bin", b), out = dir.File("o.srec");
    struct Case { std::string command; Regions regions; const char* termination; };
    const Case cases[] = {
        {"objcopy -I binary -O srec --change-addresses 0x1000 " + binA + " " + out, {{0x1000, 0x1BB7}}, "S9"},
        {"objcopy -I binary -O srec --srec-forceS3 --srec-len=32 --change-addresses 0x20000003 " + binA + " " + out,
         {{0x20000003, 0x20000BBA}}, "S7"},
        {"srec_cat " + binA + " -binary -offset 0x100 " + binB + " -binary -offset 0x2000 "
         "-execution-start-address=0x100 -o " + out + " -motorola", {{0x100, 0xCB7}, {0x2000, 0x2308}}, "S9"},
        {"srec_cat " + binA + " -binary -offset 0x20001000 -execution-start-address=0x20001000 -o " + out +
         " -motorola -address-length=4", {{0x20001000, 0x20001BB7}}, "S7"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(std::system(c.command.c_str()), 0) << c.command;
        ASSERT_EQ(LoadFile(out), 0u) << c.command << host.Transcript();
        EXPECT_EQ(RegionList(), c.regions) << c.command;
        EXPECT_EQ(Read(c.regions[0].first, 3000), a) << c.command;
        if (c.regions.size() > 1) {
            EXPECT_EQ(Read(0x2000, 777), b);
        }
        EXPECT_NE(host.IndexOfMessageContaining("IGNORING: S0"), -1) << c.command;
        EXPECT_NE(host.IndexOfMessageContaining(std::string("IGNORING: ") + c.termination), -1) << c.command;
    }
}

}  // namespace
