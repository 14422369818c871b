// The flash loader's main loop. While it waits for a command it answers the
// switch-over byte "*" with "#A" or "#B" (the UART it came on), the bare
// "SYNC" with "syn!", and returns to the boot ROM on the closing byte "o".
// Commands are found by their code on any UART; the frame is read, checked
// and recorded, TXDT's data parts are collected from the UARTs its
// descriptors name, and the reply goes back on the command's UART, with the
// scenario's faults applied on the way.
#include "flashdll/link/crc32.h"
#include "flashdll/link/le.h"
#include "tools/handsetsim/commands.h"
#include "tools/handsetsim/frames.h"
#include "tools/handsetsim/line.h"

namespace handsetsim {

namespace {

constexpr uint8_t kSwitchOver = '*';
constexpr uint8_t kSwitchAnswer = '#';
constexpr uint8_t kUartLetters[] = {'A', 'B'};
constexpr uint8_t kClosing = 'o';
constexpr uint32_t kSync = FourCC("SYNC");
constexpr uint32_t kSyncAnswer = FourCC("syn!");
constexpr uint32_t kTxdt = FourCC("TXDT");
constexpr uint32_t kCommandTail = FourCC("EOT.");
constexpr uint32_t kReplyTag = FourCC("rply");
constexpr uint32_t kOk = FourCC("+ok!");
constexpr uint32_t kErr = FourCC("-err");
constexpr uint32_t kReplyTail = FourCC("eom.");
constexpr uint32_t kBrokenTail = FourCC("eo?.");
constexpr uint32_t kMessage = FourCC("*msg");
constexpr uint32_t kMessageTail = FourCC("msg.");
constexpr uint32_t kDump = FourCC("*dmp");
constexpr uint32_t kDumpTail = FourCC("dmp.");
constexpr uint32_t kMarker = FourCC("?!!?");
constexpr uint32_t kCommandSlack = 4096;   // a command's own words beyond the TX size
constexpr int kFrameSilenceMs = 1000;      // a frame that stalls this long is dropped
constexpr int kPartSilenceMs = 2000;       // a data part that stalls this long is missing
constexpr int kIdlePollMs = 100;
constexpr size_t kDumpBytes = 48;
// Line noise: bytes that never form a code.
constexpr uint8_t kNoise[] = {0x00, 0x55, 0xAA, 0xFF, 0x13, 0xC3};

enum class Fault { None, Silent, Marker, Error, BadCrc };

bool InRun(size_t use, uint32_t nth, uint32_t count) {
    return nth != 0 && use >= nth && use - nth < count;
}

Fault FaultFor(const Faults& f, const std::string& name, size_t use) {
    if (name == f.silentCommand && InRun(use, f.silentNth, f.silentCount)) {
        return Fault::Silent;
    }
    if (name == f.markerCommand && use == f.markerNth) {
        return Fault::Marker;
    }
    if (name == f.errCommand && InRun(use, f.errNth, f.errCount)) {
        return Fault::Error;
    }
    if (name == f.badCrcCommand && use == f.badCrcNth) {
        return Fault::BadCrc;
    }
    return Fault::None;
}

void WriteTag(Context& ctx, uint32_t uart, uint32_t code) {
    std::vector<uint8_t> bytes;
    AppendTag(&bytes, code);
    ctx.lines.Write(uart, bytes);
}

// ------------------------------------------------------------ replies

void AppendChecked(std::vector<uint8_t>* out, const std::vector<uint8_t>& data, uint32_t tail) {
    AppendBytes(out, data);
    AppendWord(out, Crc32(data.data(), data.size()));
    AppendTag(out, tail);
}

void AppendMessages(std::vector<uint8_t>* out, uint32_t count, const std::string& name, size_t use) {
    for (uint32_t i = 1; i <= count; ++i) {
        // Deliberately without a terminating zero: the text ends with the frame.
        std::string text = "working on " + name + " #" + std::to_string(use) + ", note " +
                           std::to_string(i) + " of " + std::to_string(count);
        AppendTag(out, kMessage);
        AppendWord(out, static_cast<uint32_t>(text.size()));
        AppendChecked(out, std::vector<uint8_t>(text.begin(), text.end()), kMessageTail);
    }
}

void AppendDumps(std::vector<uint8_t>* out, uint32_t count, const Request& request) {
    std::vector<uint8_t> data(request.payload.begin(),
                              request.payload.begin() + std::min(request.payload.size(), kDumpBytes));
    if (data.empty()) {
        AppendWord(&data, request.code);
    }
    for (uint32_t i = 0; i < count; ++i) {
        AppendTag(out, kDump);
        AppendWord(out, PayloadWord(request.payload, 0));
        AppendWord(out, PayloadWord(request.payload, 0) + static_cast<uint32_t>(data.size()) - 1);
        AppendWord(out, static_cast<uint32_t>(data.size()));
        AppendChecked(out, data, kDumpTail);
    }
}

std::vector<uint8_t> ErrorRecord(const Reply& reply) {
    std::vector<uint8_t> record;
    for (uint32_t word : reply.error) {
        AppendWord(&record, word);
    }
    return record;
}

void SendReply(Context& ctx, const Request& request, const Reply& reply, size_t use, bool badCrc) {
    const Faults& faults = ctx.scenario.faults;
    std::vector<uint8_t> out;
    AppendMessages(&out, faults.messagesBeforeReply, TagName(request.code), use);
    AppendDumps(&out, faults.dumpsBeforeReply, request);
    for (uint32_t i = 0; i < faults.noiseBeforeReply; ++i) {
        out.push_back(kNoise[i % sizeof kNoise]);
    }
    std::vector<uint8_t> data = reply.ok ? reply.data : ErrorRecord(reply);
    AppendTag(&out, kReplyTag);
    AppendTag(&out, request.code);
    AppendTag(&out, reply.ok ? kOk : kErr);
    AppendWord(&out, static_cast<uint32_t>(data.size()));
    if (!data.empty()) {
        AppendBytes(&out, data);
        uint32_t crc = Crc32(data.data(), data.size());
        AppendWord(&out, badCrc ? ~crc : crc);
    }
    // A reply without data has no checksum to spoil; its tail is spoilt instead.
    AppendTag(&out, badCrc && data.empty() ? kBrokenTail : kReplyTail);
    ctx.lines.Write(request.uart, out);
}

// ------------------------------------------------------------ commands

// Reads the data parts that follow a TXDT frame. False when the payload
// announces no parts the loader can take, or a part did not come in full.
bool ReceiveParts(Context& ctx, Request* request, Reply* failure) {
    std::vector<PartPlan> plan;
    if (!PlanParts(ctx, request->payload, &plan)) {
        *failure = Fail(kErrPayload, request->code, PayloadWord(request->payload, 1),
                        PayloadWord(request->payload, 3));
        return false;
    }
    for (const PartPlan& part : plan) {
        std::vector<uint8_t> bytes(part.length);
        size_t got = 0;
        if (!ctx.lines.ReadExact(part.uart, bytes.data(), bytes.size(), kPartSilenceMs, &got)) {
            *failure = Fail(kErrPartMissing, request->code, part.uart, part.length,
                            static_cast<uint32_t>(got));
            return false;
        }
        request->parts.push_back(std::move(bytes));
    }
    return true;
}

Reply Execute(Context& ctx, LoaderState& state, const CommandEntry& entry, const Request& request) {
    std::lock_guard<std::mutex> lock(ctx.shared.mutex);
    if (entry.needsSetup && !state.setUp) {
        return Fail(kErrState, request.code);
    }
    return entry.handler(ctx, state, request);
}

void AnswerSync(Context& ctx, uint32_t uart) {
    size_t use = RecordCommand(ctx.shared, CommandRecord{uart, "SYNC", {}, true, true, "flash"});
    Fault fault = FaultFor(ctx.scenario.faults, "SYNC", use);
    if (fault == Fault::Silent) {
        return;
    }
    WriteTag(ctx, uart, fault == Fault::Marker ? kMarker : kSyncAnswer);
}

// What the frame and (for TXDT) its parts allow: a reply that still says
// "go ahead" (ok), or the error they deserve. Only the verdicts of `body`
// are used; its payload has moved into the request.
Reply CheckReceived(Context& ctx, FrameRead read, const FrameBody& body, Request* request) {
    bool sound = read == FrameRead::Complete && body.crcOk && body.tailOk;
    if (!sound) {
        return Fail(kErrFrame, request->code, static_cast<uint32_t>(request->payload.size()));
    }
    Reply reply;
    if (request->code == kTxdt) {
        ReceiveParts(ctx, request, &reply);
    }
    return reply;
}

// Faults first, then the command itself, then the reply.
void Answer(Context& ctx, LoaderState& state, const CommandEntry& entry, const Request& request,
            Reply reply, size_t use) {
    Fault fault = FaultFor(ctx.scenario.faults, TagName(entry.code), use);
    if (fault == Fault::Silent || ctx.lines.Interrupted()) {
        return;  // no answer, or the handset is being stopped or reset
    }
    if (fault == Fault::Marker) {
        WriteTag(ctx, request.uart, kMarker);
        return;
    }
    if (fault == Fault::Error) {
        reply = Fail(kErrInjected, entry.code, static_cast<uint32_t>(use));
    } else if (reply.ok) {
        reply = Execute(ctx, state, entry, request);
    }
    SendReply(ctx, request, reply, use, fault == Fault::BadCrc);
    if (reply.ok && reply.baudUart != kNoUart) {
        ctx.lines.SetBaud(reply.baudUart, reply.baudRate);  // the reply still goes at the old speed
    }
}

// False when the frame could not be taken whole (what follows may be the
// rest of it).
bool HandleCommand(Context& ctx, LoaderState& state, uint32_t uart, const CommandEntry& entry) {
    FrameBody body;
    FrameRead read = ReadFrameBody(ctx.lines, uart, ctx.scenario.maxTx + kCommandSlack,
                                   kCommandTail, kFrameSilenceMs, &body);
    if (read == FrameRead::Abandoned) {
        if (ContainsTag(body.consumed, kSync)) {
            AnswerSync(ctx, uart);  // the PC gave up on the frame and asks to resynchronise
            return true;
        }
        return false;
    }
    size_t use = RecordCommand(ctx.shared, CommandRecord{uart, TagName(entry.code), body.payload,
                                                         body.crcOk, body.tailOk, "flash"});
    Request request;
    request.uart = uart;
    request.code = entry.code;
    request.payload = std::move(body.payload);
    Reply reply = CheckReceived(ctx, read, body, &request);
    const bool taken = reply.ok;
    Answer(ctx, state, entry, request, std::move(reply), use);
    return taken;
}

// ------------------------------------------------------------ idle

bool AnswersSwitchOver(const Context& ctx, const LoaderState& state, uint32_t uart) {
    if (uart >= 2 || !ctx.scenario.uartAnswers[uart]) {
        return false;
    }
    return !(ctx.scenario.faults.secondUartSilent && state.switchUart != kNoUart &&
             uart != state.switchUart);
}

void AnswerSwitchOver(Context& ctx, LoaderState& state, uint32_t uart) {
    if (!AnswersSwitchOver(ctx, state, uart)) {
        return;
    }
    if (state.switchUart == kNoUart) {
        state.switchUart = uart;
        state.commandUart = uart;
        std::lock_guard<std::mutex> lock(ctx.shared.mutex);
        ctx.shared.flashLoaderRunning = true;
    }
    uint8_t answer[] = {kSwitchAnswer, kUartLetters[uart]};
    ctx.lines.Write(uart, answer, sizeof answer);
}

}  // namespace

Stage RunFlashLoader(Context& ctx) {
    ctx.lines.DropInput();  // the loader sets its UARTs up afresh
    LoaderState state;
    std::vector<TagWindow> windows(ctx.lines.Count());
    while (!ctx.lines.Interrupted()) {
        uint32_t uart = 0;
        uint8_t byte = 0;
        if (!ctx.lines.ReadAny(state.commandUart, &uart, &byte, kIdlePollMs)) {
            continue;
        }
        // The closing byte follows a finished exchange; among the remains of
        // a frame the loader could not take it is data.
        const bool first = state.betweenExchanges;
        state.betweenExchanges = false;
        if (byte == kClosing && first) {
            return Stage::BootRom;
        }
        if (byte == kSwitchOver) {
            AnswerSwitchOver(ctx, state, uart);
            state.betweenExchanges = first;  // neither ends nor starts an exchange
            continue;
        }
        windows[uart].Push(byte);
        uint32_t code = windows[uart].Value();
        const CommandEntry* entry = FindCommand(code);
        if (code == kSync || entry != nullptr) {
            windows[uart].Clear();
            state.commandUart = uart;
            bool finished = true;
            if (entry != nullptr) {
                finished = HandleCommand(ctx, state, uart, *entry);
            } else {
                AnswerSync(ctx, uart);
            }
            state.betweenExchanges = finished;
        }
    }
    return Stage::FlashLoader;
}

}  // namespace handsetsim
