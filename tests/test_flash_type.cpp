#include "flashdll/hw/flash_type.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "support/temp_dir.h"

namespace {

// flash.types in a temporary module directory (FLASHDLL_HOME).
class FlashTypeTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("FLASHDLL_HOME", dir.Path().c_str(), 1); }
    void TearDown() override { unsetenv("FLASHDLL_HOME"); }

    // Chip 0x0089/0x00008817 with `chipInfo` and the layout L1 = `layout`.
    std::unique_ptr<FlashType> Chip(const std::string& chipInfo, const std::string& layout = "8*8,64*63",
                                    const std::string& description = "Test chip") {
        dir.Write("flash.types", "[Description]\n0x0089_0x00008817=" + description + "\n[ChipInfo]\n0x0089_0x00008817=" +
                                     chipInfo + "\n[Layouts]\nL1=" + layout + "\nL2=64\n");
        return std::make_unique<FlashType>(0x89, 0x8817);
    }

    testing_support::TempDir dir;
};

TEST_F(FlashTypeTest, EntryWithTwoLayoutGroupsUnderItsLowerCaseKey) {
    EXPECT_FALSE(std::make_unique<FlashType>(0x89, 0x8817)->IsKnown()) << "no catalogue: every chip unknown";
    const auto chip = Chip("intel,L1,pagebuffer:32");
    ASSERT_TRUE(chip->IsKnown());
    EXPECT_STREQ(chip->Description(), "Test chip");
    EXPECT_EQ(chip->Family(), kFamilyIntel);
    EXPECT_EQ(chip->Method(), kMethodPageBuffer);
    EXPECT_EQ(chip->WriteBufferSize(), 32);
    ASSERT_EQ(chip->BoundaryCount(), 72u);
    const uint32_t* b = chip->Boundaries();
    EXPECT_EQ(std::vector<uint32_t>({b[0], b[1], b[8], b[9], b[71]}),
              std::vector<uint32_t>({0, 8192, 65536, 131072, 4u << 20}));
    EXPECT_EQ(chip->LayoutGroups()[0].count, 8);
    EXPECT_EQ(chip->LayoutGroups()[0].sectorSize, 8192u);
    EXPECT_EQ(chip->LayoutGroups()[1].count, 63);
    EXPECT_EQ(chip->LayoutGroups()[1].sectorSize, 65536u);
    EXPECT_EQ(chip->LayoutGroups()[2].count, 0);

    dir.Write("flash.types", "[Description]\n0x0001_0x000022d7=Small\n[ChipInfo]\n0x0001_0x000022d7=amd,L2,standard\n"
                             "[Layouts]\nL2=64\n");
    const auto small = std::make_unique<FlashType>(0x0001, 0x22D7);
    ASSERT_TRUE(small->IsKnown());
    EXPECT_EQ(small->BoundaryCount(), 2u);
    EXPECT_EQ(small->Boundaries()[1], 65536u);
    EXPECT_FALSE(std::make_unique<FlashType>(0x0001, 0x22D8)->IsKnown());
}

TEST_F(FlashTypeTest, FamiliesMethodsAndLimits) {
    struct Case { const char* chipInfo; uint32_t family, method; uint16_t writeBuffer; };
    for (const Case& c : {Case{"AMD,L1,Standard", kFamilyAmd, kMethodStandard, 0},
                          Case{"spansion,L1,UnlockBypass", kFamilyAmd, kMethodUnlockBypass, 0},
                          Case{"intel,L1,pagebuffer", kFamilyIntel, kMethodPageBuffer, 0},
                          Case{"intel,L1,PageBuffer: 64", kFamilyIntel, kMethodPageBuffer, 64},
                          Case{"Intel_Sibley,L1,pagebuffer:1024", kFamilyIntelSibley, kMethodPageBuffer, 1024},
                          Case{"nand,L1,standard", kFamilyNand, kMethodStandard, 0}}) {
        const auto chip = Chip(c.chipInfo);
        ASSERT_TRUE(chip->IsKnown()) << c.chipInfo;
        EXPECT_EQ(chip->Family(), c.family) << c.chipInfo;
        EXPECT_EQ(chip->Method(), c.method) << c.chipInfo;
        EXPECT_EQ(chip->WriteBufferSize(), c.writeBuffer) << c.chipInfo;
    }
    auto chip = Chip("amd,L1,standard", "4*4095");
    ASSERT_TRUE(chip->IsKnown()) << "4095 sectors fit";
    EXPECT_EQ(chip->BoundaryCount(), kMaxBoundaries);
    EXPECT_EQ(chip->Boundaries()[4095], 4095u * 4096);
    chip = Chip("amd,L1,standard", "1,2,3,4,5,6,7,8*0");
    ASSERT_TRUE(chip->IsKnown()) << "8 groups fit";
    EXPECT_EQ(chip->BoundaryCount(), 8u) << "the empty eighth group adds no sector";
    EXPECT_EQ(chip->LayoutGroups()[7].sectorSize, 8192u);
    chip = Chip("amd,L1,standard", "64", std::string(255, 'd'));
    ASSERT_TRUE(chip->IsKnown());
    EXPECT_EQ(std::string(chip->Description()), std::string(251, 'd')) << "cut to its field";
}

TEST_F(FlashTypeTest, MalformedEntriesMakeTheChipUnknown) {
    for (const char* chipInfo : {"", "intel", "spansion,L1", "spansion,L1,", "intel,L1,standard,x", "flash,L1,standard",
                                 "intel ,L1,standard", "intel,L9,standard", "intel,L1,pagebuffer:0",
                                 "intel,L1,pagebuffer:", "intel,L1,pagebuffer:65536", "intel,L1,page"}) {
        EXPECT_FALSE(Chip(chipInfo)->IsKnown()) << chipInfo;
    }
    for (const char* layout : {"8*8, 64*63", "8*8,,64", ",64", "64,", "*8", "8*", "8*8*2", "8x8", "0", "8*0",
                               "1,1,1,1,1,1,1,1,1", "4*4096", "1*4000,1*96", "4194303*2"}) {
        EXPECT_FALSE(Chip("amd,L1,standard", layout)->IsKnown()) << layout;
    }
    const auto chip = Chip("amd,L1,standard", "64", "");
    EXPECT_FALSE(chip->IsKnown()) << "no description";
    EXPECT_EQ(chip->Description(), nullptr);
}

}  // namespace
