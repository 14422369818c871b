// The passive boot ROM and the setup loader. Both sleep until the PC pings
// them: every "?" is answered with "!", a "#" opens the command dialogue,
// and from then on they take framed commands ("info", "data", "done") and
// answer "sync" with "-()-" whenever it comes. After "done" they start the
// program that was loaded into RAM: the boot ROM the setup loader or the
// flash loader (as the scenario says), the setup loader the flash loader.
#include <vector>

#include "flashdll/link/crc32.h"
#include "flashdll/link/le.h"
#include "tools/handsetsim/frames.h"
#include "tools/handsetsim/line.h"
#include "tools/handsetsim/state.h"

namespace handsetsim {

namespace {

constexpr uint8_t kPing = '?';
constexpr uint8_t kPingAnswer = '!';
constexpr uint8_t kInitialSync = '#';
constexpr uint32_t kInfo = FourCC("info");
constexpr uint32_t kData = FourCC("data");
constexpr uint32_t kDone = FourCC("done");
constexpr uint32_t kSync = FourCC("sync");
constexpr uint32_t kSyncAnswer = FourCC("-()-");
constexpr uint32_t kResp = FourCC("resp");
constexpr uint32_t kAccepted = FourCC("+ok+");
constexpr uint32_t kRefused = FourCC("nack");
constexpr uint32_t kCommandTail = FourCC("(pc)");
constexpr uint32_t kReplyTail = FourCC("(hw)");
constexpr uint32_t kDataHeaderBytes = 8;          // address and length words
constexpr uint32_t kMaxPayloadBytes = 0x10000;    // anything longer is not a frame of ours
constexpr int kFrameSilenceMs = 1000;             // a frame that stalls this long is dropped
constexpr int kIdlePollMs = 100;
constexpr uint32_t kIdRegisterWords = 4;          // bytes after word 4 when the ID register is present

// What distinguishes the boot ROM from the setup loader in the dialogue.
struct Role {
    const char* stage;            // "boot" or "setup", for records
    std::vector<uint8_t> info;    // the reply to "info"
    uint32_t maxTransfer;         // bytes of one "data" it accepts
    Stage next;                   // what runs after "done"
};

struct DialogueState {
    bool synchronised = false;    // "#" came: commands are taken
    bool loaded = false;          // a "data" was stored
    TagWindow window;
};

std::vector<uint8_t> RomInfo(const Scenario& s) {
    std::vector<uint8_t> info;
    uint32_t word0 = (s.blMinor & 0xFF) | (s.blMajor & 0xFF) << 8 | (s.blType & 0xFF) << 16 |
                     (s.blFlag ? 1u << 31 : 0);
    AppendWord(&info, word0);
    AppendWord(&info, s.romMaskId);
    AppendWord(&info, s.blUart & 0xFFFF);
    AppendWord(&info, s.blMaxTransfer);
    if (s.hasIdRegister) {
        AppendWord(&info, kIdRegisterWords);
        AppendWord(&info, s.idRegister);
    }
    return info;
}

std::vector<uint8_t> SetupInfo(const Scenario& s) {
    std::vector<uint8_t> info;
    AppendWord(&info, (s.slMinor & 0xFF) | (s.slMajor & 0xFF) << 8 | (s.slType & 0xFFFF) << 16);
    AppendWord(&info, 0);  // the setup loader has no ROM mask
    AppendWord(&info, s.blUart & 0xFFFF);
    AppendWord(&info, s.slMaxTransfer);
    return info;
}

Role MakeRole(const Scenario& s, Stage stage) {
    if (stage == Stage::SetupLoader) {
        return Role{"setup", SetupInfo(s), s.slMaxTransfer, Stage::FlashLoader};
    }
    Stage next = s.bootRom == BootRom::PassiveWithSetupLoader ? Stage::SetupLoader
                                                              : Stage::FlashLoader;
    return Role{"boot", RomInfo(s), s.blMaxTransfer, next};
}

void SendReply(Context& ctx, uint32_t code, bool accepted, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> reply;
    AppendTag(&reply, kResp);
    AppendTag(&reply, code);
    AppendTag(&reply, accepted ? kAccepted : kRefused);
    if (accepted) {
        AppendWord(&reply, static_cast<uint32_t>(data.size()));
        if (!data.empty()) {
            AppendBytes(&reply, data);
            AppendWord(&reply, Crc32(data.data(), data.size()));
        }
    }
    AppendTag(&reply, kReplyTail);
    ctx.lines.Write(ctx.bootUart, reply);
}

void AnswerSync(Context& ctx, const Role& role) {
    RecordCommand(ctx.shared, CommandRecord{ctx.bootUart, "sync", {}, true, true, role.stage});
    std::vector<uint8_t> answer;
    AppendTag(&answer, kSyncAnswer);
    ctx.lines.Write(ctx.bootUart, answer);
}

bool NackThisData(const Faults& faults, size_t use) {
    return faults.passiveNackDataNth != 0 && use >= faults.passiveNackDataNth &&
           use < static_cast<size_t>(faults.passiveNackDataNth) + faults.passiveNackDataCount;
}

// "data": address, length, bytes. Stored in RAM unless malformed, larger
// than the loader takes, or refused by a fault.
bool TakeData(Context& ctx, const Role& role, const std::vector<uint8_t>& payload, size_t use) {
    if (payload.size() < kDataHeaderBytes || NackThisData(ctx.scenario.faults, use)) {
        return false;
    }
    uint32_t address = GetLe32(payload.data());
    uint32_t length = GetLe32(payload.data() + 4);
    if (length != payload.size() - kDataHeaderBytes || length == 0 || length > role.maxTransfer) {
        return false;
    }
    std::vector<uint8_t> bytes(payload.begin() + kDataHeaderBytes, payload.end());
    RecordRamWrite(ctx.shared, RamWrite{role.stage, address, std::move(bytes)});
    return true;
}

enum class Outcome { Continue, Started };

Outcome HandleFrame(Context& ctx, const Role& role, DialogueState& state, uint32_t code) {
    FrameBody body;
    FrameRead read = ReadFrameBody(ctx.lines, ctx.bootUart, kMaxPayloadBytes, kCommandTail,
                                   kFrameSilenceMs, &body);
    if (read == FrameRead::Abandoned) {
        if (ContainsTag(body.consumed, kSync)) {
            AnswerSync(ctx, role);  // the PC gave up on the frame and asks to resynchronise
        }
        return Outcome::Continue;
    }
    CommandRecord record{ctx.bootUart, TagName(code), body.payload, body.crcOk, body.tailOk,
                         role.stage};
    size_t use = RecordCommand(ctx.shared, std::move(record));
    bool sound = read == FrameRead::Complete && body.crcOk && body.tailOk;
    if (code == kInfo) {
        bool ok = sound && body.payload.empty();
        SendReply(ctx, code, ok, role.info);
    } else if (code == kData) {
        bool ok = sound && TakeData(ctx, role, body.payload, use);
        state.loaded = state.loaded || ok;
        SendReply(ctx, code, ok, {});
    } else {
        bool ok = sound && body.payload.empty();
        SendReply(ctx, code, ok, {});
        return ok ? Outcome::Started : Outcome::Continue;
    }
    return Outcome::Continue;
}

Outcome HandleByte(Context& ctx, const Role& role, DialogueState& state, uint8_t byte) {
    if (byte == kPing) {
        ctx.lines.Write(ctx.bootUart, &kPingAnswer, 1);
    } else if (byte == kInitialSync) {
        state.synchronised = true;
    }
    state.window.Push(byte);
    uint32_t code = state.window.Value();
    if (code == kSync) {
        // "sync" brings the dialogue back in step, also when the "#" that
        // opened it was lost on the line.
        state.window.Clear();
        state.synchronised = true;
        AnswerSync(ctx, role);
    } else if (state.synchronised && (code == kInfo || code == kData || code == kDone)) {
        state.window.Clear();
        return HandleFrame(ctx, role, state, code);
    }
    return Outcome::Continue;
}

}  // namespace

Stage RunPassiveLoader(Context& ctx, Stage stage) {
    const Role role = MakeRole(ctx.scenario, stage);
    DialogueState state;
    while (!ctx.lines.Interrupted()) {
        uint8_t byte = 0;
        if (!ctx.lines.ReadByte(ctx.bootUart, &byte, kIdlePollMs)) {
            continue;
        }
        if (ctx.scenario.faults.bootSilent && stage == Stage::BootRom) {
            continue;
        }
        if (HandleByte(ctx, role, state, byte) == Outcome::Started) {
            // Without any code in RAM the jump after "done" goes nowhere.
            return state.loaded ? role.next : Stage::Halted;
        }
    }
    return stage;
}

}  // namespace handsetsim
