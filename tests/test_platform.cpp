#include "flashdll/hw/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "flashdll/os/exe_path.h"
#include "flashdll/session/session.h"
#include "support/recording_host.h"
#include "support/temp_dir.h"

namespace {

using Values = std::vector<uint32_t>;
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
    // Writes platform.def with a section P1 holding `body` (after another one) and reads platform P1.
    int Read(const std::string& body) {
        dir.Write("platform.def", "[Other]\nFlashLoader=other.s19\n\n[P1]\n" + body);
        std::snprintf(session->options.platform, sizeof session->options.platform, "P1");
        host.Clear();
        return ReadPlatform(session.get());
    }

    testing_support::TempDir dir;
    testing_support::RecordingHost host;
    std::unique_ptr<Session> session = std::make_unique<Session>();
};

// Every refusal returns 0 and logs its one reason, no summary.
TEST_F(PlatformTest, RefusalsLogTheirReason) {
    const std::string room(kPathSize - std::strlen(session->moduleDir) - 1, 'x');  // longest loader name that fits
    const std::string tooLong = ("Platform: loader file name too long: " + room + "y").substr(0, kFormatBufferSize - 1);
    std::string five = kNor + "ChipDesc=1\n";
    for (int i = 0; i < 5; ++i) five += "Flash" + std::to_string(i) + "=0x0" + std::to_string(i) + "000000,16,0\n";
    std::vector<std::pair<std::string, std::string>> cases = {
        {"MIT=0\nBootLoader=active\n", "Platform: unknown or corrupted platform: \"P1\""},
        {"[P3]\n" + kNor, "Platform: unknown or corrupted platform: \"P1\""},  // no such section
        {"FlashLoader=fl.s19\nBootLoader=sleepy\n", "Platform: invalid boot loader type: sleepy"},
        {"FlashLoader=fl.s19\n", "Platform: invalid boot loader type: "},
        {"FlashLoader=fl.s19\nMIT=2\nBootLoader=active\n", "Platform: invalid MIT: 2"},
        {"FlashLoader=fl.s19\nMIT=1\nFlash0=0,64\nFlashLoaderBaseAddr=0x1000\n", "Platform: missing setup loader"},
        {"FlashLoader=fl.s19\nMIT=1\nSetupLoader=s\nFlash0=0,64\n", "Platform: invalid FL base address 0x00009999"},
        {kNor + "SetupLoaderBaseAddr=0x20000002\n", "Platform: invalid SL base address 0x20000002"},
        {kNor + "SetupLoaderBaseAddr=1x0X22\n", "Platform: invalid SL base address 0x00000022"},  // first 0x decides
        {kNor + "SetupLoaderBaseAddr=0x123456789\n", "Platform: invalid SL base address 0xffffffff"},  // never wraps
        {kNor + "FlashLoaderBaseAddr=6\n", "Platform: invalid FL base address 0x00000006"},
        {kNor + "ChipDesc=1\n", "Platform: no flash defined"}, {five, "Platform: invalid flash definition [4]"},
        {kNor + "MaxImageSize=3\n", "Platform: invalid max. image size: 3"},
        {kNor + "MaxImageSize=65\n", "Platform: invalid max. image size: 65"},
        // One definition would shadow the other in the image's memory areas.
        {kNor + "ChipDesc=1\nFlash0=0x01000000,16,1\nFlash1=0x02000000,1,2\nFlash2=0x01800000,16,3\n",
         "Platform: flash definitions [0] and [2] overlap (0x01000000 - 0x01ffffff, 0x01800000 - 0x027fffff)"},
        {kNand + "0,128\nFlash1=0x4000000,16\n",
         "Platform: flash definitions [0] and [1] overlap (0x00000000 - 0x07ffffff, 0x04000000 - 0x04ffffff)"},
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
        EXPECT_LE(session->platform.flashDefinitionCount, kMaxFlashDefinitions);
    }
    EXPECT_EQ(Read("FlashLoader=" + room + "\nBootLoader=active\n"), 1) << "the longest name that fits";
    // A name filling the whole field without a NUL is refused, not read past.
    dir.Write("platform.def", "[" + std::string(250, 'N') + "]\n" + kNor);
    std::memset(session->options.platform, 'N', sizeof session->options.platform);
    EXPECT_EQ(ReadPlatform(session.get()), 0);
}

// Accepted platforms read one after the other into the same session, the first with its whole summary.
TEST_F(PlatformTest, AcceptedPlatformsTheirRecordsAndSummary) {
    ASSERT_EQ(Read("FlashLoader = fl.s19\nBootLoader=Active\nSetupLoader=sl.s19\nSetupLoaderBaseAddr=0x20000000\n"
                   "ChipDesc=1\nFlash0=0x01000000,16,1\nFlash1=0x20000000,0x20,7\n"
                   "FlashLoaderBaseAddr=0x8000\nStackBaseAddr=0x9000\n"), 1) << host.Transcript();
    const PlatformRecord& p = session->platform;
    EXPECT_EQ(Values({p.chipDescriptions, p.flashDefinitionCount, p.flashDefinitions[0].chipSelect,
                      p.flashDefinitions[1].chipSelect}), Values({1, 2, 1, 7}));
    const std::string sl = dir.Path() + "/sl.s19", fl = dir.Path() + "/fl.s19";
    EXPECT_EQ(host.Messages(0), (std::vector<std::string>{
        "Boot loader protocol type: active", "Memory interface type: 0", "Setup loader: " + sl,
        "Setup loader base addr: 0x20000000", "Flash loader: " + fl, "Flash loader base addr: 0x00008000",
        "Stack base addr: 0x00009000", "Stack buffers: 2", "0: 0x01000000 - 0x01ffffff [16 MB (16777216 Bytes)]",
        "1: 0x20000000 - 0x21ffffff [32 MB (33554432 Bytes)]"}));
    ASSERT_EQ(Read("FlashLoader=loaders\\fl.s19\nBootLoader=active\n"), 1);
    EXPECT_EQ(std::string(p.flashLoaderPath), dir.Path() + "/loaders" + os::kPathSeparator + "fl.s19");

    const std::string mit1 = "FlashLoader=fl.s19\nMIT=1\nSetupLoader=sl.s19\nFlash0=0,64\nFlashLoaderBaseAddr=0x1000\n";
    struct Case { std::string body; uint32_t sparenand; Values fields; };
    const Case cases[] = {  // boot loader, SL used, chip descriptions, definitions, size 0, CFS 0, area last, SL base
        {kNor + "ChipDesc=1\nFlash0=0x01000000,16,1\nFlash2=0x02000000,16,2\n", 0,  // reading stops at Flash1
         {kBootLoaderActive, 0, 1, 1, 16 << 20, 0, 0x01FFFFFF, 0}},
        {kNor, 0, {kBootLoaderActive, 0, 0, 0, 0, 0, 0xFFFFFF, 0}},  // starts from cleared definitions
        {kNor + "MaxImageSize=0x40\nSetupLoaderBaseAddr=536870912\n", 0,
         {kBootLoaderActive, 0, 0, 0, 0, 0, 0x3FFFFFF, 0x20000000}},
        {mit1 + "BootLoader=active\n", 0, {kBootLoaderPassive, 1, 1, 1, 64 << 20, 0, 0x3FFFFFF, 0}},
        {kNand + "0,64,60\n", 0, {kBootLoaderPassive, 1, 1, 1, 64 << 20, 0x83C00000, 0x3FFFFFF, 0}},
        {kNand + "0,64,60\n", 1, {kBootLoaderPassive, 1, 1, 1, 69206016, 0x83DE0000, 69206016 - 1, 0}},
        {kNand + "0x4000000,16\n", 0, {kBootLoaderPassive, 1, 1, 1, 16 << 20, 0, 0x4FFFFFF, 0}},  // no CFS area
        {mit1 + "SetupLoaderIgnore=1\n", 0, {kBootLoaderPassive, 0, 1, 1, 64 << 20, 0, 0x3FFFFFF, 0}},
    };
    for (const Case& c : cases) {
        session->options.sparenand = c.sparenand;
        ASSERT_EQ(Read(c.body), 1) << c.body << host.Transcript();
        EXPECT_EQ(Values({p.bootLoaderType, p.setupLoaderUsed, p.chipDescriptions, p.flashDefinitionCount,
                          p.flashDefinitions[0].size, p.flashDefinitions[0].cfsStart, session->userImage.areas[0].last,
                          p.setupLoaderBase}), c.fields) << c.body;
    }
    EXPECT_TRUE(p.setupLoaderPath[0] == '\0' && host.HasMessage("Setup loader: -")) << "an ignored setup loader";
}

}  // namespace
