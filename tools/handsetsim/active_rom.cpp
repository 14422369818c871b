// The active boot ROM. It announces itself with "O" until the PC answers
// with "r" bytes; it answers every run of ten "r" with "K", and once two
// more "r" follow and the line goes quiet it acknowledges the rate with "Z",
// "E" and asks for the program with "R". The program then comes as numbered
// 4096-byte blocks, each echoed, checksummed and confirmed, until the end
// marker block 0xFFFF, after which the loaded flash loader runs.
#include <vector>

#include "flashdll/boot/boot_loader.h"
#include "tools/handsetsim/line.h"
#include "tools/handsetsim/state.h"

namespace handsetsim {

namespace {

constexpr uint8_t kAnnounce = 'O';
constexpr uint8_t kWake = 'r';
constexpr uint8_t kWakeAnswer = 'K';
constexpr uint8_t kRateAck = 'Z';
constexpr uint8_t kRateAck2 = 'E';
constexpr uint8_t kProgramRequest = 'R';
constexpr uint8_t kBlockNumber = 'b';
constexpr uint8_t kBlockEcho = 'B';
constexpr uint8_t kChecksum = 'c';
constexpr uint8_t kAccepted = 'N';
constexpr uint8_t kTransferCheckFailed = 'T';
constexpr uint8_t kEndAnswer = 'P';
constexpr uint32_t kWakeRun = 10;             // "r" bytes answered by one "K"
constexpr uint32_t kRateRequest = 2;          // "r" bytes after "K" that ask for the rate
constexpr uint32_t kBlockBytes = 4096;
constexpr uint32_t kEndMarker = 0xFFFF;
constexpr int kAnnouncePeriodMs = 20;         // far below the PC's 500 ms wait for "O"
constexpr int kSettleMs = 30;                 // quiet after "rr" before it counts as such
constexpr int kWakeGiveUpMs = 300;            // without the "rr", announce again
constexpr int kBlockSilenceMs = 500;          // a block that stalls this long is dropped
constexpr int kIdlePollMs = 100;

struct WakeCount {
    uint32_t count = 0;  // "r" bytes since the last start over
    int quietMs = 0;     // quiet since the last "r"
};

void CountWake(Context& ctx, WakeCount& wake) {
    wake.quietMs = 0;
    if (++wake.count % kWakeRun == 0) {
        ctx.lines.Write(ctx.bootUart, &kWakeAnswer, 1);
    }
}

// A quiet spell of `waitMs`: announce while nobody calls; true when the
// last "r" bytes were the "rr" after a "K"; start over when the PC went away.
bool QuietSpell(Context& ctx, WakeCount& wake, int waitMs) {
    if (wake.count == 0) {
        if (!ctx.lines.OutputPending(ctx.bootUart)) {
            ctx.lines.Write(ctx.bootUart, &kAnnounce, 1);
        }
        return false;
    }
    wake.quietMs += waitMs;
    if (wake.count > kWakeRun && wake.count % kWakeRun == kRateRequest) {
        return true;
    }
    if (wake.quietMs >= kWakeGiveUpMs) {
        wake = WakeCount{};  // the PC lost the "K" or gave up
    }
    return false;
}

// Announces until "r" bytes come, then counts them. True once "rr" came
// after a "K"; false when interrupted.
bool WakeUp(Context& ctx) {
    const bool silent = ctx.scenario.faults.bootSilent;
    WakeCount wake;
    while (!ctx.lines.Interrupted()) {
        uint8_t byte = 0;
        int waitMs = wake.count == 0 ? kAnnouncePeriodMs : kSettleMs;
        if (ctx.lines.ReadByte(ctx.bootUart, &byte, waitMs)) {
            if (byte == kWake && !silent) {
                CountWake(ctx, wake);
            }
        } else if (!silent && QuietSpell(ctx, wake, waitMs)) {
            return true;
        }
    }
    return false;
}

// "Z", "E" (or the fault's byte), "R". False when the fault withholds "Z".
bool AcknowledgeRate(Context& ctx) {
    const Faults& faults = ctx.scenario.faults;
    if (faults.activeNoZ) {
        return false;
    }
    uint8_t second = faults.activeByteAfterZ != 0 ? faults.activeByteAfterZ : kRateAck2;
    uint8_t bytes[] = {kRateAck, second, kProgramRequest};
    ctx.lines.Write(ctx.bootUart, bytes, sizeof bytes);
    return true;
}

struct Transfer {
    uint32_t wrongEchoes = 0;
    uint32_t verdictFaults = 0;
    bool loaded = false;
};

void SendThree(Context& ctx, uint8_t first, uint32_t number) {
    uint8_t bytes[] = {first, static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
    ctx.lines.Write(ctx.bootUart, bytes, sizeof bytes);
}

bool EchoFault(Context& ctx, Transfer& transfer, uint32_t block) {
    const Faults& faults = ctx.scenario.faults;
    if (block != faults.activeWrongEchoBlock || transfer.wrongEchoes >= faults.activeWrongEchoCount) {
        return false;
    }
    ++transfer.wrongEchoes;
    SendThree(ctx, kBlockEcho, (block + 1) & 0xFFFF);
    return true;
}

bool VerdictFault(Context& ctx, Transfer& transfer, uint32_t block, uint16_t sum) {
    const Faults& faults = ctx.scenario.faults;
    if (block != faults.activeVerdictBlock || transfer.verdictFaults >= faults.activeVerdictCount) {
        return false;
    }
    ++transfer.verdictFaults;
    SendThree(ctx, static_cast<uint8_t>(faults.activeVerdict), sum);
    return true;
}

// One block after its number: echo, data, checksum, verdict. A block that
// stalls or lacks its checksum is dropped; the PC sends it again.
void TakeBlock(Context& ctx, Transfer& transfer, uint32_t block) {
    if (EchoFault(ctx, transfer, block)) {
        return;  // the PC sees the wrong echo and starts the block over
    }
    SendThree(ctx, kBlockEcho, block);
    std::vector<uint8_t> data(kBlockBytes);
    uint8_t check[3];
    if (!ctx.lines.ReadExact(ctx.bootUart, data.data(), data.size(), kBlockSilenceMs) ||
        !ctx.lines.ReadExact(ctx.bootUart, check, sizeof check, kBlockSilenceMs) ||
        check[0] != kChecksum) {
        return;
    }
    uint16_t sum = BlockChecksum(data.data(), data.size());
    if (VerdictFault(ctx, transfer, block, sum)) {
        return;
    }
    if ((check[1] << 8 | check[2]) != sum) {
        SendThree(ctx, kTransferCheckFailed, sum);
        return;
    }
    RecordRamWrite(ctx.shared, RamWrite{"boot", block * kBlockBytes, std::move(data)});
    transfer.loaded = true;
    ctx.lines.Write(ctx.bootUart, &kAccepted, 1);
}

// Blocks until the end marker. Returns the stage that runs next.
Stage LoadRam(Context& ctx) {
    Transfer transfer;
    while (!ctx.lines.Interrupted()) {
        uint8_t byte = 0;
        if (!ctx.lines.ReadByte(ctx.bootUart, &byte, kIdlePollMs) || byte != kBlockNumber) {
            continue;
        }
        uint8_t number[2];
        if (!ctx.lines.ReadExact(ctx.bootUart, number, sizeof number, kBlockSilenceMs)) {
            continue;
        }
        uint32_t block = static_cast<uint32_t>(number[0]) << 8 | number[1];
        if (block == kEndMarker) {
            ctx.lines.Write(ctx.bootUart, &kEndAnswer, 1);
            return transfer.loaded ? Stage::FlashLoader : Stage::Halted;
        }
        TakeBlock(ctx, transfer, block);
    }
    return Stage::BootRom;
}

}  // namespace

Stage RunActiveRom(Context& ctx) {
    while (WakeUp(ctx)) {
        if (AcknowledgeRate(ctx)) {
            return LoadRam(ctx);
        }
    }
    return Stage::BootRom;
}

}  // namespace handsetsim
