#include "flashdll/image/srec_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "flashdll/session/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Regions = std::vector<std::pair<uint32_t, uint32_t>>;
using Texts = std::vector<std::string>;

// One S-record line (type 1, 2 or 3) without its line end, checksum computed here.
std::string Record(char type, uint32_t address, const Bytes& data, const char* digits = "%02X") {
    Bytes bytes = {static_cast<uint8_t>(type - '0' + 2 + data.size())};
    for (int shift = 8 * (type - '0'); shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(address >> shift));
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(~sum));
    std::string line = std::string("S") + type;
    char hex[3];
    for (uint8_t b : bytes) line += (std::snprintf(hex, sizeof hex, digits, b), hex);
    return line;
}

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

std::string Join(const Texts& lines, const char* end = "\n") {
    std::string text;
    for (const std::string& line : lines) text += line + end;
    return text;
}

// A user image of two areas, 0 ... 0xFFFF and 0x20000000 ... 0x2003FFFF.
class SrecReader : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session->host = &host.descriptor;
        session->userImage.areaCount = 2;
        session->userImage.areas[0] = {0, 0xFFFF, low.data()};
        session->userImage.areas[1] = {0x20000000, 0x2003FFFF, high.data()};
    }
    uint32_t LoadFile(const std::string& path, int rangeCheck = 0) {
        host.Clear();
        return LoadSRecordFile(session.get(), &session->userImage, path.c_str(), rangeCheck);
    }
    uint32_t Load(const std::string& text, int check = 0) { return LoadFile(dir.Write("a.s19", text), check); }
    Bytes Read(uint32_t address, size_t n) const {
        const MemoryArea& area = session->userImage.areas[FindArea(&session->userImage, address)];
        return Bytes(area.data + (address - area.first), area.data + (address - area.first) + n);
    }
    Regions RegionList() const {
        Regions list;
        const ImageBuffer& im = session->userImage;
        for (uint32_t i = 0; i < im.regionCount; ++i) list.emplace_back(im.regions[i].first, im.regions[i].last);
        return list;
    }
    std::string NotValid(int line) const {
        return "SRE line " + std::to_string(line) + ": " + dir.File("a.s19") + " is not a valid S-Record file!";
    }

    testing_support::RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
    testing_support::TempDir dir;
    Bytes low = Bytes(0x10000, 0x5A), high = Bytes(0x40000, 0x5A);
};

TEST_F(SrecReader, LoadsDataMergesTouchingRunsAndReportsEveryLine) {
    const Texts lines = {"S00600004844521B", Record('3', 0x1FF0, Pattern(16, 1)), Record('3', 0x9000000, {}),
                         Record('2', 0x2000, Pattern(16, 1 + 16 * 7), "%02x"),  // lower case, goes on at 0x2000
                         Record('3', 0x3000, Pattern(56, 3)),                   // 126 characters: the longest line
                         "S5030003F9", "S705A002000058"};
    for (const char* end : {"\n", "\r\n"}) {
        const std::string file = Join(lines, end);
        ASSERT_EQ(Load(file), 0u) << host.Transcript();
        EXPECT_EQ(RegionList(), (Regions{{0x1FF0, 0x200F}, {0x3000, 0x3037}})) << "an empty record opens no region";
        EXPECT_EQ(Read(0x1FF0, 32), Pattern(32, 1));
        EXPECT_EQ(Read(0x3000, 56), Pattern(56, 3));
        EXPECT_EQ(Read(0x1FEF, 1), Bytes{0xFF}) << "untouched memory reads as 0xFF";
        EXPECT_EQ(host.Messages(0), (Texts{
            "Loading S-record file (RangeCheck=Off)", "File: " + dir.File("a.s19"),
            "SRE line 1: IGNORING: S00600004844521B", "SRE line 6: IGNORING: S5030003F9",
            "SRE line 7: IGNORING: S705A002000058", "There are 2 memory regions in the S-record file:",
            " 1: 0x00001ff0 - 0x0000200f =         32 Bytes", " 2: 0x00003000 - 0x00003037 =         56 Bytes"}));
        EXPECT_EQ(host.Events()[2].a, file.size()) << "progress over the file's size";
    }
    ASSERT_EQ(Load("S00600004844521B\n"), 0u);  // every load starts a new region list
    EXPECT_TRUE(RegionList().empty() && host.HasMessage("There are 0 memory regions in the S-record file:", 0));
}

// Files of older tools end with blank lines or a Ctrl-Z (0x1A): read as if
// those were not there.
TEST_F(SrecReader, TrailingBlankLinesAndCtrlZAreNoRecords) {
    const std::string records = Join({"S00600004844521B", Record('3', 0x1000, Pattern(8, 9)), "S70500000000FA"});
    for (const std::string tail : {"\n", "\r\n\r\n", " \t\n\n", "\x1A", "\n\x1A", "\x1A\r\n", "\r\n\x1A\n\n"}) {
        SCOPED_TRACE(testing::PrintToString(tail));
        EXPECT_EQ(Load(records + tail), 0u) << host.Transcript();
        EXPECT_EQ(RegionList(), (Regions{{0x1000, 0x1007}}));
        EXPECT_EQ(host.Messages(FLASH_LEVEL_INFO).size(), 6u) << host.Transcript();  // no line reported for the tail
    }
}

// Bad files are refused with code and message (a malformed record's reason is logged); memory stays untouched.
TEST_F(SrecReader, BadRecordsAreRefusedWithoutTouchingMemory) {
    session->options.debug = 1;
    const std::string good = Record('3', 0x1000, Pattern(8, 9));
    std::string badHex = good, badSum = good;
    badHex[14] = 'G';
    badSum.back() = badSum.back() == '0' ? '1' : '0';
    const std::string tooSmall = "byte count too small for address and checksum", noCount = "byte count missing or not "
        "hexadecimal", shortLine = "record shorter than its byte count", notHex = "non-hexadecimal character in record";
    struct Case { std::string file; int code; std::string error, why = ""; uint32_t probe = 0; };
    const Case cases[] = {
        {"S3040000100099\n", ERR_BAD_SREC_FILE, NotValid(1), tooSmall, 0x1000},
        {good.substr(0, 20) + "\n", ERR_BAD_SREC_FILE, NotValid(1), shortLine, 0x1000},
        {Record('3', 0x1000, Pattern(57, 0)) + "\n", ERR_BAD_SREC_FILE, NotValid(1), shortLine, 0x1000},  // cut at 127
        {badHex + "\n", ERR_BAD_SREC_FILE, NotValid(1), notHex, 0x1000},
        {"S3\n", ERR_BAD_SREC_FILE, NotValid(1), noCount}, {"S1Z3000000\n", ERR_BAD_SREC_FILE, NotValid(1), noCount},
        {good + "\r\n\r\n" + good + "\r\n", ERR_BAD_SREC_FILE, NotValid(2)},  // a blank line before a record
        {good + "\n\x1A\n" + good + "\n", ERR_BAD_SREC_FILE, NotValid(2)},
        {"s3" + good.substr(2) + "\n", ERR_BAD_SREC_FILE, NotValid(1), "", 0x1000},
        {"S0030000FC\n" + badSum + "\n", ERR_BAD_SREC_CHECKSUM, "SRE line 2: Checksum mismatch in S-record file"},
        {"S3050900000000\n", ERR_BAD_SREC_CHECKSUM, "SRE line 1: Checksum mismatch in S-record file"},
        {Record('3', 0x10000, {1}) + "\n", ERR_BAD_SREC_ADDR, "SRE line 1: Address outside buffers ! 0x00010000"},
        // A record running past its area's end; the message names the first byte outside.
        {Join({Record('3', 0x1000, {1}), Record('3', 0xFFF8, Pattern(16, 0))}), ERR_BAD_SREC_ADDR,
         "SRE line 2: Address outside buffers ! 0x00010000", "", 0xFFF8},
        {Join({Record('1', 0x1000, Pattern(16, 0)), Record('1', 0x2000, {1}), Record('1', 0x1008, Pattern(16, 0))}),
         ERR_BAD_SREC_ADDR, "SRE line 3: Overlapping address ranges: 0x00001000-0x0000100f, 0x00001008-0x00001017!"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Load(c.file), static_cast<uint32_t>(c.code)) << c.file;
        EXPECT_EQ(host.Messages(2), Texts{c.error}) << c.file;
        EXPECT_TRUE(c.why.empty() || host.HasMessage(c.error.substr(0, 12) + c.why, 0)) << host.Transcript();
        EXPECT_TRUE(c.probe == 0 || Read(c.probe, 8) == Bytes(8, 0xFF)) << c.file;
    }
}

TEST_F(SrecReader, SecondAreaReservedRangesRegionLimitAbortAndReadError) {
    ASSERT_EQ(Load(Join({Record('3', 0x200000F0, Pattern(16, 1)), Record('2', 0x1FF0, Pattern(16, 2))})), 0u);
    EXPECT_EQ(Read(0x200000F0, 16), Pattern(16, 1));
    EXPECT_EQ(Read(0x1FF0, 16), Pattern(16, 2));
    session->options.reservedcount = 2;
    session->options.reserved[0] = {0x0100, 0x01FF};
    session->options.reserved[1] = {0x1000, 0x1FFF};
    const std::string file = Join({Record('3', 0x3000, Pattern(16, 0)), Record('3', 0x1800, Pattern(16, 0))});
    EXPECT_EQ(Load(file, 0), 0u);
    EXPECT_EQ(Load(file, 1), static_cast<uint32_t>(ERR_BAD_SREC_ADDR));
    EXPECT_EQ(host.Messages(2), Texts{"Attempt to write to reserved region 0x1000 - 0x1fff (0x1800 - 0x180f)"});
    Texts lines;
    for (uint32_t i = 0; i < kMaxRegions; ++i) lines.push_back(Record('1', i * 32, {1}));
    ASSERT_EQ(Load(Join(lines)), 0u);
    EXPECT_EQ(session->userImage.regionCount, kMaxRegions);
    lines.push_back(Record('1', 0xFFF0, {1}));
    EXPECT_EQ(Load(Join(lines)), static_cast<uint32_t>(ERR_TOO_MANY_RANGES));
    EXPECT_LE(session->userImage.regionCount, kMaxRegions);
    // A directory opens for reading here but every read fails: no silent empty image.
    EXPECT_EQ(LoadFile(dir.Path()), static_cast<uint32_t>(ERR_FILEIO)) << host.Transcript();
    session->run.abortFlag = 1;
    EXPECT_EQ(Load(file), static_cast<uint32_t>(ERR_ABORT));
    EXPECT_TRUE(host.Messages(2).empty());
}

// Files that other tools make from binaries load with the right regions.
TEST_F(SrecReader, FilesMadeByOtherTools) {
    if (std::system("command -v objcopy >/dev/null && command -v srec_cat >/dev/null") != 0) {
        GTEST_SKIP() << "objcopy or srec_cat not installed";
    }
    const Bytes a = Pattern(3000, 1), b = Pattern(777, 2);
    const std::string binA = dir.WriteBytes("a.bin", a), binB = dir.WriteBytes("b.bin", b), out = dir.File("o.srec");
    struct Case { std::string command; Regions regions; const char* termination; };
    const Case cases[] = {
        {"objcopy -I binary -O srec --srec-forceS3 --srec-len=32 --change-addresses 0x20000003 " + binA + " " + out,
         {{0x20000003, 0x20000BBA}}, "S7"},
        {"srec_cat " + binA + " -binary -offset 0x100 " + binB + " -binary -offset 0x2000 "
         "-execution-start-address=0x100 -o " + out + " -motorola", {{0x100, 0xCB7}, {0x2000, 0x2308}}, "S9"}};
    for (const Case& c : cases) {
        ASSERT_EQ(std::system(c.command.c_str()), 0) << c.command;
        ASSERT_EQ(LoadFile(out), 0u) << c.command << host.Transcript();
        EXPECT_EQ(RegionList(), c.regions) << c.command;
        EXPECT_EQ(Read(c.regions[0].first, 3000), a) << c.command;
        EXPECT_TRUE(c.regions.size() == 1 || Read(0x2000, 777) == b) << c.command;
        EXPECT_NE(host.IndexOfMessageContaining("IGNORING: S0"), -1) << c.command;
        EXPECT_NE(host.IndexOfMessageContaining(std::string("IGNORING: ") + c.termination), -1) << c.command;
    }
}

}  // namespace
