#include <gtest/gtest.h>

#include <string>

#include "flashdll/size_text.h"

namespace {

std::string Text(uint32_t bytes) {
    char buffer[kSizeTextSize];
    return SizeText(bytes, buffer, sizeof buffer);
}

TEST(SizeText, BytesKilobytesAndMegabytesAtTheirThresholds) {
    EXPECT_EQ(Text(0), "0 Bytes");
    EXPECT_EQ(Text(8191), "8191 Bytes");
    EXPECT_EQ(Text(8192), "8 KB (8192 Bytes)");
    EXPECT_EQ(Text(0x7FFFFF), "8191 KB (8388607 Bytes)");
    EXPECT_EQ(Text(0x800000), "8 MB (8388608 Bytes)");
    EXPECT_EQ(Text(0xFFFFFFFFu), "4095 MB (4294967295 Bytes)");
}

TEST(SizeText, SmallBufferIsCutNotOverrun) {
    char buffer[8] = {};  // an overrun shows in the sanitizer build
    EXPECT_STREQ(SizeText(0x800000, buffer, sizeof buffer), "8 MB (8");
}

}  // namespace
