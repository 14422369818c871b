// Error names inside the library. Every name a host sees is checked from
// outside by tests/c_host/c_host_check.c.
#include <gtest/gtest.h>

#include <memory>

#include "flashdll/errors.h"
#include "flashdll/session.h"
#include "support/recording_host.h"

namespace {

TEST(ErrorNames, WrittenToTheGivenBufferOrTheLibraryBuffer) {
    char own[kErrorNameSize];
    EXPECT_EQ(ErrorName(3, own), own);
    EXPECT_STREQ(own, "ERR_ABORT");
    EXPECT_STREQ(ErrorName(15, nullptr), "ERR_TOO_MANY_RETRIES");
    EXPECT_STREQ(ErrorName(39, nullptr), "Unknown error: 39");

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
