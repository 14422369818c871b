#include "flashdll/hw/fs_chip_table.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "flashdll/hw/flash_type.h"
#include "support/environment.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Values = std::vector<uint32_t>;

FsChipTable g_table;  // this test's only table

uint32_t Word(size_t at) {
    const uint8_t* t = g_table.bytes;
    return t[at] | t[at + 1] << 8 | t[at + 2] << 16 | static_cast<uint32_t>(t[at + 3]) << 24;
}
uint32_t Half(size_t at) { return g_table.bytes[at] | g_table.bytes[at + 1] << 8; }
Bytes Snapshot() { return Bytes(g_table.bytes, g_table.bytes + kFsChipTableSize); }
Values ChipSelects() { return {Word(2), Word(6), Word(10), Word(14)}; }

void Register(uint16_t manufacturer, uint32_t device, uint32_t base) {
    const FlashType chip(manufacturer, device);
    ASSERT_TRUE(chip.IsKnown());
    RegisterChipForFileSystem(&g_table, chip, base);
}

TEST(FsChipTable, ByteLayoutChipSelectCodesOtherFamiliesAndAFifthChip) {
    testing_support::TempDir dir;
    testing_support::SetEnvironment("FLASHDLL_HOME", dir.Path().c_str());
    dir.Write("flash.types", "[Description]\n0x0001_0x0000227e=a\n0x0089_0x00008817=b\n0x0001_0x00002201=c\n"
              "0x0089_0x00008819=d\n0x0089_0x00008818=e\n0x00ec_0x00000001=f\n[ChipInfo]\n"
              "0x0001_0x0000227e=spansion,L1,standard\n0x0089_0x00008817=intel,L1,pagebuffer:32\n"
              "0x0001_0x00002201=amd,L2,unlockbypass\n0x0089_0x00008819=intel,L2,standard\n"
              "0x0089_0x00008818=intel_sibley,L1,standard\n0x00ec_0x00000001=nand,L2,standard\n"
              "[Layouts]\nL1=8*8,64*63\nL2=128*32\n");
    FsChipTableClear(&g_table);
    Register(0x0089, 0x8818, 0x20000000);  // intel_sibley and nand are ignored
    Register(0x00EC, 0x0001, 0x20000000);
    EXPECT_EQ(Snapshot(), Bytes(kFsChipTableSize, 0));
    Register(0x0001, 0x227E, 0x24000000);  // spansion, standard
    Register(0x0089, 0x8817, 0x38000000);  // intel, page buffer of 32
    Register(0x0001, 0x2201, 0x20000000);  // amd, unlock bypass
    Register(0x0089, 0x8819, 0x20000000);  // intel, standard
    EXPECT_EQ(Half(0), 4u);
    EXPECT_EQ(ChipSelects(), Values({3, 8, 2, 2}));
    // Layout groups from offset 18, 48 bytes a chip, packed {count, sector size} pairs of 6 bytes.
    EXPECT_EQ(Values({Half(18), Word(20), Half(24), Word(26), Half(30)}), Values({8, 8192, 63, 65536, 0}));
    EXPECT_EQ(Values({Half(18 + 2 * 48), Word(18 + 2 * 48 + 2)}), Values({32, 128 * 1024}));
    // Chip records from offset 210, 20 bytes each: ids, kind, mode, reserved, write buffer size.
    EXPECT_EQ(Values({Half(210), Word(212), Word(216), Word(220), Word(224), Half(228), Half(230), Word(232), Word(236),
                      Word(240), Word(244), Half(248), Word(250 + 10), Word(270 + 10)}),
              Values({0x0001, 0x227E, 1, 1, 0, 0, 0x0089, 0x8817, 2, 4, 0, 32, 2, 3}));
    const Bytes table = Snapshot();
    Register(0x0001, 0x227E, 0x30000000);
    EXPECT_EQ(Snapshot(), table) << "a fifth chip is ignored";

    for (uint32_t window = 0; window < 8; window += 4) {
        FsChipTableClear(&g_table);
        for (uint32_t i = 0; i < 4; ++i) Register(0x0001, 0x227E, 0x20000000 + 0x4000000 * (window + i));
        EXPECT_EQ(ChipSelects(), Values({2 + window, 3 + window, 4 + window, 5 + window}));
    }
    FsChipTableClear(&g_table);
    EXPECT_EQ(Snapshot(), Bytes(kFsChipTableSize, 0));
    for (uint32_t base : {0x00000000u, 0x1C000000u, 0x21000000u, 0x40000000u}) Register(0x0001, 0x227E, base);
    EXPECT_EQ(ChipSelects(), Values({0, 0, 0, 0})) << "any other base gets code 0";
    testing_support::SetEnvironment("FLASHDLL_HOME", nullptr);
}

}  // namespace
