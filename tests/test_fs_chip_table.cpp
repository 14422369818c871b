#include "flashdll/hw/fs_chip_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "flashdll/hw/flash_type.h"
#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;

uint32_t Word(const uint8_t* table, size_t offset) {
    return table[offset] | table[offset + 1] << 8 | table[offset + 2] << 16 | static_cast<uint32_t>(table[offset + 3]) << 24;
}
uint32_t Half(const uint8_t* table, size_t offset) { return table[offset] | table[offset + 1] << 8; }

std::vector<uint8_t> Snapshot() { return std::vector<uint8_t>(FsChipTableBytes(), FsChipTableBytes() + kFsChipTableSize); }

class FsChipTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("FLASHDLL_HOME", dir.Path().c_str(), 1);
        dir.Write("flash.types",
                  "[Description]\n0x0001_0x0000227e=S\n0x0089_0x00008817=I\n0x0089_0x00008818=IS\n"
                  "0x00ec_0x00000001=N\n0x0001_0x00002201=A\n0x0089_0x00008819=IStd\n"
                  "[ChipInfo]\n0x0001_0x0000227e=spansion,L1,standard\n0x0089_0x00008817=intel,L1,pagebuffer:32\n"
                  "0x0089_0x00008818=intel_sibley,L1,standard\n0x00ec_0x00000001=nand,L2,standard\n"
                  "0x0001_0x00002201=amd,L2,unlockbypass\n0x0089_0x00008819=intel,L2,standard\n"
                  "[Layouts]\nL1=8*8,64*63\nL2=128*32\n");
        FsChipTableClear();
    }
    void TearDown() override { unsetenv("FLASHDLL_HOME"); }

    void Register(uint16_t manufacturer, uint32_t device, uint32_t base) {
        const auto chip = std::make_unique<FlashType>(manufacturer, device);
        ASSERT_TRUE(chip->IsKnown());
        RegisterChipForFileSystem(*chip, base);
    }

    TempDir dir;
};

TEST_F(FsChipTableTest, ByteLayoutOfRegisteredChips) {
    EXPECT_EQ(Snapshot(), std::vector<uint8_t>(kFsChipTableSize, 0));
    Register(0x0001, 0x227E, 0x24000000);  // spansion, standard
    Register(0x0089, 0x8817, 0x38000000);  // intel, page buffer of 32
    const uint8_t* t = FsChipTableBytes();
    EXPECT_EQ(Half(t, 0), 2u);
    EXPECT_EQ(Word(t, 2), 3u);   // chip-select code of chip 0
    EXPECT_EQ(Word(t, 6), 8u);   // of chip 1
    EXPECT_EQ(Word(t, 10), 0u);
    // Chip 0's layout groups: {8, 8 KiB}, {63, 64 KiB}, then empty ones.
    const std::vector<uint8_t> layout0(t + 18, t + 18 + 18);
    EXPECT_EQ(layout0, (std::vector<uint8_t>{8, 0, 0, 0x20, 0, 0, 63, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Half(t, 18 + 48), 8u);  // chip 1 starts 48 bytes later
    // Chip records from offset 210, 20 bytes each.
    EXPECT_EQ(Half(t, 210), 0x0001u);
    EXPECT_EQ(Word(t, 212), 0x227Eu);
    EXPECT_EQ(Word(t, 216), 1u);   // kind amd/spansion
    EXPECT_EQ(Word(t, 220), 1u);   // mode amd standard
    EXPECT_EQ(Word(t, 224), 0u);
    EXPECT_EQ(Half(t, 228), 0u);
    EXPECT_EQ(Half(t, 230), 0x0089u);
    EXPECT_EQ(Word(t, 232), 0x8817u);
    EXPECT_EQ(Word(t, 236), 2u);   // kind intel
    EXPECT_EQ(Word(t, 240), 4u);   // mode intel, not standard
    EXPECT_EQ(Half(t, 248), 32u);  // write buffer size
    EXPECT_EQ(Half(t, 250), 0u);   // chip 2 untouched
}

TEST_F(FsChipTableTest, ModesOfTheOtherMethods) {
    Register(0x0001, 0x2201, 0x20000000);  // amd, unlock bypass
    Register(0x0089, 0x8819, 0x20000000);  // intel, standard
    const uint8_t* t = FsChipTableBytes();
    EXPECT_EQ(Word(t, 210 + 10), 2u);
    EXPECT_EQ(Word(t, 230 + 10), 3u);
    EXPECT_EQ(Half(t, 18 + 48), 32u);
    EXPECT_EQ(Word(t, 18 + 48 + 2), 128u * 1024);
}

TEST_F(FsChipTableTest, SibleyNandAndAFifthChipAreIgnored) {
    Register(0x0089, 0x8818, 0x20000000);
    Register(0x00EC, 0x0001, 0x20000000);
    EXPECT_EQ(Snapshot(), std::vector<uint8_t>(kFsChipTableSize, 0));
    for (int i = 0; i < 4; ++i) Register(0x0001, 0x227E, 0x20000000 + 0x4000000 * i);
    const std::vector<uint8_t> full = Snapshot();
    Register(0x0089, 0x8817, 0x30000000);
    EXPECT_EQ(Snapshot(), full);
    EXPECT_EQ(Half(FsChipTableBytes(), 0), 4u);
    FsChipTableClear();
    EXPECT_EQ(Snapshot(), std::vector<uint8_t>(kFsChipTableSize, 0));
}

TEST_F(FsChipTableTest, ChipSelectCodesOfTheEightWindows) {
    for (uint32_t window = 0; window < 8; window += 4) {
        FsChipTableClear();
        for (uint32_t i = 0; i < 4; ++i) Register(0x0001, 0x227E, 0x20000000 + 0x4000000 * (window + i));
        for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Word(FsChipTableBytes(), 2 + 4 * i), 2 + window + i);
    }
    // Any other base gets code 0.
    FsChipTableClear();
    for (uint32_t base : {0x00000000u, 0x1C000000u, 0x21000000u, 0x40000000u}) Register(0x0001, 0x227E, base);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Word(FsChipTableBytes(), 2 + 4 * i), 0u) << i;
}

}  // namespace
