#include "flashdll/image/srec_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "flashdll/session/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ReadFileText;
using Lines = std::vector<std::pair<uint32_t, size_t>>;  // address and data length of each data line

uint8_t Fill(uint32_t address) { return static_cast<uint8_t>(address * 13 + 7); }

// A user image of two areas, 0 ... 0x1013 and 0x1014 ... 0x1FFF, whose bytes are Fill(address).
class SrecWriter : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session->host = &host.descriptor;
        for (uint32_t a = 0; a < image.size(); ++a) image[a] = Fill(a);
        session->userImage.areaCount = 2;
        session->userImage.areas[0] = {0, 0x1013, image.data()};
        session->userImage.areas[1] = {0x1014, 0x1FFF, image.data() + 0x1014};
    }
    uint32_t Save(const std::vector<FlashRange>& ranges, const std::string& path = "") {
        std::snprintf(session->options.savefile, sizeof session->options.savefile, "%s",
                      (path.empty() ? dir.File("out.srec") : path).c_str());
        session->options.readcount = static_cast<uint32_t>(ranges.size());
        std::copy(ranges.begin(), ranges.end(), session->options.read);
        host.Clear();
        return SaveSRecordFile(session.get(), &session->userImage);
    }
    // `lines` with each "\n" as a text-mode stream of this system writes it
    // (carriage return and line feed on Windows).
    std::string TextLines(std::string lines) const {
        const std::string probe = dir.File("line-end.txt");
        std::FILE* file = std::fopen(probe.c_str(), "w");
        std::fputs("\n", file);
        std::fclose(file);
        const std::string lineEnd = ReadFileText(probe);
        for (size_t at = lines.find('\n'); at != std::string::npos; at = lines.find('\n', at + lineEnd.size())) {
            lines.replace(at, 1, lineEnd);
        }
        return lines;
    }
    // Address and data length of every S3 line; its data must be Fill(address ...).
    Lines DataLines() const {
        Lines result;
        std::istringstream in(ReadFileText(session->options.savefile));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("S3", 0) != 0) continue;
            if (line.back() == '\r') line.pop_back();
            const uint32_t address = std::stoul(line.substr(4, 8), nullptr, 16);
            const size_t n = line.size() / 2 - 7;  // S3, count, four address bytes and checksum take 7 pairs
            for (size_t k = 0; k < n; ++k) {
                EXPECT_EQ(std::stoul(line.substr(12 + 2 * k, 2), nullptr, 16), Fill(address + k)) << line;
            }
            result.emplace_back(address, n);
        }
        return result;
    }

    testing_support::RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
    testing_support::TempDir dir;
    std::vector<uint8_t> image = std::vector<uint8_t>(0x2000);
};

TEST_F(SrecWriter, FixedHeaderAndTerminationLinesNeverCrossARangeOrAreaEnd) {
    for (uint8_t i = 0; i < 16; ++i) image[i] = i;
    ASSERT_EQ(Save({{0x0, 0xF}}), 0u) << host.Transcript();
    EXPECT_EQ(ReadFileText(session->options.savefile),
              TextLines("S00600004844521B\nS31500000000000102030405060708090A0B0C0D0E0F72\nS705A002000058\n"));
    EXPECT_TRUE(host.HasMessage(std::string("Writing S-Record File ") + session->options.savefile, 0));
    ASSERT_EQ(Save({{0x100, 0x10F}, {0x200, 0x207}, {0x300, 0x310}, {0x400, 0x427}, {0x1008, 0x1037}}), 0u);
    EXPECT_EQ(DataLines(), (Lines{{0x100, 16}, {0x200, 8}, {0x300, 16}, {0x310, 1}, {0x400, 16}, {0x410, 16},
                                  {0x420, 8}, {0x1008, 12}, {0x1014, 16}, {0x1024, 16}, {0x1034, 4}}));
    const std::string text = ReadFileText(session->options.savefile);
    EXPECT_EQ(text.substr(text.rfind("S7")), TextLines("S705A002000058\n"));
}

TEST_F(SrecWriter, AbortKeepsTheTerminationRecordFailuresAreReported) {
    session->run.abortFlag = 1;
    EXPECT_EQ(Save({{0x0, 0xFF}}), static_cast<uint32_t>(ERR_ABORT));
    EXPECT_EQ(ReadFileText(session->options.savefile), TextLines("S00600004844521B\nS705A002000058\n"));
    session->run.abortFlag = 0;
    EXPECT_EQ(Save({{0x1FF8, 0x2007}}), static_cast<uint32_t>(ERR_RANGE_OUTSIDE_FLASH));
    EXPECT_EQ(host.Messages(2), std::vector<std::string>{"Error: Address 0x00002000 outside flash memory"});
    EXPECT_EQ(DataLines(), (Lines{{0x1FF8, 8}}));
    EXPECT_EQ(ReadFileText(session->options.savefile).find("S7"), std::string::npos) << "no termination";
    EXPECT_EQ(Save({{0x0, 0xFF}}, dir.File("no/such/dir/out.srec")), static_cast<uint32_t>(ERR_WRONG_FILE_SAVE));
    EXPECT_TRUE(host.HasMessage("Error: Unable to open file \"" + dir.File("no/such/dir/out.srec") + "\"", 1));
    if (std::filesystem::exists("/dev/full")) {  // a device that refuses every write
        EXPECT_EQ(Save({{0x0, 0xFF}}, "/dev/full"), static_cast<uint32_t>(ERR_FILEIO));
        EXPECT_EQ(host.Messages(2), std::vector<std::string>{"Error: Unable to write file \"/dev/full\""});
    }
}

// Other tools read the saved file without complaint and give back the same bytes.
TEST_F(SrecWriter, OtherToolsReadTheSavedFile) {
    if (std::system("command -v objcopy >/dev/null && command -v srec_cat >/dev/null") != 0) {
        GTEST_SKIP() << "objcopy or srec_cat not installed";
    }
    const std::vector<FlashRange> ranges = {{0x3, 0xFFF}, {0x1000, 0x1100}, {0x1F11, 0x1F11}};
    ASSERT_EQ(Save(ranges), 0u);
    std::string expected(0x1F11 - 0x3 + 1, '\0');  // as a binary from the lowest address, gaps as zeros
    for (const FlashRange& r : ranges) {
        for (uint32_t a = r.first; a <= r.last; ++a) expected[a - 0x3] = static_cast<char>(Fill(a));
    }
    const std::string saved = session->options.savefile, bin = dir.File("out.bin"), log = dir.File("log.txt");
    for (const std::string& command : {"srec_cat " + saved + " -motorola -o /dev/null",
                                       "objcopy -I srec -O binary " + saved + " " + bin}) {
        ASSERT_EQ(std::system((command + " 2>" + log).c_str()), 0) << command;
        EXPECT_EQ(ReadFileText(log), "") << "complaint from: " << command;
        EXPECT_TRUE(command.find(bin) == std::string::npos || ReadFileText(bin) == expected) << command;
    }
}

}  // namespace
