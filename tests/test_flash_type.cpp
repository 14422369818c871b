#include "flashdll/hw/flash_type.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/environment.h"
#include "support/temp_dir.h"

namespace {

using Values = std::vector<uint32_t>;

// Chip 0x00EC/0x0000AB12 with `chipInfo` and layout L1 = `layout` in flash.types of a temporary FLASHDLL_HOME.
std::unique_ptr<FlashType> Chip(const std::string& chipInfo, const std::string& layout = "8*8,64*63",
                                const std::string& description = "Test chip") {
    static testing_support::TempDir dir;
    testing_support::SetEnvironment("FLASHDLL_HOME", dir.Path().c_str());
    dir.Write("flash.types", "[Description]\n0x00ec_0x0000ab12=" + description + "\n[ChipInfo]\n0x00ec_0x0000ab12=" +
                                 chipInfo + "\n[Layouts]\nL1=" + layout + "\n");
    return std::make_unique<FlashType>(0xEC, 0xAB12);
}

TEST(FlashType, EntryUnderItsKeyFamiliesMethodsAndLayoutLimits) {
    auto chip = Chip("intel,L1,pagebuffer:32");
    ASSERT_TRUE(chip->IsKnown());
    EXPECT_FALSE(FlashType(0xEC, 0xAB13).IsKnown());
    EXPECT_STREQ(chip->Description(), "Test chip");
    const uint32_t* b = chip->Boundaries();
    const LayoutGroup* g = chip->LayoutGroups();
    EXPECT_EQ(Values({chip->BoundaryCount(), b[0], b[1], b[8], b[9], b[71]}),
              Values({72, 0, 8192, 65536, 131072, 4 << 20}));
    EXPECT_EQ(Values({g[0].count, g[0].sectorSize, g[1].count, g[1].sectorSize, g[2].count}),
              Values({8, 8192, 63, 65536, 0}));
    chip = Chip("amd,L1,standard", "4*4095", std::string(255, 'd'));  // 4095 sectors fit
    EXPECT_EQ(Values({chip->IsKnown(), chip->BoundaryCount(), chip->Boundaries()[4095]}), Values({1, 4096, 16773120}));
    EXPECT_EQ(std::string(chip->Description()), std::string(251, 'd')) << "cut to its field";
    chip = Chip("amd,L1,standard", "1,2,3,4,5,6,7,8*0");  // 8 groups fit; an empty one adds no sector
    EXPECT_EQ(Values({chip->IsKnown(), chip->BoundaryCount(), chip->LayoutGroups()[7].sectorSize}),
              Values({1, 8, 8192}));

    const std::pair<const char*, Values> cases[] = {  // family, method, write buffer size
        {"AMD,L1,Standard", {kFamilyAmd, kMethodStandard, 0}}, {"nand,L1,standard", {kFamilyNand, kMethodStandard, 0}},
        {"spansion,L1,UnlockBypass", {kFamilyAmd, kMethodUnlockBypass, 0}},
        {"intel,L1,pagebuffer", {kFamilyIntel, kMethodPageBuffer, 0}},
        {"intel,L1,PageBuffer: 64", {kFamilyIntel, kMethodPageBuffer, 64}},
        {"Intel_Sibley,L1,pagebuffer:1024", {kFamilyIntelSibley, kMethodPageBuffer, 1024}}};
    for (const auto& c : cases) {
        chip = Chip(c.first);
        ASSERT_TRUE(chip->IsKnown()) << c.first;
        EXPECT_EQ(Values({chip->Family(), chip->Method(), chip->WriteBufferSize()}), c.second) << c.first;
    }
}

TEST(FlashType, MalformedEntriesMakeTheChipUnknown) {
    for (const char* chipInfo : {"", "intel", "spansion,L1", "spansion,L1,", "intel,L1,standard,x", "flash,L1,standard",
                                 "intel ,L1,standard", "intel,L9,standard", "intel,L1,pagebuffer:0",
                                 "intel,L1,pagebuffer:", "intel,L1,pagebuffer:65536", "intel,L1,page"}) {
        EXPECT_FALSE(Chip(chipInfo)->IsKnown()) << chipInfo;
    }
    for (const char* layout : {"8*8, 64*63", "8*8,,64", ",64", "64,", "*8", "8*", "8*8*2", "8x8", "0", "8*0",
                               "1,1,1,1,1,1,1,1,1", "4*4096", "1*4000,1*96", "4194303*2"}) {
        EXPECT_FALSE(Chip("amd,L1,standard", layout)->IsKnown()) << layout;
    }
    EXPECT_FALSE(Chip("amd,L1,standard", "64", "")->IsKnown()) << "no description";
    EXPECT_EQ(Chip("amd,L1,standard", "64", "")->Description(), nullptr);
}

}  // namespace
