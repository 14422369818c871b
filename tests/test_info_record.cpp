// Taking the loaders' info record apart, and the checks built on it.
#include <gtest/gtest.h>

#include "flashdll/boot/boot_internal.h"
#include "flashdll/loader/le.h"

namespace {

LoaderInfo Decode(uint32_t word0, uint32_t maxTransfer, uint32_t extraBytes, uint32_t idRegister) {
    uint8_t reply[kInfoReplyMax] = {};
    const uint32_t words[6] = {word0, 0x4142000A, 0x00070001, maxTransfer, extraBytes, idRegister};
    for (int i = 0; i < 6; ++i) {
        PutLe32(reply + 4 * i, words[i]);
    }
    return DecodeInfoRecord(reply);
}

TEST(InfoRecord, FieldsComeFromTheirBits) {
    const LoaderInfo info = Decode(0x80050302, 4352, 4, 0x00020100);
    EXPECT_EQ(info.major, 3u);
    EXPECT_EQ(info.minor, 2u);
    EXPECT_EQ(info.bootLoaderType, 5u);
    EXPECT_EQ(info.flag, 1u);
    EXPECT_EQ(info.setupLoaderType, 0x8005u);
    EXPECT_EQ(info.uart, 1u);
    EXPECT_EQ(info.maxTransfer, 4352u);
    EXPECT_TRUE(info.hasIdRegister);
    EXPECT_EQ(info.idRegister, 0x00020100u);
    EXPECT_STREQ(RevisionLabel(info.idRegister), "PR2");
    EXPECT_STREQ(RevisionLabel(0x00030000), "MK4 ROM");
    // Fewer than four bytes after word 4: no ID register, whatever word 5 holds.
    EXPECT_FALSE(Decode(0x00020200, 4352, 0, 0x1234).hasIdRegister);
    EXPECT_FALSE(Decode(0x00020200, 4352, 3, 0x1234).hasIdRegister);
}

TEST(InfoRecord, RomMaskTextBlanksUnprintableBytes) {
    char text[5];
    EXPECT_STREQ(RomMaskText(0x4142000A, text), "AB  ");
    EXPECT_STREQ(RomMaskText(0x1F7E8081, text), " ~\x80 ");
}

TEST(InfoRecord, TransferSizesThatLeaveNoRoomOrOverrunAreRefused) {
    EXPECT_EQ(AdjustedTransferSize(4352), 4096u);
    EXPECT_TRUE(TransferSizeUsable(4352, 4096));
    EXPECT_FALSE(TransferSizeUsable(4353, 4096));
    EXPECT_TRUE(TransferSizeUsable(257, 4096));    // one byte per chunk
    EXPECT_FALSE(TransferSizeUsable(256, 4096));   // chunks of 0 bytes
    EXPECT_FALSE(TransferSizeUsable(100, 0xFFFFFFFF));  // wraps around
    EXPECT_TRUE(TransferSizeUsable(16508 + 256, 16508));
    EXPECT_FALSE(TransferSizeUsable(16509 + 256, 16508));
}

TEST(InfoRecord, IdentityCheckByMemoryInterfaceType) {
    struct Case {
        uint32_t mit, word0, maxTransfer;
        bool valid;
        uint32_t setupLoaderUsed;
    } cases[] = {
        {0, 0x00020200, 4352, true, 0},   // type 2, V2.0
        {0, 0x00020109, 4352, false, 0},  // type 2, V1.9: too old
        {0, 0x00050100, 4352, true, 1},   // type 5 wants the setup loader, any version
        {0, 0x00040200, 4352, false, 0},  // type 4 only with interface type 1
        {1, 0x00060100, 4352, true, 1},
        {1, 0x00020200, 4352, false, 1},
        {0, 0x00020200, 4353, false, 0},  // chunks above 4096
        {0, 0x00020200, 256, false, 0},   // chunks of 0 bytes
        {2, 0x00020200, 4352, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.mit << " " << std::hex << c.word0 << " " << std::dec << c.maxTransfer);
        uint32_t used = 99;
        EXPECT_EQ(CheckBootLoaderIdentity(c.mit, Decode(c.word0, c.maxTransfer, 0, 0), &used), c.valid);
        if (c.valid) {
            EXPECT_EQ(used, c.setupLoaderUsed);
        }
    }
}

}  // namespace
