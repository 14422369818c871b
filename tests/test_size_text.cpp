#include <gtest/gtest.h>

#include <string>

#include "flashdll/report/size_text.h"

namespace {

TEST(SizeText, BytesKilobytesAndMegabytesAtTheirThresholdsCutToTheBuffer) {
    const std::pair<uint32_t, std::string> cases[] = {
        {0, "0 Bytes"}, {8191, "8191 Bytes"}, {8192, "8 KB (8192 Bytes)"}, {0x7FFFFF, "8191 KB (8388607 Bytes)"},
        {0x800000, "8 MB (8388608 Bytes)"}, {0xFFFFFFFFu, "4095 MB (4294967295 Bytes)"}};
    for (const auto& [bytes, text] : cases) {
        char buffer[kSizeTextSize];
        EXPECT_EQ(SizeText(bytes, buffer, sizeof buffer), text);
    }
    char small[8] = {};  // an overrun shows in the sanitizer build
    EXPECT_STREQ(SizeText(0x800000, small, sizeof small), "8 MB (8");
}

}  // namespace
