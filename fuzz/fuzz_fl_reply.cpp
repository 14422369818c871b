// The flash loader's reply stream: the input is every byte the flash loader
// sends (reply, message and dump frames, markers, noise, silences), read by
// the library's own exchange code from the fuzz build's in-memory line.
//
// Scenario byte: bit 0 set runs the whole flash loader handshake (switch-over,
// sync, INFO with its chip ids through a small catalogue, connection test,
// baud rates); clear, it sends a series of commands as the flash operations
// do, every third one under the retry-with-resync rule. Bit 1: two ports.
// Bit 2: the option noretry. Bits 4..6: the speed limit of port 0.
#include <cstring>
#include <memory>

#include "flashdll/hw/fs_chip_table.h"
#include "flashdll/link/serial.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/link/fourcc.h"
#include "flashdll/loader/handshake.h"
#include "flashdll/link/le.h"
#include "flashdll/session/options.h"
#include "flashdll/session/session.h"
#include "support/fuzz_dialogue.h"
#include "support/fuzz_host.h"

namespace {

using fuzz_support::FuzzHost;

constexpr uint8_t kScenarioHandshake = 0x01;
constexpr uint8_t kScenarioTwoPorts = 0x02;
constexpr uint8_t kScenarioNoRetry = 0x04;
constexpr uint32_t kSpeedShift = 4;
constexpr uint32_t kSpeedMask = 0x07;
constexpr uint32_t kMaxCommands = 24;
constexpr uint32_t kCanaryBytes = 16;
constexpr uint8_t kCanary = 0xA5;
constexpr uint32_t kRetryLimit = 2;

// Chips the seeds report; the catalogue knows each under one of its families.
constexpr char kCatalogue[] =
    "[Description]\n0x0001_0x0000227e = NOR chip\n0x0089_0x00008817 = Intel chip\n0x00ec_0x000000dc = NAND chip\n"
    "[ChipInfo]\n0x0001_0x0000227e = spansion,BOOT,standard\n0x0089_0x00008817 = intel,UNI,pagebuffer:32\n"
    "0x00ec_0x000000dc = nand,BIG,standard\n"
    "[Layouts]\nBOOT = 8*8,64*63\nUNI = 128*32\nBIG = 128*4095\n";

struct Command {
    uint32_t code;
    uint32_t payloadLength;
    uint32_t replyLength;
    uint32_t timeoutMs;
};

constexpr Command kCommands[] = {
    {FourCC("INFO"), 56, 148, 3000}, {FourCC("CHKC"), 4, 0, 1000},   {FourCC("SETP"), 16, 4, 5000},
    {FourCC("OPEN"), 12, 0, 5000},   {FourCC("TXDT"), 48, 0, 15000}, {FourCC("CLOS"), 8, 0, 30000},
    {FourCC("VRFY"), 12, 4, 3000},   {FourCC("SUCK"), 8, 300, 10000}, {FourCC("CHKS"), 16, 4, 15000},
    {FourCC("FSUM"), 0, 0, 150000},
};
constexpr uint32_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

// The user image that a TXDT names: one small area.
constexpr uint32_t kImageFirst = 0x20000000;
constexpr uint32_t kImageBytes = 4096;
uint8_t g_imageData[kImageBytes];

void SetUpUserImage(Session* session) {
    ImageBuffer& image = session->userImage;
    image.areaCount = 1;
    image.areas[0] = MemoryArea{kImageFirst, kImageFirst + kImageBytes - 1, g_imageData};
}

void BuildPayload(const Command& command, uint8_t* payload) {
    std::memset(payload, 0x5A, command.payloadLength);
    if (command.code != FourCC("TXDT")) return;
    PutLe32(payload, kImageFirst);   // target address
    PutLe16(payload + 12, 1);        // one part
    PutLe16(payload + 14, 0);        // in memory area 0
    PutLe32(payload + 16 + 4, 0);    // at the target address
    PutLe32(payload + 16 + 8, 256);  // of 256 bytes
}

struct Exchange {
    const Command* command;
    const uint8_t* payload;
    uint8_t* reply;
};

uint32_t RunExchange(Session* session, void* context) {
    const Exchange* exchange = static_cast<const Exchange*>(context);
    const Command& c = *exchange->command;
    return FLSendCmd(session, c.code, c.payloadLength, exchange->payload, c.replyLength, exchange->reply,
                     c.timeoutMs);
}

// One command; the reply area must take no byte beyond its size and the
// port must get its read time-out back.
void SendOneCommand(Session* session, uint32_t index) {
    const Command& command = kCommands[index % kCommandCount];
    uint8_t payload[64];
    BuildPayload(command, payload);
    const uint32_t area = command.replyLength > kErrorRecordSize ? command.replyLength : kErrorRecordSize;
    std::unique_ptr<uint8_t[]> reply(new uint8_t[area + kCanaryBytes]);
    std::memset(reply.get(), kCanary, area + kCanaryBytes);
    const uint32_t timeoutBefore = session->ports[session->currentPort].readTimeoutMs;
    Exchange exchange = {&command, payload, reply.get()};
    const uint32_t code = index % 3 == 2
                              ? RetryWithResync(session, "Exchange", kRetryLimit, RunExchange, &exchange)
                              : RunExchange(session, &exchange);
    FUZZ_CHECK(fuzz_support::IsErrorCode(code));
    FUZZ_CHECK(session->ports[session->currentPort].readTimeoutMs == timeoutBefore);
    for (uint32_t i = area; i < area + kCanaryBytes; ++i) FUZZ_CHECK(reply[i] == kCanary);
}

void RunCommands(Session* session, uint8_t scenario) {
    for (uint32_t i = 0; i < kMaxCommands && session->run.abortFlag.load() == 0; ++i) {
        SendOneCommand(session, i + scenario);
    }
}

// Two 4 MiB NOR definitions; every PC speed is accepted.
void SetUpHandshake(Session* session, uint8_t scenario) {
    session->currentMode = FLASH_MODE_FLASH;
    PlatformRecord& platform = session->platform;
    platform.chipDescriptions = 1;
    platform.flashDefinitionCount = 2;
    platform.flashDefinitions[0] = FlashDefinition{0x20000000, 0x400000, 0, 0};
    platform.flashDefinitions[1] = FlashDefinition{0x24000000, 0x400000, 1, 0x80200000};
    session->options.maxspeed[0] = ((scenario >> kSpeedShift) & kSpeedMask) % FLASH_SPEED_COUNT;
    session->options.maxspeed[1] = FLASH_SPEED_COUNT - 1;
    for (PortRecord& port : session->ports) {
        port.supportedSpeedCount = FLASH_SPEED_COUNT;
        std::memcpy(port.supportedSpeeds, kSpeedList, sizeof port.supportedSpeeds);
        port.linkSpeed = 115200;
    }
}

void CheckHandshakeResult(const Session& session, uint32_t code) {
    FUZZ_CHECK(fuzz_support::IsErrorCode(code));
    FUZZ_CHECK(GetLe16(session.fsChipTable.bytes) <= kFsChipTableMaxChips);
    if (code != SUCCESS) return;
    FUZZ_CHECK(session.flashLoader.chipCount <= kMaxChips);
    FUZZ_CHECK(session.portCount >= 1 && session.portCount <= kMaxPorts);
    uint32_t shares = 0;
    for (uint32_t port = 0; port < session.portCount; ++port) shares += session.ports[port].transferShare;
    FUZZ_CHECK(shares <= 100 && shares >= 100 - session.portCount);
    for (uint32_t i = 0; i < session.flashLoader.chipCount; ++i) {
        const FlashChipRecord& chip = session.flashLoader.chips[i];
        FUZZ_CHECK(chip.sectorCount >= 1 && chip.sectorCount < kMaxBoundaries);
        FUZZ_CHECK(chip.endAddress >= chip.startAddress);
        FUZZ_CHECK(chip.endAddress - chip.startAddress + 1 == chip.boundaries[chip.sectorCount]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FuzzHost host;
    static const bool catalogue = [] {
        fuzz_support::WriteScratchFile("flash.types", reinterpret_cast<const uint8_t*>(kCatalogue),
                                       sizeof kCatalogue - 1);
        return true;
    }();
    (void)catalogue;
    Session* session = host.session();
    const fuzz_support::LineInput input = fuzz_support::StartLine(session, data, size);
    fuzz_support::OpenLineSession(session, (input.scenario & kScenarioTwoPorts) != 0 ? 2 : 1);
    session->options.noretry = (input.scenario & kScenarioNoRetry) != 0 ? 1 : 0;
    SetUpUserImage(session);
    if ((input.scenario & kScenarioHandshake) != 0) {
        SetUpHandshake(session, input.scenario);
        CheckHandshakeResult(*session, TalkToFlashloader(session));
    } else {
        RunCommands(session, input.scenario);
    }
    fuzz_support::CloseLineSession(session);
    return 0;
}
