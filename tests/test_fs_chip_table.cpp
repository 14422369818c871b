#include "flashdll/hw/fs_chip_table.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "flashdll/hw/flash_type.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Word(size_t at) {
    const uint8_t* t = FsChipTableBytes();
    return t[at] | t[at + 1] << 8 | t[at + 2] << 16 | static_cast<uint32_t>(t[at + 3]) << 24;
}
uint32_t Half(size_t at) { return FsChipTableBytes()[at] | FsChipTableBytes()[at + 1] << 8; }
Bytes Snapshot() { return Bytes(FsChipTableBytes(), FsChipTableBytes() + kFsChipTableSize); }

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
        const FlashType chip(manufacturer, device);
        ASSERT_TRUE(chip.IsKnown());
        RegisterChipForFileSystem(chip, base);
    }

    testing_support::TempDir dir;
};

TEST_F(FsChipTableTest, ByteLayoutAndModesOfRegisteredChips) {
    EXPECT_EQ(Snapshot(), Bytes(kFsChipTableSize, 0));
    Register(0x0001, 0x227E, 0x24000000);  // spansion, standard
    Register(0x0089, 0x8817, 0x38000000);  // intel, page buffer of 32
    Register(0x0001, 0x2201, 0x20000000);  // amd, unlock bypass
    Register(0x0089, 0x8819, 0x20000000);  // intel, standard
    EXPECT_EQ(Half(0), 4u);
    EXPECT_EQ(std::vector<uint32_t>({Word(2), Word(6), Word(10), Word(14)}), std::vector<uint32_t>({3, 8, 2, 2}));
    // Chip 0's layout groups: {8, 8 KiB}, {63, 64 KiB}, then empty ones; 48 bytes a chip.
    const Bytes table = Snapshot();
    EXPECT_EQ(Bytes(table.begin() + 18, table.begin() + 18 + 18), Bytes({8, 0, 0, 0x20, 0, 0, 63, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Half(18 + 2 * 48), 32u);
    EXPECT_EQ(Word(18 + 2 * 48 + 2), 128u * 1024);
    // Chip records from offset 210, 20 bytes each: ids, kind, mode, reserved, write buffer size.
    const std::vector<uint32_t> records = {
        Half(210), Word(212), Word(216), Word(220), Word(224), Half(228),
        Half(230), Word(232), Word(236), Word(240), Word(244), Half(248), Word(250 + 10), Word(270 + 10)};
    EXPECT_EQ(records, std::vector<uint32_t>({0x0001, 0x227E, 1, 1, 0, 0, 0x0089, 0x8817, 2, 4, 0, 32, 2, 3}));
}

TEST_F(FsChipTableTest, ChipSelectCodesOtherFamiliesAndAFifthChip) {
    Register(0x0089, 0x8818, 0x20000000);  // intel_sibley and nand are ignored
    Register(0x00EC, 0x0001, 0x20000000);
    EXPECT_EQ(Snapshot(), Bytes(kFsChipTableSize, 0));
    for (uint32_t window = 0; window < 8; window += 4) {
        FsChipTableClear();
        for (uint32_t i = 0; i < 4; ++i) Register(0x0001, 0x227E, 0x20000000 + 0x4000000 * (window + i));
        for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Word(2 + 4 * i), 2 + window + i);
    }
    const Bytes full = Snapshot();
    Register(0x0089, 0x8817, 0x30000000);
    EXPECT_EQ(Snapshot(), full) << "a fifth chip is ignored";
    FsChipTableClear();
    EXPECT_EQ(Snapshot(), Bytes(kFsChipTableSize, 0));
    for (uint32_t base : {0x00000000u, 0x1C000000u, 0x21000000u, 0x40000000u}) Register(0x0001, 0x227E, base);
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(Word(2 + 4 * i), 0u) << "any other base gets code 0";
}

}  // namespace
