// The flash loader exchange over pseudo-terminals: the library's real serial
// layer on one end, the handset's bytes scripted by the test on the other.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "flashdll/report/errors.h"
#include "flashdll/link/serial.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/link/fourcc.h"
#include "support/job_fixture.h"
#include "support/link_session.h"

using namespace testing_support;

namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

uint32_t Send(LinkSession& link, const char (&command)[5], const Bytes& payload = {}, uint32_t expected = 0,
              uint8_t* reply = nullptr, uint32_t timeoutMs = 2000) {
    uint8_t scratch[20];
    return FLSendCmd(link.session.get(), FourCC(command), uint32_t(payload.size()),
                     payload.empty() ? nullptr : payload.data(), expected, reply ? reply : scratch, timeoutMs);
}

// Runs the operation's scripted results in turn; the last one repeats.
struct ScriptedOperation {
    std::vector<uint32_t> results;
    size_t calls = 0;
    static uint32_t Run(Session*, void* context) {
        auto* self = static_cast<ScriptedOperation*>(context);
        return self->results[std::min(self->calls++, self->results.size() - 1)];
    }
};

// A TXDT payload for target `address` in area `area` with parts (offset,
// length); the words the exchange itself does not read are 0.
Bytes SendDataPayload(uint32_t address, uint16_t area, std::vector<std::pair<uint32_t, uint32_t>> parts) {
    Bytes payload = Word(address) + Word(0) + Word(0) + Word(uint32_t(area) << 16 | uint32_t(parts.size()));
    parts.resize(2);
    for (const auto& part : parts) payload = payload + Word(0) + Word(part.first) + Word(part.second) + Word(0);
    return payload;
}

}  // namespace

TEST(WaitFor4CCs, FindsCodesBehindNoiseAndLogsTimeouts) {
    LinkSession link(1, 250);
    link.peers[0].Send(std::string("xx\0rpl*msgrest", 14));
    const uint32_t codes[] = {FourCC("rply"), FourCC("*msg")};
    uint32_t found = 0;
    EXPECT_EQ(WaitFor4CCs(link.session.get(), 2, codes, 2000, &found), SUCCESS);
    EXPECT_EQ(found, FourCC("*msg"));
    EXPECT_EQ(link.session->ports[0].readTimeoutMs, 250u);  // restored after the wait
    char rest[4] = {};
    uint32_t got = 0;
    ASSERT_NE(ComRead(link.session.get(), 0, rest, 4, &got), 0);  // the bytes after the code stay
    EXPECT_EQ(std::string(rest, got), "rest");
    EXPECT_TRUE(link.host.Messages().empty()) << link.host.Transcript();

    // Every wait starts with an empty window: "ly" completes "rply" only if
    // the first wait's bytes were carried over.
    link.peers[0].Send("rp");
    EXPECT_EQ(WaitFor4CCs(link.session.get(), 2, codes, 50, &found), ERR_TIMEOUT);
    EXPECT_EQ(link.host.Messages(), (Lines{"WaitFor4CCs failed: ERR_TIMEOUT (6)", "0x796c7072 = rply",
                                           "0x67736d2a = *msg"}));
    link.peers[0].Send("ly");
    EXPECT_EQ(WaitFor4CC(link.session.get(), FourCC("rply"), 50), ERR_TIMEOUT);
    EXPECT_EQ(link.session->ports[0].readTimeoutMs, 250u);
}

TEST(FlSendCmd, FramesOnTheWireAndReplyData) {
    LinkSession link;
    uint8_t reply[20] = {};
    link.peers[0].Send(Reply("DONE", true));
    EXPECT_EQ(SUCCESS, Send(link, "DONE"));
    EXPECT_EQ(link.peers[0].Receive(), Text("DONE") + Word(0) + Text("EOT."));  // 12 bytes: no payload, no CRC

    // Noise before "rply", the echo and the status is skipped.
    const Bytes data = Word(0xCAFEF00D);
    link.peers[0].Send(Text("xxrplyzzVRFY?!!+ok!") + Word(4) + data + Crc(data) + Text("eom."));
    const Bytes payload = Word(0x20000000) + Word(0x100);
    EXPECT_EQ(SUCCESS, Send(link, "VRFY", payload, 4, reply));
    EXPECT_EQ(link.peers[0].Receive(), Text("VRFY") + Word(8) + payload + Crc(payload) + Text("EOT."));  // 16 + N
    EXPECT_EQ(Bytes(reply, reply + 4), data);
}

TEST(FlSendCmd, BrokenRepliesAndFramesFailWithTheirCodes) {
    Bytes badMessage = Message("oops");
    badMessage[12] ^= 1;  // text no longer matches its CRC
    const struct {
        Bytes reply;
        uint32_t code;
        const char* log;    // expected log line, or empty
        uint8_t areaByte;   // first byte of the reply area afterwards (0x5A: untouched)
    } cases[] = {
        {Reply("VRFY", true, Word(1) + Word(2)), ERR_PROTOCOL, "Msg size mismatch: 4 != 8", 0x5A},
        {Reply("VRFY", true, Word(7), 0x1), ERR_CRC, "", 7},
        {Reply("VRFY", true, Word(7), 0, "eoq."), ERR_PROTOCOL, "", 7},
        {Reply("VRFY", false, Word(3)), ERR_PROTOCOL, "Msg size mismatch: 20 != 4", 0x5A},  // "-err" carries 20
        {Reply("VRFY", false, Word(9) + Word(1) + Word(255) + Word(0) + Word(16)), ERR_CMD_FAILED,
         "Cmd VRFY FAILED: Err:9, 1=0x1, 255=0xff, 0=0x0, 16=0x10", 9},
        // Frames longer than their areas are refused before any of their data is read.
        {Message(std::string(2049, 'm')), ERR_PROTOCOL, "FLHandleMsg: ERR_PROTOCOL (5)", 0x5A},
        {Dump(0, 0, Bytes(4097, 1)), ERR_PROTOCOL, "FLHandleDump: ERR_PROTOCOL (5)", 0x5A},
        {badMessage, ERR_CRC, "FLHandleMsg: ERR_CRC (13)", 0x5A},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        LinkSession link;
        uint8_t reply[24];
        std::memset(reply, 0x5A, sizeof reply);
        link.peers[0].Send(c.reply);
        EXPECT_EQ(c.code, Send(link, "VRFY", Word(0), 4, reply, 200));
        if (*c.log != '\0') {
            EXPECT_TRUE(link.Logged(c.log)) << link.host.Transcript();
        }
        EXPECT_EQ(reply[0], c.areaByte);
    }
}

TEST(FlSendCmd, MessageAndDumpFramesAheadOfTheReplyAreLogged) {
    LinkSession link;
    const Bytes data = Text("AB") + Bytes{0} + Text("0123456789abcdefXY");
    link.peers[0].Send(Message(std::string(2048, 'x')) + Message("hi") + Message(std::string("zero\0tail", 9)) +
                       Dump(0x100, 0x114, data) + Dump(0, 0, Bytes(4096, 1)) + Reply("DONE", true));
    EXPECT_EQ(SUCCESS, Send(link, "DONE"));  // the areas' own sizes pass
    EXPECT_TRUE(link.Logged("MSG: " + std::string(254, 'x')));  // cut to the log line's length
    EXPECT_TRUE(link.Logged("MSG: hi"));  // no zero byte: ended after its last byte
    EXPECT_TRUE(link.Logged("MSG: zero"));
    EXPECT_TRUE(link.Logged("DUMP: 0x00000100-0x00000114"));
    EXPECT_TRUE(link.Logged("41 42 00 30 31 32 33 34 35 36 37 38 39 61 62 63  \"AB 0123456789abc\""));
    EXPECT_TRUE(link.Logged("64 65 66 58 59  \"defXY\""));
}

TEST(FlSendCmd, MarkerSilenceAndAbortEndTheWait) {
    LinkSession link;
    const auto start = Clock::now();
    link.peers[0].Send(Text("rplyDONE?!!?"));  // the marker during the status wait
    EXPECT_EQ(ERR_TIMEOUT, Send(link, "DONE", {}, 0, nullptr, 30000));
    link.peers[0].Send(Text("ab?!!?rply"));  // ... and during the first wait, whatever follows
    EXPECT_EQ(ERR_TIMEOUT, Send(link, "DONE", {}, 0, nullptr, 30000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));  // the marker, not the clock
    EXPECT_TRUE(link.Logged("WaitFor4CCs failed: 6"));
    EXPECT_EQ(ERR_TIMEOUT, Send(link, "DONE", {}, 0, nullptr, 50));  // the "rply" left over, then silence
    link.host.Clear();
    link.AbortAfter(50);
    EXPECT_EQ(ERR_ABORT, Send(link, "DONE", {}, 0, nullptr, 30000));
    EXPECT_EQ(link.host.Messages(), Lines{"WaitFor4CCs failed: 3"});  // the scanner logs no failure
    EXPECT_EQ(1000u, link.session->ports[0].readTimeoutMs);  // restored after every exchange
}

TEST(FlSync, SucceedsAfterFailedAttemptsAndGivesUpAfterFive) {
    LinkSession link;
    link.peers[0].Send(Text("?!!?" "?!!?" "syn!"));
    EXPECT_EQ(SUCCESS, FLSync(link.session.get()));
    EXPECT_EQ(link.peers[0].Receive(), Text("SYNCSYNCSYNC"));
    EXPECT_EQ(1u, link.host.CountMessages("Sync'ing"));
    EXPECT_EQ(1u, link.host.CountMessages("sync'ed"));
    link.peers[0].Send(Text("?!!?" "?!!?" "?!!?" "?!!?" "?!!?"));
    EXPECT_EQ(ERR_PROTOCOL, FLSync(link.session.get()));
    EXPECT_TRUE(link.Logged("Failed to sync"));
    EXPECT_EQ(link.peers[0].Receive().size(), 20u);
}

TEST(RetryWithResync, RetriesAfterResyncsAndGivesUp) {
    const struct {
        const char* name;
        uint32_t noretry, abort;       // options.noretry, the abort flag before the run
        std::vector<uint32_t> results;  // of the operation's runs
        uint32_t code, calls;
        const char* sent;               // resync requests
        const char* log;
    } cases[] = {
        {"OpenSector", 0, 0, {ERR_TIMEOUT, ERR_CMD_FAILED, SUCCESS}, SUCCESS, 3, "SYNCSYNC", "Retry 2: OpenSector"},
        {"OpenSector", 0, 0, {ERR_CMD_FAILED}, ERR_TOO_MANY_RETRIES, 5, "SYNCSYNCSYNCSYNC", "Retry 4: OpenSector"},
        {"CloseSector", 1, 0, {ERR_CMD_FAILED}, ERR_TOO_MANY_RETRIES, 1, "", "Giving up on CloseSector"},
        {"CloseSector", 1, 0, {ERR_ABORT}, ERR_ABORT, 1, "", ""},
        {"EraseSector", 0, 1, {ERR_TIMEOUT, SUCCESS}, ERR_ABORT, 1, "", ""},  // abort seen after a failure ...
        {"SendData", 0, 1, {ERR_TIMEOUT, SUCCESS}, ERR_ABORT, 1, "SYNC", ""},  // ... or by the resync
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        LinkSession link;
        link.peers[0].Send(Text("syn!syn!syn!syn!"));
        link.session->options.noretry = c.noretry;
        link.session->run.abortFlag = c.abort;
        ScriptedOperation operation{c.results};
        EXPECT_EQ(c.code, RetryWithResync(link.session.get(), c.name, AttemptLimit(link.session.get()),
                                          ScriptedOperation::Run, &operation, std::string(c.name) != "SendData"));
        EXPECT_EQ(c.calls, operation.calls);
        EXPECT_EQ(link.peers[0].Receive(), Text(c.sent));
        EXPECT_TRUE(link.Logged(c.log) || *c.log == '\0') << link.host.Transcript();
        EXPECT_EQ(link.Logged(std::string("Giving up on ") + c.name), c.code == ERR_TOO_MANY_RETRIES);
        EXPECT_EQ(link.Logged("Failed to sync"), c.code == ERR_PROTOCOL);
    }
}

TEST(FlSendCmd, SendDataPartsFollowTheFrameOnTheirPortsOrAreRefused) {
    LinkSession link(2);
    const Bytes area = RandomBytes(0x1000, 4);
    ImageBuffer& image = link.session->userImage;
    image.areaCount = 2;
    image.areas[1] = {0x20000000, 0x20000FFF, const_cast<uint8_t*>(area.data())};
    link.peers[0].Send(Reply("TXDT", true));
    const Bytes payload = SendDataPayload(0x20000100, 1, {{0, 0x30}, {0x30, 0x10}});
    EXPECT_EQ(SUCCESS, Send(link, "TXDT", payload));
    EXPECT_EQ(link.peers[0].Receive(), Frame("TXDT", payload) + Bytes(&area[0x100], &area[0x130]));
    EXPECT_EQ(link.peers[1].Receive(), Bytes(&area[0x130], &area[0x140]));

    // Nothing goes out for parts outside the area or an area the image lacks.
    for (const Bytes& outside : {SendDataPayload(0x20000F00, 1, {{0, 0x100}, {0x100, 1}}),
                                 SendDataPayload(0x20000000, 2, {{0, 4}}), SendDataPayload(0x1FFFFFFF, 1, {{1, 4}})}) {
        EXPECT_EQ(ERR_BAD_PARAMS, Send(link, "TXDT", outside));
    }
    EXPECT_TRUE(link.peers[0].Receive().empty() && link.peers[1].Receive().empty());

    link.session->overlappedIo = 0;  // one part, written plainly on port 0
    link.peers[0].Send(Reply("TXDT", true));
    const Bytes single = SendDataPayload(0x20000FF0, 1, {{0, 0x10}});
    EXPECT_EQ(SUCCESS, Send(link, "TXDT", single));
    EXPECT_EQ(link.peers[0].Receive(), Frame("TXDT", single) + Bytes(&area[0xFF0], &area[0x1000]));
}
