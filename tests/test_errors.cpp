#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "flashdll/errors.h"
#include "flashdll/session.h"
#include "support/recording_host.h"

namespace {

// The names hosts see; their spelling is part of the interface.
const std::pair<uint32_t, const char*> kNames[] = {
    {0, "SUCCESS"}, {1, "ERR_NOMEM"}, {2, "ERR_COM"}, {3, "ERR_ABORT"}, {4, "ERR_FLASHTYPE"},
    {5, "ERR_PROTOCOL"}, {6, "ERR_TIMEOUT"}, {7, "ERR_WRONG_DLL"}, {8, "ERR_WRONG_FILE_LOAD"},
    {9, "ERR_WRONG_FILE_SAVE"}, {10, "ERR_WRONG_FILE_SL"}, {11, "ERR_WRONG_FILE_FL"},
    {12, "ERR_WRONG_READLENGTH"}, {13, "ERR_CRC"}, {14, "ERR_UNSUPPORTED"},
    {15, "ERR_TOO_MANY_RETRIES"}, {16, "ERR_FILEIO"}, {17, "ERR_BAD_SREC_FILE"},
    {18, "ERR_BAD_SREC_ADDR"}, {19, "ERR_LEGACY_LOADER"}, {20, "ERR_CMD_FAILED"},
    {21, "ERR_RANGE_OUTSIDE_FLASH"}, {22, "ERR_RANGES_OVERLAP"}, {23, "ERR_BAD_SREC_CHECKSUM"},
    {24, "ERR_VERIFY_DIFFERENCE"}, {25, "ERR_TOO_MANY_RANGES"}, {26, "ERR_UNKOWN_HW"},
    {27, "ERR_WRONG_FLASHLOADER"}, {28, "ERR_BAD_CMDLINE"}, {29, "ERR_SETUP"},
    {30, "ERR_BAD_PLATFORM"}, {31, "ERR_BAD_PARAMS"}, {32, "ERR_BAD_CONTENTS"},
    {33, "ERR_NOT_FOUND_FILE"}, {34, "ERR_CONTENTS_READFAIL"}, {35, "ERR_FILEOPEN_FAIL"},
    {36, "ERR_FILEWRITE_FAIL"}, {37, "ERR_FILECLOSE_FAIL"}, {38, "ERR_CHECKFILESIZE_FAIL"},
    {50, "ERR_BAD_RESERVED_RANGE"}, {100, "ERR_UNKNOWN"},
};

bool IsKnown(uint32_t code) {
    for (const auto& [known, name] : kNames) {
        if (known == code) return true;
    }
    return false;
}

std::string NameOf(uint32_t code) {
    char buffer[kErrorNameSize + 1];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(FlashGetErrorString(code, buffer), SUCCESS);
    EXPECT_EQ(buffer[kErrorNameSize], '#') << "wrote past 26 bytes for " << code;
    return buffer;
}

TEST(ErrorNames, EveryKnownCode) {
    for (const auto& [code, name] : kNames) {
        EXPECT_EQ(NameOf(code), name);
    }
}

TEST(ErrorNames, EveryOtherCodeIsUnknown) {
    for (uint32_t code = 0; code <= 120; ++code) {
        if (!IsKnown(code)) {
            EXPECT_EQ(NameOf(code), "Unknown error: " + std::to_string(code));
        }
    }
    const std::string longest = NameOf(4294967295u);
    EXPECT_EQ(longest, "Unknown error: 4294967295");
    EXPECT_EQ(longest.size(), 25u);
}

TEST(ErrorNames, NullBufferUsesTheLibraryBuffer) {
    EXPECT_EQ(FlashGetErrorString(6, nullptr), SUCCESS);
    EXPECT_EQ(FlashGetErrorString(12345, nullptr), SUCCESS);
    EXPECT_STREQ(ErrorName(15, nullptr), "ERR_TOO_MANY_RETRIES");
    EXPECT_STREQ(ErrorName(39, nullptr), "Unknown error: 39");
    char own[kErrorNameSize];
    EXPECT_EQ(ErrorName(3, own), own);
    EXPECT_STREQ(own, "ERR_ABORT");
}

TEST(ErrorNames, LogErrorCodePostsTheName) {
    testing_support::RecordingHost host;
    host.InstallCallbacks();
    auto session = std::make_unique<Session>();
    session->host = &host.descriptor;
    LogErrorCode(session.get(), 3);
    LogErrorCode(session.get(), 4294967295u);
    EXPECT_EQ(host.Messages(0), (std::vector<std::string>{"Error code: ERR_ABORT",
                                                          "Error code: Unknown error: 4294967295"}));
}

}  // namespace
