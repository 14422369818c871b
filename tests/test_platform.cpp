#include "flashdll/hw/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "flashdll/notify.h"
#include "flashdll/os/exe_path.h"
#include "flashdll/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

const std::string kNor = "FlashLoader=fl.s19\nBootLoader=active\n";
const std::string kNand = "FlashLoader=fl.s19\nMIT=1\nSetupLoader=sl.s19\nFlashLoaderBaseAddr=0\nFlash0=";

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session->host = &host.descriptor;
        session->options.debug = 1;
        std::snprintf(session->moduleDir, kPathSize, "%s/", dir.Path().c_str());
        std::snprintf(session->platformDefPath, kPathSize, "%s", dir.File("platform.def").c_str());
    }
    // Writes platform.def with one section P1 holding `body` and reads platform `name`.
    int Read(const std::string& body, const char* name = "P1") {
        dir.Write("platform.def", "[Other]\nFlashLoader=other.s19\n\n[P1]\n" + body);
        std::snprintf(session->options.platform, sizeof session->options.platform, "%s", name);
        host.Clear();
        return ReadPlatform(session.get());
    }
    const PlatformRecord& Record() const { return session->platform; }
    uint32_t AreaLast(uint32_t i) const { return session->userImage.areas[i].last; }

    testing_support::TempDir dir;
    testing_support::RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
};

TEST(ParseNumber, HexAfterFirstZeroXElseDecimalSaturating) {
    EXPECT_EQ(ParseNumber("1x0x20"), 0x20u);
    EXPECT_EQ(ParseNumber("0X1F"), 31u);
    EXPECT_EQ(ParseNumber("  536870912"), 0x20000000u);
    EXPECT_EQ(ParseNumber("abc"), 0u);
    EXPECT_EQ(ParseNumber("0x123456789"), 0xFFFFFFFFu) << "past 32 bits saturates, never wraps";
    EXPECT_EQ(ParseNumber("4294967296"), 0xFFFFFFFFu);
}

// Every refusal returns 0 and logs its one reason, no summary.
TEST_F(PlatformTest, RefusalsLogTheirReason) {
    std::snprintf(session->options.platform, sizeof session->options.platform, "P1");
    EXPECT_EQ(ReadPlatform(session.get()), 0) << "no platform.def";
    const std::string room(kPathSize - std::strlen(session->moduleDir) - 1, 'x');  // longest loader name that fits
    const std::string tooLong = ("Platform: loader file name too long: " + room + "y").substr(0, kFormatBufferSize - 1);
    std::string five = kNor + "ChipDesc=1\n";
    for (int i = 0; i < 5; ++i) five += "Flash" + std::to_string(i) + "=0x0" + std::to_string(i) + "000000,16,0\n";
    std::vector<std::pair<std::string, std::string>> cases = {
        {"MIT=0\nBootLoader=active\n", "Platform: unknown or corrupted platform: \"P1\""},
        {"FlashLoader=fl.s19\nBootLoader=sleepy\n", "Platform: invalid boot loader type: sleepy"},
        {"FlashLoader=fl.s19\n", "Platform: invalid boot loader type: "},
        {"FlashLoader=fl.s19\nMIT=2\nBootLoader=active\n", "Platform: invalid MIT: 2"},
        {"FlashLoader=fl.s19\nMIT=1\nFlash0=0,64\nFlashLoaderBaseAddr=0x1000\n", "Platform: missing setup loader"},
        {"FlashLoader=fl.s19\nMIT=1\nSetupLoader=sl.s19\nFlash0=0,64\n", "Platform: invalid FL base address 0x00009999"},
        {kNor + "SetupLoaderBaseAddr=0x20000002\n", "Platform: invalid SL base address 0x20000002"},
        {kNor + "FlashLoaderBaseAddr=6\n", "Platform: invalid FL base address 0x00000006"},
        {kNor + "ChipDesc=1\n", "Platform: no flash defined"},
        {five, "Platform: invalid flash definition [4]"},  // the table holds four
        {kNor + "MaxImageSize=3\n", "Platform: invalid max. image size: 3"},
        {kNor + "MaxImageSize=65\n", "Platform: invalid max. image size: 65"},
        // Too long for a path: refused, never cut into another file's name.
        {"FlashLoader=" + room + "y\nBootLoader=active\n", tooLong},
        {kNor + "SetupLoader=" + room + "y\n", tooLong},
    };
    for (const char* bad : {"0x01000000,16", "0x01080000,16,1", "0x01000000,16,8", "0x01000000,1025,0", "0x01000000",
                            "0x01000000,0,1", "0xFFF00000,2,0"}) {
        cases.push_back({kNor + "ChipDesc=1\nFlash0=" + bad + "\n", "Platform: invalid flash definition [0]"});
    }
    for (const char* bad : {"0x1000000,16", "0,1025", "0", "0,16,2048", "0xFC000000,128"}) {
        cases.push_back({kNand + bad + "\n", "Platform: invalid flash definition [0]"});
    }
    for (const auto& c : cases) {
        EXPECT_EQ(Read(c.first), 0) << c.first;
        EXPECT_EQ(host.Messages(), std::vector<std::string>{c.second}) << c.first;
        EXPECT_LE(Record().flashDefinitionCount, kMaxFlashDefinitions);
    }
    EXPECT_EQ(Read(kNor, "P2"), 0);
    EXPECT_EQ(host.Messages(), std::vector<std::string>{"Platform: unknown or corrupted platform: \"P2\""});
    EXPECT_EQ(Read("FlashLoader=" + room + "\nBootLoader=active\n"), 1) << "the longest name that fits";
    // A name filling the whole field without a NUL is refused, not read past.
    dir.Write("platform.def", "[" + std::string(250, 'N') + "]\n" + kNor);
    std::memset(session->options.platform, 'N', sizeof session->options.platform);
    EXPECT_EQ(ReadPlatform(session.get()), 0);
}

TEST_F(PlatformTest, ActivePlatformWithChipDescriptionsAndSummary) {
    ASSERT_EQ(Read("FlashLoader = fl.s19\nBootLoader=Active\nSetupLoader=sl.s19\nSetupLoaderBaseAddr=0x20000000\n"
                   "ChipDesc=1\nFlash0=0x01000000,16,1\nFlash1=0x20000000,0x20,7\n"
                   "FlashLoaderBaseAddr=0x8000\nStackBaseAddr=0x9000\n"), 1) << host.Transcript();
    const PlatformRecord& p = Record();
    EXPECT_EQ(p.bootLoaderType, kBootLoaderActive);
    EXPECT_EQ(p.chipDescriptions, 1u);
    ASSERT_EQ(p.flashDefinitionCount, 2u);
    EXPECT_EQ(p.flashDefinitions[0].chipSelect, 1u);
    EXPECT_EQ(p.flashDefinitions[1].chipSelect, 7u);
    ASSERT_EQ(session->userImage.areaCount, 2u);
    EXPECT_EQ(session->userImage.areas[1].first, 0x20000000u);
    EXPECT_EQ(AreaLast(1), 0x21FFFFFFu);
    const std::string sl = dir.Path() + "/sl.s19", fl = dir.Path() + "/fl.s19";
    EXPECT_EQ(std::string(p.setupLoaderPath), sl);
    EXPECT_EQ(host.Messages(0), (std::vector<std::string>{
        "Boot loader protocol type: active", "Memory interface type: 0", "Setup loader: " + sl,
        "Setup loader base addr: 0x20000000", "Flash loader: " + fl, "Flash loader base addr: 0x00008000",
        "Stack base addr: 0x00009000", "Stack buffers: 2", "0: 0x01000000 - 0x01ffffff [16 MB (16777216 Bytes)]",
        "1: 0x20000000 - 0x21ffffff [32 MB (33554432 Bytes)]"}));

    // Reading stops at the first missing key; every read starts from cleared definitions.
    ASSERT_EQ(Read(kNor + "ChipDesc=1\nFlash0=0x01000000,16,1\nFlash2=0x02000000,16,2\n"), 1);
    EXPECT_EQ(Record().flashDefinitionCount, 1u);
    EXPECT_EQ(Record().flashDefinitions[1].base, 0u);
    ASSERT_EQ(Read(kNor), 1);
    EXPECT_EQ(Record().flashDefinitionCount, 0u);
    EXPECT_EQ(Record().flashDefinitions[0].size, 0u);
    EXPECT_EQ(AreaLast(0), 0xFFFFFFu) << "16 MiB from 0 without chip descriptions";
    ASSERT_EQ(Read(kNor + "MaxImageSize=4\n"), 1);
    EXPECT_EQ(AreaLast(0), 0x3FFFFFu);
    ASSERT_EQ(Read(kNor + "MaxImageSize=0x40\nSetupLoaderBaseAddr=536870912\n"), 1);
    EXPECT_EQ(AreaLast(0), 0x3FFFFFFu);
    EXPECT_EQ(Record().setupLoaderBase, 0x20000000u);
    ASSERT_EQ(Read("FlashLoader=loaders\\fl.s19\nBootLoader=PASSIVE\n"), 1);
    EXPECT_EQ(Record().bootLoaderType, kBootLoaderPassive);
    EXPECT_EQ(std::string(Record().flashLoaderPath), dir.Path() + "/loaders" + os::kPathSeparator + "fl.s19");
    EXPECT_TRUE(host.HasMessage("Setup loader: -"));
}

TEST_F(PlatformTest, MemoryInterfaceTypeOneAndSpareNandSizes) {
    ASSERT_EQ(Read("FlashLoader=fl.s19\nMIT=1\nBootLoader=active\nSetupLoader=sl.s19\nFlash0=0,64\n"
                   "FlashLoaderBaseAddr=0x1000\n"), 1);
    EXPECT_EQ(Record().bootLoaderType, kBootLoaderPassive) << "BootLoader is not read";
    EXPECT_EQ(Record().setupLoaderUsed, 1u);
    EXPECT_EQ(Record().chipDescriptions, 1u);
    ASSERT_EQ(Read("FlashLoader=fl.s19\nMIT=1\nSetupLoaderIgnore=1\nSetupLoader=sl.s19\nFlash0=0,64\n"
                   "FlashLoaderBaseAddr=0x1000\n"), 1);
    EXPECT_EQ(Record().setupLoaderUsed, 0u);
    EXPECT_STREQ(Record().setupLoaderPath, "");
    EXPECT_TRUE(host.HasMessage("Setup loader: -"));

    ASSERT_EQ(Read(kNand + "0,64,60\n"), 1);
    EXPECT_EQ(Record().flashDefinitions[0].size, 64u << 20);
    EXPECT_EQ(Record().flashDefinitions[0].cfsStart, 0x83C00000u);
    session->options.sparenand = 1;
    ASSERT_EQ(Read(kNand + "0,64,60\n"), 1);
    EXPECT_EQ(Record().flashDefinitions[0].size, 69206016u);
    EXPECT_EQ(Record().flashDefinitions[0].cfsStart, 0x83DE0000u);
    EXPECT_EQ(AreaLast(0), 69206016u - 1);
    session->options.sparenand = 0;
    ASSERT_EQ(Read(kNand + "0x4000000,16\n"), 1);
    EXPECT_EQ(Record().flashDefinitions[0].cfsStart, 0u) << "no CFS area";
}

}  // namespace
