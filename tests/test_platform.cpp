#include "flashdll/hw/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "flashdll/os/exe_path.h"
#include "flashdll/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using testing_support::RecordingHost;
using testing_support::TempDir;

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        host.InstallCallbacks();
        session = std::make_unique<Session>();
        session->host = &host.descriptor;
        session->options.debug = 1;
        std::snprintf(session->moduleDir, kPathSize, "%s/", dir.Path().c_str());
        std::snprintf(session->platformDefPath, kPathSize, "%s", dir.File("platform.def").c_str());
    }

    // Writes platform.def with one section P1 holding `body` and reads it.
    int Read(const std::string& body, const char* name = "P1") {
        dir.Write("platform.def", "[Other]\nFlashLoader=other.s19\n\n[P1]\n" + body);
        std::snprintf(session->options.platform, sizeof session->options.platform, "%s", name);
        host.Clear();
        return ReadPlatform(session.get());
    }

    bool Logged(const std::string& text) const { return host.HasMessage(text); }
    std::string Module(const std::string& name) const { return dir.Path() + "/" + name; }
    const PlatformRecord& Record() const { return session->platform; }

    TempDir dir;
    RecordingHost host;
    std::unique_ptr<Session> session;
};

const char kNor[] = "FlashLoader=fl.s19\nBootLoader=active\n";

TEST(ParseNumber, HexAfterFirstZeroXElseDecimal) {
    EXPECT_EQ(ParseNumber("1x0x20"), 0x20u);
    EXPECT_EQ(ParseNumber("0X1F"), 31u);
    EXPECT_EQ(ParseNumber("31"), 31u);
    EXPECT_EQ(ParseNumber("536870912"), 0x20000000u);
    EXPECT_EQ(ParseNumber("  0x20000000"), 0x20000000u);
    EXPECT_EQ(ParseNumber(""), 0u);
    EXPECT_EQ(ParseNumber("abc"), 0u);
    // Numbers past 32 bits saturate rather than wrap into a plausible value.
    EXPECT_EQ(ParseNumber("0x123456789"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseNumber("4294967296"), 0xFFFFFFFFu);
}

TEST_F(PlatformTest, UnknownPlatformsAreRefusedByName) {
    EXPECT_EQ(Read(kNor, "P2"), 0);
    EXPECT_TRUE(Logged("Platform: unknown or corrupted platform: \"P2\"")) << host.Transcript();
    EXPECT_EQ(Read("MIT=0\nBootLoader=active\n"), 0);
    EXPECT_TRUE(Logged("Platform: unknown or corrupted platform: \"P1\""));
    std::remove(dir.File("platform.def").c_str());
    std::snprintf(session->options.platform, sizeof session->options.platform, "P1");
    EXPECT_EQ(ReadPlatform(session.get()), 0);
    // A name filling the whole field without a NUL is refused, not read past.
    dir.Write("platform.def", std::string("[") + std::string(250, 'N') + "]\nFlashLoader=fl.s19\n");
    std::memset(session->options.platform, 'N', sizeof session->options.platform);
    EXPECT_EQ(ReadPlatform(session.get()), 0);
}

TEST_F(PlatformTest, ActivePlatformWithChipDescriptionsAndSummary) {
    ASSERT_EQ(Read("FlashLoader = fl.s19\nBootLoader=Active\nSetupLoader=sl.s19\nSetupLoaderBaseAddr=0x20000000\n"
                   "ChipDesc=1\nFlash0=0x01000000,16,1\nFlash1=0x20000000,0x20,7\n"
                   "FlashLoaderBaseAddr=0x8000\nStackBaseAddr=0x9000\n"),
              1)
        << host.Transcript();
    const PlatformRecord& p = Record();
    EXPECT_EQ(p.bootLoaderType, kBootLoaderActive);
    EXPECT_EQ(p.memoryInterfaceType, 0u);
    EXPECT_EQ(p.chipDescriptions, 1u);
    EXPECT_EQ(std::string(p.setupLoaderPath), Module("sl.s19"));
    EXPECT_EQ(std::string(p.flashLoaderPath), Module("fl.s19"));
    EXPECT_EQ(p.setupLoaderBase, 0x20000000u);
    EXPECT_EQ(p.flashLoaderBase, 0x8000u);
    EXPECT_EQ(p.stackBase, 0x9000u);
    ASSERT_EQ(p.flashDefinitionCount, 2u);
    EXPECT_EQ(p.flashDefinitions[0].base, 0x01000000u);
    EXPECT_EQ(p.flashDefinitions[0].size, 16u << 20);
    EXPECT_EQ(p.flashDefinitions[0].chipSelect, 1u);
    EXPECT_EQ(p.flashDefinitions[1].size, 32u << 20);
    EXPECT_EQ(p.flashDefinitions[1].chipSelect, 7u);
    EXPECT_EQ(p.flashDefinitions[2].base, 0u);
    ASSERT_EQ(session->userImage.areaCount, 2u);
    EXPECT_EQ(session->userImage.areas[1].first, 0x20000000u);
    EXPECT_EQ(session->userImage.areas[1].last, 0x21FFFFFFu);

    const std::vector<std::string> expected = {
        "Boot loader protocol type: active",
        "Memory interface type: 0",
        "Setup loader: " + Module("sl.s19"),
        "Setup loader base addr: 0x20000000",
        "Flash loader: " + Module("fl.s19"),
        "Flash loader base addr: 0x00008000",
        "Stack base addr: 0x00009000",
        "Stack buffers: 2",
        "0: 0x01000000 - 0x01ffffff [16 MB (16777216 Bytes)]",
        "1: 0x20000000 - 0x21ffffff [32 MB (33554432 Bytes)]",
    };
    EXPECT_EQ(host.Messages(0), expected);
}

TEST_F(PlatformTest, BootLoaderTypeAndMit) {
    EXPECT_EQ(Read("FlashLoader=fl.s19\nBootLoader=PASSIVE\n"), 1);
    EXPECT_EQ(Record().bootLoaderType, kBootLoaderPassive);
    EXPECT_TRUE(Logged("Setup loader: -"));
    EXPECT_EQ(Read("FlashLoader=fl.s19\nBootLoader=sleepy\n"), 0);
    EXPECT_TRUE(Logged("Platform: invalid boot loader type: sleepy"));
    EXPECT_EQ(Read("FlashLoader=fl.s19\n"), 0);
    EXPECT_TRUE(Logged("Platform: invalid boot loader type: "));
    EXPECT_EQ(Read("FlashLoader=fl.s19\nMIT=2\nBootLoader=active\n"), 0);
    EXPECT_TRUE(Logged("Platform: invalid MIT: 2"));
}

TEST_F(PlatformTest, MemoryInterfaceTypeOneNeedsSetupLoaderAndFlashLoaderBase) {
    EXPECT_EQ(Read("FlashLoader=fl.s19\nMIT=1\nFlash0=0,64\nFlashLoaderBaseAddr=0x1000\n"), 0);
    EXPECT_TRUE(Logged("Platform: missing setup loader"));
    EXPECT_EQ(Read("FlashLoader=fl.s19\nMIT=1\nSetupLoader=sl.s19\nFlash0=0,64\n"), 0);
    EXPECT_TRUE(Logged("Platform: invalid FL base address 0x00009999"));

    ASSERT_EQ(Read("FlashLoader=fl.s19\nMIT=1\nBootLoader=active\nSetupLoader=sl.s19\nFlash0=0,64\n"
                   "FlashLoaderBaseAddr=0x1000\n"),
              1);
    EXPECT_EQ(Record().bootLoaderType, kBootLoaderPassive);  // BootLoader is not read
    EXPECT_EQ(Record().setupLoaderUsed, 1u);
    EXPECT_EQ(Record().chipDescriptions, 1u);

    // An ignored setup loader needs no SetupLoader key.
    ASSERT_EQ(Read("FlashLoader=fl.s19\nMIT=1\nSetupLoaderIgnore=1\nSetupLoader=sl.s19\nFlash0=0,64\n"
                   "FlashLoaderBaseAddr=0x1000\n"),
              1);
    EXPECT_EQ(Record().setupLoaderIgnored, 1u);
    EXPECT_EQ(Record().setupLoaderUsed, 0u);
    EXPECT_STREQ(Record().setupLoaderPath, "");
    EXPECT_TRUE(Logged("Setup loader: -"));
}

TEST_F(PlatformTest, SetupLoaderBaseMustBeWordAligned) {
    EXPECT_EQ(Read(std::string(kNor) + "SetupLoaderBaseAddr=0x20000002\n"), 0);
    EXPECT_TRUE(Logged("Platform: invalid SL base address 0x20000002"));
    ASSERT_EQ(Read(std::string(kNor) + "SetupLoaderBaseAddr=536870912\n"), 1);
    EXPECT_EQ(Record().setupLoaderBase, 0x20000000u);
    EXPECT_EQ(Read(std::string(kNor) + "FlashLoaderBaseAddr=6\n"), 0);
    EXPECT_TRUE(Logged("Platform: invalid FL base address 0x00000006"));
}

TEST_F(PlatformTest, NorFlashDefinitionChecks) {
    const std::string head = std::string(kNor) + "ChipDesc=1\nFlash0=";
    EXPECT_EQ(Read(head + "0x01000000,16,1\n"), 1);
    for (const char* bad : {"0x01000000,16", "0x01080000,16,1", "0x01000000,16,8", "0x01000000,1025,0",
                            "0x01000000", "0x01000000,0,1", "0xFFF00000,2,0"}) {
        EXPECT_EQ(Read(head + bad + "\n"), 0) << bad;
        EXPECT_TRUE(Logged("Platform: invalid flash definition [0]")) << bad;
    }
    EXPECT_EQ(Read(std::string(kNor) + "ChipDesc=1\n"), 0);
    EXPECT_TRUE(Logged("Platform: no flash defined"));
    // Reading stops at the first missing key.
    ASSERT_EQ(Read(head + "0x01000000,16,1\nFlash2=0x02000000,16,2\n"), 1);
    EXPECT_EQ(Record().flashDefinitionCount, 1u);
    EXPECT_EQ(Record().flashDefinitions[1].base, 0u);
}

TEST_F(PlatformTest, AFifthFlashDefinitionRefusesThePlatform) {
    std::string body = std::string(kNor) + "ChipDesc=1\n";
    for (int i = 0; i < 5; ++i) body += "Flash" + std::to_string(i) + "=0x0" + std::to_string(i) + "000000,16,0\n";
    EXPECT_EQ(Read(body), 0);
    EXPECT_TRUE(Logged("Platform: invalid flash definition [4]")) << host.Transcript();
    EXPECT_LE(Record().flashDefinitionCount, kMaxFlashDefinitions);
}

TEST_F(PlatformTest, NandDefinitionsWithAndWithoutSpareAreas) {
    const std::string head = "FlashLoader=fl.s19\nMIT=1\nSetupLoader=sl.s19\nFlashLoaderBaseAddr=0\nFlash0=";
    ASSERT_EQ(Read(head + "0,64,60\n"), 1);
    EXPECT_EQ(Record().flashDefinitions[0].size, 64u << 20);
    EXPECT_EQ(Record().flashDefinitions[0].cfsStart, 0x83C00000u);
    EXPECT_EQ(Record().flashDefinitions[0].chipSelect, 0u);
    session->options.sparenand = 1;
    ASSERT_EQ(Read(head + "0,64,60\n"), 1);
    EXPECT_EQ(Record().flashDefinitions[0].size, 69206016u);
    EXPECT_EQ(Record().flashDefinitions[0].cfsStart, 0x83DE0000u);
    EXPECT_EQ(session->userImage.areas[0].last, 69206016u - 1);
    session->options.sparenand = 0;
    ASSERT_EQ(Read(head + "0x4000000,16\n"), 1);
    EXPECT_EQ(Record().flashDefinitions[0].cfsStart, 0u);
    for (const char* bad : {"0x1000000,16", "0,1025", "0", "0,16,2048", "0xFC000000,128"}) {
        EXPECT_EQ(Read(head + bad + "\n"), 0) << bad;
        EXPECT_TRUE(Logged("Platform: invalid flash definition [0]")) << bad;
    }
}

TEST_F(PlatformTest, MaxImageSizeWithoutChipDescriptions) {
    ASSERT_EQ(Read(kNor), 1);
    EXPECT_EQ(Record().flashDefinitionCount, 0u);
    ASSERT_EQ(session->userImage.areaCount, 1u);
    EXPECT_EQ(session->userImage.areas[0].first, 0u);
    EXPECT_EQ(session->userImage.areas[0].last, 0xFFFFFFu);
    for (const char* size : {"3", "65"}) {
        EXPECT_EQ(Read(std::string(kNor) + "MaxImageSize=" + size + "\n"), 0);
        EXPECT_TRUE(Logged(std::string("Platform: invalid max. image size: ") + size));
    }
    ASSERT_EQ(Read(std::string(kNor) + "MaxImageSize=4\n"), 1);
    EXPECT_EQ(session->userImage.areas[0].last, 0x3FFFFFu);
    ASSERT_EQ(Read(std::string(kNor) + "MaxImageSize=0x40\n"), 1);
    EXPECT_EQ(session->userImage.areas[0].last, 0x3FFFFFFu);
}

TEST_F(PlatformTest, EachReadStartsFromClearedDefinitions) {
    ASSERT_EQ(Read(std::string(kNor) + "ChipDesc=1\nFlash0=0x01000000,16,1\nFlash1=0x02000000,16,2\n"), 1);
    ASSERT_EQ(Read(kNor), 1);
    EXPECT_EQ(Record().flashDefinitionCount, 0u);
    EXPECT_EQ(Record().flashDefinitions[1].base, 0u);
    EXPECT_EQ(Record().flashDefinitions[0].size, 0u);
}

TEST_F(PlatformTest, LoaderNamesUseThisSystemsSeparatorsAndMustFit) {
    ASSERT_EQ(Read("FlashLoader=loaders\\fl.s19\nBootLoader=active\n"), 1);
    EXPECT_EQ(std::string(Record().flashLoaderPath),
              dir.Path() + "/loaders" + std::string(1, os::kPathSeparator) + "fl.s19");
    // Too long for a path: refused, never cut into another file's name.
    const std::string room(kPathSize - std::strlen(session->moduleDir) - 1, 'x');
    ASSERT_EQ(Read("FlashLoader=" + room + "\nBootLoader=active\n"), 1);
    EXPECT_EQ(Read("FlashLoader=" + room + "y\nBootLoader=active\n"), 0);
    EXPECT_TRUE(host.IndexOfMessageContaining("Platform: loader file name too long") >= 0);
    EXPECT_EQ(Read("FlashLoader=fl.s19\nBootLoader=active\nSetupLoader=" + std::string(300, 's') + "\n"), 0);
    EXPECT_TRUE(host.IndexOfMessageContaining("Platform: loader file name too long") >= 0);
}

}  // namespace
