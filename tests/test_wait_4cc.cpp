// The 4CC scanner on a real port: the test feeds bytes into the master side
// of a pseudo-terminal; the session reads the slave side.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "flashdll/loader/fl_command.h"
#include "flashdll/loader/fourcc.h"
#include "flashdll/session.h"
#include "support/pty_peer.h"

namespace {

using testing_support::PtyPeer;
using testing_support::RecordingHost;

constexpr uint32_t kRply = FourCC("rply");
constexpr uint32_t kMsg = FourCC("*msg");

class WaitFor4CCTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(peer_.Open(250, &error)) << error;
        session_ = peer_.session();
    }
    void Feed(const std::string& bytes) { peer_.Feed(bytes); }
    uint32_t Wait(std::initializer_list<uint32_t> codes, uint32_t timeoutMs, uint32_t* found) {
        const std::vector<uint32_t> list(codes);
        return WaitFor4CCs(session_, static_cast<uint32_t>(list.size()), list.data(), timeoutMs, found);
    }

    PtyPeer peer_;
    RecordingHost& host_ = peer_.host();
    Session* session_ = nullptr;
};

TEST_F(WaitFor4CCTest, FindsListedCodesBehindNoiseAndRestoresTheReadTimeout) {
    Feed(std::string("xx\0rpl*msgrest", 14));
    uint32_t found = 0;
    EXPECT_EQ(Wait({kRply, kMsg}, 2000, &found), SUCCESS);
    EXPECT_EQ(found, kMsg);
    EXPECT_EQ(session_->ports[0].readTimeoutMs, 250u);
    // The bytes after the code stay in the port for the caller.
    char rest[4] = {};
    uint32_t got = 0;
    ASSERT_NE(ComRead(session_, 0, rest, 4, &got), 0);
    EXPECT_EQ(std::string(rest, got), "rest");
    EXPECT_TRUE(host_.Messages().empty()) << host_.Transcript();
}

TEST_F(WaitFor4CCTest, TimeOutLogsTheErrorAndEveryAwaitedCode) {
    Feed("noise");
    uint32_t found = 0xDEAD;
    EXPECT_EQ(Wait({kRply, kMsg}, 50, &found), ERR_TIMEOUT);
    EXPECT_EQ(found, 0xDEADu);
    EXPECT_EQ(host_.Messages(), (std::vector<std::string>{"WaitFor4CCs failed: ERR_TIMEOUT (6)",
                                                          "0x796c7072 = rply",
                                                          "0x67736d2a = *msg"}));
    EXPECT_EQ(session_->ports[0].readTimeoutMs, 250u);
}

TEST_F(WaitFor4CCTest, GiveUpMarkerEndsTheWaitAtOnce) {
    Feed("ab?!!?rply");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitFor4CC(session_, kRply, 30000), ERR_TIMEOUT);
    // Far below the 30 s deadline: the marker, not the clock, ended the wait.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(host_.HasMessage("WaitFor4CCs failed: ERR_TIMEOUT (6)"));
}

TEST_F(WaitFor4CCTest, EveryWaitStartsWithAnEmptyWindow) {
    Feed("rp");
    EXPECT_EQ(WaitFor4CC(session_, kRply, 50), ERR_TIMEOUT);
    // "ly" completes "rply" only if the first wait's bytes were carried over.
    Feed("ly");
    EXPECT_EQ(WaitFor4CC(session_, kRply, 50), ERR_TIMEOUT);
    Feed("rply");
    EXPECT_EQ(WaitFor4CC(session_, kRply, 2000), SUCCESS);
}

TEST_F(WaitFor4CCTest, AbortEndsTheWaitWithoutFailureLog) {
    std::thread aborter([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        session_->run.abortFlag.store(1);
    });
    EXPECT_EQ(WaitFor4CC(session_, kRply, 30000), ERR_ABORT);
    aborter.join();
    EXPECT_TRUE(host_.Messages().empty()) << host_.Transcript();
    EXPECT_EQ(session_->ports[0].readTimeoutMs, 250u);
}

}  // namespace
