// The flash loader's chip and flash commands: INFO, CHKC, BAUD, SETP, OPEN,
// TXDT, CLOS, ERAS, VRFY, SUCK and DONE, and the table that maps every
// command code to its handler. Handlers run with the shared state locked.
//
// Programming works on one open sector at a time: OPEN starts a buffer for
// the sector (from its present contents when the open says the data will
// cover it only partly, erased otherwise), TXDT fills the buffer, and CLOS
// programs it into flash, erasing the sector first unless the open asked for
// separate erasing (then an ERAS must come before the close).
#include <algorithm>

#include "flashdll/link/crc32.h"
#include "flashdll/link/le.h"
#include "tools/handsetsim/commands.h"
#include "tools/handsetsim/frames.h"
#include "tools/handsetsim/line.h"

namespace handsetsim {

namespace {

constexpr uint32_t kInfoRequestBytes = 56;     // 14 words
constexpr uint32_t kChipSlots = 4;
constexpr uint32_t kConnectionTestWord = 0x12345678;
constexpr uint32_t kSetupBytes = 36;           // 9 words
constexpr uint32_t kOpenBytes = 20;            // 5 words
constexpr uint32_t kOpenTrailer = 0xFF;
constexpr uint32_t kOpenPartial = 0x02;        // the data covers the sector only partly
constexpr uint32_t kOpenEraseOnClose = 0x01;   // without it, erasing is the PC's business
constexpr uint32_t kEraseBytes = 12;
constexpr uint32_t kRangeBytes = 8;            // VRFY, SUCK: address and length
constexpr uint32_t kDefaultBaud = 115200;

uint32_t Word(const Request& request, size_t index) {
    return PayloadWord(request.payload, index);
}

bool SizeIs(const Request& request, uint32_t bytes) {
    return request.payload.size() == bytes;
}

void AppendChip(std::vector<uint8_t>* out, const ChipSlot& chip) {
    for (uint32_t word : {chip.amdId, chip.amdDevice, chip.intelId, chip.intelDevice, chip.nandId,
                          chip.nandDevice, chip.start}) {
        AppendWord(out, word);
    }
}

Reply Information(Context& ctx, LoaderState&, const Request& request) {
    if (!SizeIs(request, kInfoRequestBytes)) {
        return Fail(kErrPayload, request.code, static_cast<uint32_t>(request.payload.size()));
    }
    const Scenario& s = ctx.scenario;
    uint32_t chips = std::min<uint32_t>(static_cast<uint32_t>(s.chips.size()), kChipSlots);
    std::vector<uint8_t> data;
    AppendWord(&data, (s.flMajor & 0xFF) << 8 | (s.flMinor & 0xFF));
    AppendWord(&data, chips);
    for (uint32_t i = 0; i < kChipSlots; ++i) {
        AppendChip(&data, i < chips ? s.chips[i] : ChipSlot{});
    }
    AppendWord(&data, s.maxTx);
    AppendWord(&data, s.maxRx);
    for (uint32_t speed : s.mobileSpeeds) {
        AppendWord(&data, speed);
    }
    return Ok(std::move(data));
}

Reply CheckConnection(Context&, LoaderState&, const Request& request) {
    if (!SizeIs(request, 4) || Word(request, 0) != kConnectionTestWord) {
        return Fail(kErrPayload, request.code, Word(request, 0));
    }
    return Ok();
}

bool OffersSpeed(const Scenario& s, uint32_t rate) {
    return rate == kDefaultBaud ||
           std::find(std::begin(s.mobileSpeeds), std::end(s.mobileSpeeds), rate) !=
               std::end(s.mobileSpeeds);
}

Reply BaudRate(Context& ctx, LoaderState&, const Request& request) {
    uint32_t uart = Word(request, 0), rate = Word(request, 1);
    if (!SizeIs(request, 8)) {
        return Fail(kErrPayload, request.code);
    }
    if (uart >= ctx.lines.Count() || rate == 0 || !OffersSpeed(ctx.scenario, rate)) {
        return Fail(kErrSpeed, request.code, uart, rate);
    }
    Reply reply = Ok();
    reply.baudUart = uart;
    reply.baudRate = rate;
    return reply;
}

bool ReportedDevice(const ChipSlot& chip, uint32_t device) {
    return device == chip.amdDevice || device == chip.intelDevice || device == chip.nandDevice;
}

Reply Setup(Context& ctx, LoaderState& state, const Request& request) {
    if (!SizeIs(request, kSetupBytes)) {
        return Fail(kErrPayload, request.code, static_cast<uint32_t>(request.payload.size()));
    }
    const std::vector<ChipSlot>& chips = ctx.scenario.chips;
    for (uint32_t i = 0; i < chips.size() && i < kChipSlots; ++i) {
        uint32_t device = Word(request, 1 + 2 * i);
        if (!ReportedDevice(chips[i], device)) {
            return Fail(kErrChip, request.code, i, device);
        }
    }
    state.setUp = true;
    return Ok(std::vector<uint8_t>(4, 0));
}

Reply Open(Context& ctx, LoaderState& state, const Request& request) {
    uint32_t chip = Word(request, 0) >> 16, sector = Word(request, 0) & 0xFFFF;
    uint32_t address = 0, size = 0;
    bool known = ctx.shared.flash.Sector(chip, sector, &address, &size);
    if (!SizeIs(request, kOpenBytes) || Word(request, 4) != kOpenTrailer || Word(request, 3) > 0xFF) {
        return Fail(kErrPayload, request.code);
    }
    if (!known || Word(request, 1) != address || Word(request, 2) != size) {
        return Fail(kErrRange, request.code, Word(request, 0), Word(request, 1), Word(request, 2));
    }
    // A second open replaces the first: the PC starts the sector over.
    OpenSector& open = state.sector;
    open = OpenSector{true, chip, sector, address, size, Word(request, 3), {}};
    if (open.flags & kOpenPartial) {
        open.buffer = ctx.shared.flash.Read(address, size);
    } else {
        open.buffer.assign(size, 0xFF);
    }
    return Ok();
}

Reply SendData(Context& ctx, LoaderState& state, const Request& request) {
    uint32_t address = Word(request, 0), length = Word(request, 1);
    const OpenSector& open = state.sector;
    if (!open.open) {
        return Fail(kErrState, request.code, address, length);
    }
    uint64_t end = static_cast<uint64_t>(address) + length;
    if (address < open.address || end > static_cast<uint64_t>(open.address) + open.size) {
        return Fail(kErrRange, request.code, address, length, open.address);
    }
    std::vector<PartPlan> plan;
    PlanParts(ctx, request.payload, &plan);
    for (size_t i = 0; i < plan.size(); ++i) {
        const std::vector<uint8_t>& part = request.parts[i];
        if (Crc32(part.data(), part.size()) != plan[i].crc) {
            return Fail(kErrPartCrc, request.code, static_cast<uint32_t>(i), plan[i].crc);
        }
    }
    for (size_t i = 0; i < plan.size(); ++i) {
        std::copy(request.parts[i].begin(), request.parts[i].end(),
                  state.sector.buffer.begin() + (address - open.address) + plan[i].offset);
    }
    return Ok();
}

Reply Close(Context& ctx, LoaderState& state, const Request& request) {
    OpenSector& open = state.sector;
    if (!SizeIs(request, 4)) {
        return Fail(kErrPayload, request.code);
    }
    if (!open.open || Word(request, 0) != open.sector) {
        return Fail(kErrState, request.code, Word(request, 0), open.open ? open.sector : 0xFFFFFFFF);
    }
    FlashModel& flash = ctx.shared.flash;
    if (open.flags & kOpenEraseOnClose) {
        flash.Erase(open.address, open.size);
    }
    flash.Program(open.address, open.buffer.data(), open.buffer.size());
    open = OpenSector{};
    return Ok();
}

Reply Erase(Context& ctx, LoaderState&, const Request& request) {
    uint32_t chip = Word(request, 0) >> 16, sector = Word(request, 0) & 0xFFFF;
    uint32_t address = 0, size = 0;
    if (!SizeIs(request, kEraseBytes)) {
        return Fail(kErrPayload, request.code);
    }
    if (!ctx.shared.flash.Sector(chip, sector, &address, &size) || Word(request, 1) != address ||
        Word(request, 2) != size) {
        return Fail(kErrRange, request.code, Word(request, 0), Word(request, 1), Word(request, 2));
    }
    ctx.shared.flash.Erase(address, size);
    return Ok();
}

Reply Verify(Context& ctx, LoaderState&, const Request& request) {
    uint32_t address = Word(request, 0), length = Word(request, 1);
    if (!SizeIs(request, kRangeBytes)) {
        return Fail(kErrPayload, request.code);
    }
    if (!ctx.shared.flash.Covers(address, length)) {
        return Fail(kErrRange, request.code, address, length);
    }
    std::vector<uint8_t> bytes = ctx.shared.flash.Read(address, length);
    std::vector<uint8_t> data;
    AppendWord(&data, Crc32(bytes.data(), bytes.size()));
    return Ok(std::move(data));
}

Reply ReadData(Context& ctx, LoaderState&, const Request& request) {
    uint32_t address = Word(request, 0), length = Word(request, 1);
    if (!SizeIs(request, kRangeBytes) || length == 0) {
        return Fail(kErrPayload, request.code, address, length);
    }
    if (length > ctx.scenario.maxRx) {
        return Fail(kErrLimit, request.code, address, length, ctx.scenario.maxRx);
    }
    if (!ctx.shared.flash.Covers(address, length)) {
        return Fail(kErrRange, request.code, address, length);
    }
    return Ok(ctx.shared.flash.Read(address, length));
}

// The end of a job: an open sector is dropped, file systems are left.
Reply Finish(Context&, LoaderState& state, const Request& request) {
    if (!request.payload.empty()) {
        return Fail(kErrPayload, request.code);
    }
    state.setUp = false;
    state.sector = OpenSector{};
    state.mountedType = 0;
    state.handles.clear();
    return Ok();
}

const CommandEntry kCommands[] = {
    {FourCC("INFO"), Information, false},   {FourCC("CHKC"), CheckConnection, false},
    {FourCC("BAUD"), BaudRate, false},      {FourCC("SETP"), Setup, false},
    {FourCC("OPEN"), Open, true},           {FourCC("TXDT"), SendData, true},
    {FourCC("CLOS"), Close, true},          {FourCC("ERAS"), Erase, true},
    {FourCC("VRFY"), Verify, true},         {FourCC("SUCK"), ReadData, true},
    {FourCC("DONE"), Finish, false},        {FourCC("FSMT"), MountFs, true},
    {FourCC("FIOP"), OpenFile, true},       {FourCC("FIWR"), WriteFile, true},
    {FourCC("FICL"), CloseFile, true},      {FourCC("CHKS"), CheckFileSize, true},
    {FourCC("FSUM"), UnmountFs, true},
};

}  // namespace

Reply Fail(uint32_t error, uint32_t code, uint32_t detail1, uint32_t detail2, uint32_t detail3) {
    Reply reply;
    reply.ok = false;
    uint32_t record[5] = {error, code, detail1, detail2, detail3};
    std::copy(record, record + 5, reply.error);
    return reply;
}

Reply Ok(std::vector<uint8_t> data) {
    Reply reply;
    reply.data = std::move(data);
    return reply;
}

const CommandEntry* FindCommand(uint32_t code) {
    for (const CommandEntry& entry : kCommands) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

bool PlanParts(const Context& ctx, const std::vector<uint8_t>& payload, std::vector<PartPlan>* parts) {
    parts->clear();
    uint32_t length = PayloadWord(payload, 1);
    uint32_t count = PayloadWord(payload, 3) & 0xFFFF;
    if (payload.size() != kTxdtPayloadBytes || count < 1 || count > 2 || length == 0 ||
        length > ctx.scenario.maxTx) {
        return false;
    }
    uint32_t next = 0;
    for (uint32_t i = 0; i < count; ++i) {
        PartPlan part{PayloadWord(payload, 4 + 4 * i), PayloadWord(payload, 5 + 4 * i),
                      PayloadWord(payload, 6 + 4 * i), PayloadWord(payload, 7 + 4 * i)};
        // Parts follow each other without gap or overlap and fill the transfer.
        if (part.uart >= ctx.lines.Count() || part.offset != next || part.length > length - next) {
            return false;
        }
        next += part.length;
        parts->push_back(part);
    }
    return next == length;
}

}  // namespace handsetsim
