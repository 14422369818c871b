// Boot loader command frames against a scripted loader on a pseudo-terminal:
// what goes on the wire, and how every kind of reply is judged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flashdll/boot/boot_loader.h"
#include "flashdll/loader/crc32.h"
#include "flashdll/loader/fourcc.h"
#include "flashdll/session.h"
#include "support/pty_peer.h"

namespace {

using testing_support::PtyPeer;

std::string Word(uint32_t value) {
    return std::string{static_cast<char>(value), static_cast<char>(value >> 8),
                       static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
}

std::string Crc(const std::string& bytes) { return Word(Crc32(bytes.data(), bytes.size())); }

// "+ok+" reply carrying `data`.
std::string OkReply(const std::string& command, const std::string& data) {
    std::string reply = "resp" + command + "+ok+" + Word(static_cast<uint32_t>(data.size()));
    if (!data.empty()) {
        reply += data + Crc(data);
    }
    return reply + "(hw)";
}

class BLSendCmdTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(peer_.Open(250, &error)) << error;
    }
    uint32_t Info(uint8_t* reply) {
        return BLSendCmd(peer_.session(), FourCC("info"), 0, nullptr, 16, 24, reply, 100);
    }
    PtyPeer peer_;
};

TEST_F(BLSendCmdTest, FramesGoOutWholeAndRepliesLandInTheReplyArea) {
    const std::string payload = "\x10\x20\x30\x40\x05";
    peer_.Feed("noise" + OkReply("data", ""));
    EXPECT_EQ(BLSendCmd(peer_.session(), FourCC("data"), 5, payload.data(), 0, 0, nullptr, 1000), SUCCESS);
    EXPECT_EQ(peer_.Take(64, 100), "data" + Word(5) + payload + Crc(payload) + "(pc)");

    const std::string record = std::string("\x00\x02\x02\x00", 4) + "ABCD" + Word(1) + Word(4352) + Word(0);
    peer_.Feed(OkReply("info", record));
    uint8_t reply[24] = {};
    EXPECT_EQ(Info(reply), SUCCESS);
    EXPECT_EQ(peer_.Take(64, 100), "info" + Word(0) + "(pc)");  // no payload: no CRC either
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 20), record);
}

TEST_F(BLSendCmdTest, FaultyRepliesGiveTheirCodes) {
    const std::string record(16, 'x');
    struct Case {
        std::string reply;
        uint32_t code;
        std::string log;  // expected log line, or empty
    } cases[] = {
        {OkReply("info", std::string(12, 'x')), ERR_PROTOCOL, "msg size out of range: 12 (16-24)"},
        {OkReply("info", std::string(25, 'x')), ERR_PROTOCOL, "msg size out of range: 25 (16-24)"},
        {"respinfo+ok+" + Word(16) + record + Word(0x12345678) + "(hw)", ERR_CRC, ""},
        {"respinfo+ok+" + Word(16) + record + Crc(record) + "(hx)", ERR_PROTOCOL, ""},
        {"respinfonack(hw)", ERR_CMD_FAILED, ""},
        {"respdone+ok+" + Word(0) + "(hw)", ERR_TIMEOUT, "BLWaitFor4CC(info) failed: 6"},
        {"", ERR_TIMEOUT, "BLWaitFor4CC(resp) failed: 6"},
        {"respinfo", ERR_TIMEOUT, "BLWaitFor4CCs failed: 6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log + " / code " + std::to_string(c.code));
        PtyPeer peer;
        std::string error;
        ASSERT_TRUE(peer.Open(50, &error)) << error;
        peer.Feed(c.reply);
        uint8_t reply[24] = {};
        EXPECT_EQ(BLSendCmd(peer.session(), FourCC("info"), 0, nullptr, 16, 24, reply, 100), c.code);
        if (!c.log.empty()) {
            EXPECT_GE(peer.host().IndexOfMessage(c.log), 0) << peer.host().Transcript();
        }
    }
}

TEST_F(BLSendCmdTest, SyncRepeatsUntilTheLoaderAnswers) {
    // The give-up marker ends the first wait at once; the second "sync" is answered.
    peer_.Feed("?!!?-()-");
    EXPECT_EQ(BLSync(peer_.session()), SUCCESS);
    EXPECT_EQ(peer_.Take(8, 100), "syncsync");
    EXPECT_TRUE(peer_.host().HasMessage("sync'ed"));
}

}  // namespace
