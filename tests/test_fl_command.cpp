// The flash loader exchange over pseudo-terminals: the library's real serial
// layer on one end, the handset's bytes scripted by the test on the other.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "contents_builder.h"

#include "flashdll/contents/contents.h"
#include "flashdll/errors.h"
#include "flashdll/loader/crc32.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/loader/fl_frames.h"
#include "flashdll/loader/fourcc.h"
#include "support/fl_peer.h"
#include "support/temp_dir.h"

using namespace testing_support;

namespace {

uint32_t Send(PeerSession& link, const char* command, const Bytes& payload, uint32_t expected,
              uint8_t* reply, uint32_t timeoutMs = 2000) {
    char code[5] = {};
    std::memcpy(code, command, 4);
    return FLSendCmd(link.session.get(), FourCC(code), uint32_t(payload.size()),
                     payload.empty() ? nullptr : payload.data(), expected, reply, timeoutMs);
}

// `count` times the marker that ends any wait at once.
Bytes Markers(int count) {
    Bytes bytes;
    for (int i = 0; i < count; ++i) bytes = bytes + Text("?!!?");
    return bytes;
}

}  // namespace

TEST(DumpLine, HexThenQuotedTextWithZeroAsBlank) {
    char line[kDumpLineSize];
    const uint8_t three[] = {0x41, 0x42, 0x00};
    EXPECT_STREQ("41 42 00  \"AB \"", FormatDumpLine(three, 3, line));
    uint8_t full[16];
    for (int i = 0; i < 16; ++i) full[i] = uint8_t(0xA0 + i);
    const std::string text = FormatDumpLine(full, 16, line);
    EXPECT_EQ(text.substr(0, 9), "A0 A1 A2 ");
    EXPECT_EQ(text.size(), kDumpLineSize - 1);
}

TEST(FlSendCmd, FramesOnTheWireAndReplyData) {
    PeerSession link;
    uint8_t reply[20] = {};
    link.peers[0].Send(Reply("DONE", true));
    EXPECT_EQ(SUCCESS, Send(link, "DONE", {}, 0, reply));
    EXPECT_EQ(link.peers[0].Received(), Command("DONE"));  // 12 bytes: no payload, no CRC
    EXPECT_EQ(Command("DONE").size(), 12u);

    // Noise before "rply", the echo and the status is skipped.
    link.peers[0].Send(Text("xx") + Text("rply") + Text("zz") + Text("VRFY") + Text("?!!") +
                       Text("+ok!") + Word(4) + Word(0xCAFEF00D) + Word(Crc32("\x0D\xF0\xFE\xCA", 4)) +
                       Text("eom."));
    const Bytes payload = Word(0x20000000) + Word(0x100);
    EXPECT_EQ(SUCCESS, Send(link, "VRFY", payload, 4, reply));
    EXPECT_EQ(link.peers[0].Received(), Command("VRFY", payload));  // 16 + N bytes
    EXPECT_EQ(0u, std::memcmp(reply, "\x0D\xF0\xFE\xCA", 4));
    EXPECT_EQ(1000u, link.session->ports[0].readTimeoutMs);  // restored after the exchange
}

TEST(FlSendCmd, BrokenRepliesFail) {
    PeerSession link;
    uint8_t reply[24];
    std::memset(reply, 0x5A, sizeof reply);
    // Noise after the status is read as the length word.
    link.peers[0].Send(Text("rplyVRFY+ok!") + Text("n") + Word(4) + Word(1) + Word(Crc32("\1\0\0\0", 4)) + Text("eom."));
    EXPECT_EQ(ERR_PROTOCOL, Send(link, "VRFY", Word(0), 4, reply, 200));
    // A longer reply than expected is refused without touching the area.
    link.peers[0].Send(Reply("VRFY", true, Word(1) + Word(2)));
    EXPECT_EQ(ERR_PROTOCOL, Send(link, "VRFY", Word(0), 4, reply, 200));
    EXPECT_TRUE(link.Logged("Msg size mismatch: 4 != 8"));
    EXPECT_EQ(reply[0], 0x5A);
    link.peers[0].Received(200);
    link.peers[0].Send(Reply("VRFY", true, Word(7), 0x1));
    EXPECT_EQ(ERR_CRC, Send(link, "VRFY", Word(0), 4, reply));
    link.peers[0].Send(Reply("VRFY", true, Word(7), 0, "eoq."));
    EXPECT_EQ(ERR_PROTOCOL, Send(link, "VRFY", Word(0), 4, reply));
    link.peers[0].Send(Reply("OPEN", false, Word(3)));  // "-err" must carry 20 bytes
    EXPECT_EQ(ERR_PROTOCOL, Send(link, "OPEN", Word(0), 0, reply));
    EXPECT_TRUE(link.Logged("Msg size mismatch: 20 != 4"));
}

TEST(FlSendCmd, ErrorRecordIsLoggedAndReturned) {
    PeerSession link;
    uint8_t reply[20] = {};
    link.peers[0].Send(Reply("OPEN", false, Word(7) + Word(1) + Word(255) + Word(0) + Word(16)));
    EXPECT_EQ(ERR_CMD_FAILED, Send(link, "OPEN", Word(0), 0, reply));
    EXPECT_TRUE(link.Logged("Cmd OPEN FAILED: Err:7, 1=0x1, 255=0xff, 0=0x0, 16=0x10"));
    EXPECT_EQ(reply[0], 7);
}

TEST(FlSendCmd, MessageAndDumpFramesAheadOfTheReply) {
    PeerSession link;
    uint8_t reply[20];
    const Bytes data = Text("AB") + Bytes{0} + Text("0123456789abcdefXY");
    link.peers[0].Send(Message(std::string(200, 'x')) + Message(Text("hi"), 2) +
                       Message(std::string("zero\0tail", 9)) + Dump(0x100, 0x114, data) +
                       Reply("DONE", true));
    EXPECT_EQ(SUCCESS, Send(link, "DONE", {}, 0, reply));
    EXPECT_TRUE(link.Logged("MSG: hi"));  // ended after its last byte
    EXPECT_TRUE(link.Logged("MSG: zero"));
    EXPECT_TRUE(link.Logged("DUMP: 0x00000100-0x00000114"));
    EXPECT_TRUE(link.Logged("41 42 00 30 31 32 33 34 35 36 37 38 39 61 62 63  \"AB 0123456789abc\""));
    EXPECT_TRUE(link.Logged("64 65 66 58 59  \"defXY\""));
}

TEST(FlSendCmd, OversizedOrBrokenFramesAreRefused) {
    PeerSession link;
    uint8_t reply[20];
    link.peers[0].Send(Message(Bytes(2048, 'm'), 2048) + Dump(0, 0, Bytes(4096, 1)) + Reply("DONE", true));
    EXPECT_EQ(SUCCESS, Send(link, "DONE", {}, 0, reply));  // the areas' own sizes pass
    link.peers[0].Send(Message(Bytes(2049, 'm'), 2049));
    EXPECT_EQ(ERR_PROTOCOL, Send(link, "DONE", {}, 0, reply, 200));
    EXPECT_TRUE(link.Logged("FLHandleMsg: ERR_PROTOCOL (5)"));
    link.peers[0].Received(300);
    link.peers[0].Send(Dump(0, 0, Bytes(4097, 1)));
    EXPECT_EQ(ERR_PROTOCOL, Send(link, "DONE", {}, 0, reply, 200));
    EXPECT_TRUE(link.Logged("FLHandleDump: ERR_PROTOCOL (5)"));
    link.peers[0].Received(300);
    Bytes bad = Message("oops");
    bad[12] ^= 1;  // text no longer matches its CRC
    link.peers[0].Send(bad);
    EXPECT_EQ(ERR_CRC, Send(link, "DONE", {}, 0, reply, 200));
    EXPECT_TRUE(link.Logged("FLHandleMsg: ERR_CRC (13)"));
}

TEST(FlSendCmd, MarkerSilenceAndAbortEndTheWait) {
    PeerSession link;
    uint8_t reply[20];
    const auto start = std::chrono::steady_clock::now();
    link.peers[0].Send(Text("rplyDONE?!!?"));  // the marker during the status wait
    EXPECT_EQ(ERR_TIMEOUT, Send(link, "DONE", {}, 0, reply, 30000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    link.peers[0].Send(Text("?!!?"));
    EXPECT_EQ(ERR_TIMEOUT, Send(link, "DONE", {}, 0, reply, 30000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_TRUE(link.Logged("WaitFor4CCs failed: 6"));
    EXPECT_EQ(ERR_TIMEOUT, Send(link, "DONE", {}, 0, reply, 50));  // silence
    EXPECT_EQ(1000u, link.session->ports[0].readTimeoutMs);
    link.session->run.abortFlag = 1;
    EXPECT_EQ(ERR_ABORT, Send(link, "DONE", {}, 0, reply, 30000));
    EXPECT_TRUE(link.Logged("WaitFor4CCs failed: 3"));
}

TEST(FlSync, SucceedsAfterFailedAttemptsAndGivesUpAfterFive) {
    PeerSession link;
    link.peers[0].Send(Markers(2) + Text("syn!"));
    EXPECT_EQ(SUCCESS, FLSync(link.session.get()));
    EXPECT_EQ(link.peers[0].Received(), Text("SYNCSYNCSYNC"));
    EXPECT_EQ(1u, link.host.CountMessages("Sync'ing"));
    EXPECT_EQ(1u, link.host.CountMessages("sync'ed"));
    link.peers[0].Send(Markers(5));
    EXPECT_EQ(ERR_PROTOCOL, FLSync(link.session.get()));
    EXPECT_TRUE(link.Logged("Failed to sync"));
    EXPECT_EQ(link.peers[0].Received().size(), 20u);
}

namespace {

struct ScriptedOperation {
    std::vector<uint32_t> results;  // returned in turn; the last one repeats
    size_t calls = 0;
    static uint32_t Run(Session*, void* context) {
        auto* self = static_cast<ScriptedOperation*>(context);
        const size_t index = std::min(self->calls++, self->results.size() - 1);
        return self->results[index];
    }
};

}  // namespace

TEST(RetryWithResync, RetriesAfterResyncAndGivesUp) {
    PeerSession link;
    Session* session = link.session.get();
    ScriptedOperation flaky{{ERR_TIMEOUT, ERR_CMD_FAILED, SUCCESS}};
    link.peers[0].Send(Text("syn!syn!"));
    EXPECT_EQ(SUCCESS, RetryWithResync(session, "OpenSector", 5, ScriptedOperation::Run, &flaky));
    EXPECT_EQ(3u, flaky.calls);
    EXPECT_TRUE(link.Logged("Retry 1: OpenSector") && link.Logged("Retry 2: OpenSector"));
    EXPECT_EQ(link.peers[0].Received(), Text("SYNCSYNC"));

    session->options.noretry = 1;  // one run, then giving up without a resync
    ScriptedOperation failing{{ERR_CMD_FAILED}};
    EXPECT_EQ(ERR_TOO_MANY_RETRIES, RetryWithResync(session, "CloseSector", AttemptLimit(session),
                                                    ScriptedOperation::Run, &failing));
    EXPECT_EQ(1u, failing.calls);
    EXPECT_TRUE(link.Logged("Giving up on CloseSector"));
    EXPECT_TRUE(link.peers[0].Received().empty());
    ScriptedOperation aborted{{ERR_ABORT}};
    EXPECT_EQ(ERR_ABORT, RetryWithResync(session, "CloseSector", 0, ScriptedOperation::Run, &aborted));

    session->options.noretry = 0;
    session->run.abortFlag = 1;  // seen after a failure, except by SendData's wrapper
    ScriptedOperation once{{ERR_TIMEOUT, SUCCESS}};
    EXPECT_EQ(ERR_ABORT, RetryWithResync(session, "EraseSector", 5, ScriptedOperation::Run, &once));
    EXPECT_EQ(1u, once.calls);
    EXPECT_TRUE(link.peers[0].Received().empty());
    ScriptedOperation data{{ERR_TIMEOUT, SUCCESS}};  // goes on to a resync, which the abort fails
    EXPECT_EQ(ERR_PROTOCOL, RetryWithResync(session, "SendData", 5, ScriptedOperation::Run, &data, false));
    EXPECT_EQ(1u, data.calls);
    EXPECT_EQ(link.peers[0].Received(), Text("SYNC"));
    EXPECT_TRUE(link.Logged("Failed to sync"));
}

namespace {

// A TXDT payload for target `address` in area `area` with parts (offset, length).
Bytes SendDataPayload(uint32_t address, uint16_t area, std::vector<std::pair<uint32_t, uint32_t>> parts) {
    uint32_t total = 0;
    for (auto& part : parts) total += part.second;
    Bytes payload = Word(address) + Word(total) + Word(1) + Word(uint32_t(area) << 16 | uint32_t(parts.size()));
    for (size_t i = 0; i < 2; ++i) {
        payload = payload + (i < parts.size() ? Word(0) + Word(parts[i].first) + Word(parts[i].second) + Word(0)
                                              : Word(0) + Word(0) + Word(0) + Word(0));
    }
    return payload;
}

}  // namespace

TEST(FlSendCmd, SendDataPartsFollowTheFrameOnTheirPorts) {
    PeerSession link(2);
    std::vector<uint8_t> area(0x1000);
    for (size_t i = 0; i < area.size(); ++i) area[i] = uint8_t(i * 7);
    ImageBuffer& image = link.session->userImage;
    image.areaCount = 2;
    image.areas[1] = {0x20000000, 0x20000FFF, area.data()};
    uint8_t reply[20];
    link.peers[0].Send(Reply("TXDT", true));
    const Bytes payload = SendDataPayload(0x20000100, 1, {{0, 0x30}, {0x30, 0x10}});
    EXPECT_EQ(SUCCESS, Send(link, "TXDT", payload, 0, reply));
    EXPECT_EQ(link.peers[0].Received(), Command("TXDT", payload) + Bytes(&area[0x100], &area[0x130]));
    EXPECT_EQ(link.peers[1].Received(), Bytes(&area[0x130], &area[0x140]));

    // Nothing goes out for parts outside the area or an area the image lacks.
    EXPECT_EQ(ERR_BAD_PARAMS, Send(link, "TXDT", SendDataPayload(0x20000F00, 1, {{0, 0x100}, {0x100, 1}}), 0, reply));
    EXPECT_EQ(ERR_BAD_PARAMS, Send(link, "TXDT", SendDataPayload(0x20000000, 2, {{0, 4}}), 0, reply));
    EXPECT_EQ(ERR_BAD_PARAMS, Send(link, "TXDT", SendDataPayload(0x1FFFFFFF, 1, {{1, 4}}), 0, reply));
    EXPECT_TRUE(link.peers[0].Received().empty() && link.peers[1].Received().empty());

    link.session->overlappedIo = 0;  // one part, written plainly on port 0
    link.peers[0].Send(Reply("TXDT", true));
    const Bytes single = SendDataPayload(0x20000FF0, 1, {{0, 0x10}});
    EXPECT_EQ(SUCCESS, Send(link, "TXDT", single, 0, reply));
    EXPECT_EQ(link.peers[0].Received(), Command("TXDT", single) + Bytes(&area[0xFF0], &area[0x1000]));
}

TEST(CheckFileSize, PayloadFromTheContentsTableAndTheVerdict) {
    TempDir dir;
    mkcontents::ContentsBuilder builder;
    builder.AddFfs(1, 2);
    builder.AddFfsFile(0x12, 0x3456, Bytes(10, 7));
    builder.AddCfs();
    builder.AddNamedFile("a.txt", Bytes(5, 1));
    const std::string path = dir.File("files.bin");
    ASSERT_TRUE(mkcontents::WriteBytesToFile(path, builder.Build()));
    PeerSession link;
    Session* session = link.session.get();
    std::snprintf(session->options.contentsfile, sizeof session->options.contentsfile, "%s", path.c_str());
    ASSERT_TRUE(ReadContents(session)) << link.host.Transcript();

    link.peers[0].Send(Reply("CHKS", true, Word(0xFFFFFFFE)));
    EXPECT_EQ(SUCCESS, CheckFileSize(session, 0, 0));
    EXPECT_EQ(link.peers[0].Received(), Command("CHKS", Word(1) + Word(10) + Word(0x12) + Word(0x3456)));
    EXPECT_TRUE(link.Logged("Check FileSize : Owner 0x00000012, FileId 0x00003456 \n"));
    link.peers[0].Send(Reply("CHKS", true, Word(0xFFFFFFFF)));
    EXPECT_EQ(ERR_CHECKFILESIZE_FAIL, CheckFileSize(session, 1, 0));
    EXPECT_EQ(link.peers[0].Received(), Command("CHKS", Word(2) + Word(5) + Word(6) + Text("a.txt") + Bytes{0}));
    EXPECT_TRUE(link.Logged("Check FileSize : filename=a.txt"));
    ReleaseContents();
}
