// handsetsim: a stand-in handset that speaks the handset's side of every
// serial protocol over pseudo-terminals. Tests start one in-process; the
// handsetsim program runs one from a scenario file and prints the device
// paths of its UARTs so that a person can point flashcli at them.
//
// The handset is modelled from its own point of view: a ROM boot loader
// (active, passive, or passive that asks for a setup loader), then the
// setup loader, then the flash loader with a flash model and file systems.
// Flash contents survive from one job to the next (and optionally in a file);
// the closing byte a finished job sends returns the handset to its boot ROM.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace handsetsim {

enum class BootRom { Active, Passive, PassiveWithSetupLoader };

// One flash chip as the flash loader reports it in its INFO reply, and as
// the flash model stores it.
struct ChipSlot {
    uint32_t amdId = 0, amdDevice = 0;      // id word: manufacturer code in bits 16..23
    uint32_t intelId = 0, intelDevice = 0;
    uint32_t nandId = 0, nandDevice = 0;
    uint32_t start = 0;                     // chip start address
    std::vector<uint32_t> sectorSizes;      // bytes, from the lowest address up
};

// Knobs that make the handset misbehave; all off by default. "Nth" counts
// uses of a command since Start, from 1; 0 means never. A flash loader
// command answered through errCommand, silentCommand or markerCommand is not
// carried out; silentCommand and markerCommand also apply to "SYNC".
struct Faults {
    // Boot ROM and setup loader.
    bool bootSilent = false;          // the boot ROM never answers
    bool activeNoZ = false;           // active ROM: no "Z" after "rr"
    uint8_t activeByteAfterZ = 0;     // active ROM: send this instead of "E" (0: correct)
    uint32_t activeWrongEchoBlock = 0xFFFFFFFF;  // echo a wrong number for this block ...
    uint32_t activeWrongEchoCount = 0;           // ... this many times
    char activeVerdict = 'N';         // 'T' or 'F': verdict for activeVerdictBlock ...
    uint32_t activeVerdictBlock = 0xFFFFFFFF;
    uint32_t activeVerdictCount = 0;  // ... this many times
    uint32_t passiveNackDataNth = 0;  // answer the Nth "data" with "nack"
    uint32_t passiveNackDataCount = 1;  // ... for this many "data" in a row

    // Flash loader.
    uint32_t noiseBeforeReply = 0;    // bytes of noise before every "rply"
    std::string errCommand;           // 4CC answered with "-err" ...
    uint32_t errNth = 0;              // ... at its Nth use ...
    uint32_t errCount = 1;            // ... for this many uses in a row
    std::string silentCommand;        // 4CC never answered ...
    uint32_t silentNth = 0;           // ... from its Nth use on, this many times
    uint32_t silentCount = 1;
    std::string markerCommand;        // answer with "?!!?" instead of a reply ...
    uint32_t markerNth = 0;
    std::string badCrcCommand;        // reply with a corrupted CRC ...
    uint32_t badCrcNth = 0;
    uint32_t messagesBeforeReply = 0; // "*msg" frames before every reply
    uint32_t dumpsBeforeReply = 0;    // "*dmp" frames before every reply
    bool secondUartSilent = false;    // UART1 does not answer the connection test
    bool fileOpenFails = false;       // FIOP answers handle 0xFFFFFFFF
    bool fileWriteShort = false;      // FIWR answers one byte fewer than sent
    bool checkFileSizeFails = false;  // CHKS answers 0xFFFFFFFF

    // The cable: once this UART has received this many bytes (0: never), its
    // line goes away for good, as a pulled USB serial adapter does.
    uint32_t pullCableUart = 0;
    uint32_t pullCableAfterBytes = 0;
    // The line itself, for every program the handset runs: each byte, in
    // either direction, is lost with probability lineDrop or arrives with
    // one bit flipped with probability lineFlip, drawn from lineSeed.
    double lineDrop = 0;
    double lineFlip = 0;
    uint32_t lineSeed = 1;
};

// Faults the line has injected so far, over all UARTs and both directions.
struct LineFaultCounts {
    uint64_t dropped = 0;
    uint64_t flipped = 0;
};

struct Scenario {
    uint32_t uartCount = 1;                 // 1 or 2 pseudo-terminals
    BootRom bootRom = BootRom::Passive;

    // Passive boot ROM info record.
    uint32_t blMajor = 2, blMinor = 0;
    uint32_t blType = 2;                    // boot loader type (bits 16..23 of word 0)
    bool blFlag = false;                    // bit 31 of word 0
    uint32_t romMaskId = 0x4142000A;
    uint32_t blUart = 0;
    uint32_t blMaxTransfer = 4352;          // reported maximum transfer size
    bool hasIdRegister = true;
    uint32_t idRegister = 0;

    // Setup loader info record.
    uint32_t slMajor = 1, slMinor = 0, slType = 1;
    uint32_t slMaxTransfer = 4352;

    // Flash loader.
    uint32_t flMajor = 5, flMinor = 13;
    std::vector<ChipSlot> chips;
    uint32_t maxTx = 0x20000, maxRx = 0x2000;
    uint32_t mobileSpeeds[5] = {115200, 230400, 460800, 921600, 0};
    bool uartAnswers[2] = {true, true};     // which UARTs answer "*"

    Faults faults;

    std::string flashFile;    // load flash contents from / save them to this file
    std::string filesFolder;  // write received files below this folder
    bool paceLine = false;    // deliver bytes no faster than the line speed

    // Garble bytes on a UART while the PC side of its pseudo-terminal is set
    // to another speed than the handset's UART (as a real wire would), so a
    // missing or wrong speed change on either side shows. The PC side must
    // set its line to 115200 baud before the first byte.
    bool checkLineSpeed = false;
    // Start with the flash loader already running (as a job that ran only
    // the boot loader phase leaves it). Reset() still returns to the boot ROM.
    bool startInFlashLoader = false;
};

// Reads a scenario INI file (format: tools/handsetsim/README.md, example:
// examples/handset.ini). Keys the file leaves out keep the values *scenario
// holds; [chipN] sections, when present, replace the chips; relative store
// paths are taken from the file's folder. False (and a reason naming file,
// line and key) on error, with *scenario untouched.
bool LoadScenario(const std::string& path, Scenario* scenario, std::string* error);

// One command frame the handset received, decoded.
// Bare resynchronisation requests are recorded too, as "sync" (boot ROM and
// setup loader) and "SYNC" (flash loader), with no payload.
struct CommandRecord {
    uint32_t uart;                 // UART it arrived on
    std::string name;              // "info", "data", "OPEN", "TXDT" ...
    std::vector<uint8_t> payload;  // payload bytes as sent
    bool crcOk;                    // the frame's CRC matched
    bool tailOk = true;            // the frame ended with the right tail
    std::string stage;             // "boot", "setup" or "flash": the program that took it
    std::chrono::steady_clock::time_point at{};  // when its frame was read
};

// One block of loader code the handset took into RAM.
struct RamWrite {
    std::string stage;             // "boot" or "setup"
    uint32_t address;
    std::vector<uint8_t> bytes;
};

// A file written into a file system.
struct StoredFile {
    uint32_t fsType;               // 1 FFS, 2 CFS, 3 FDI
    uint32_t ownerId, fileId;      // FFS
    std::string name;              // CFS, FDI
    std::vector<uint8_t> data;
    bool closed;
};

class Handset {
public:
    // Opens the pseudo-terminals and starts the handset. Null (and a reason)
    // when it cannot: 1 or 2 UARTs, a boot UART that exists, non-zero TX and
    // RX sizes, at most 4 chips of 1..4095 sectors that do not overlap, and
    // a flash file (when named and present) made for these chips.
    static std::unique_ptr<Handset> Start(const Scenario& scenario, std::string* error);
    virtual ~Handset() = default;

    // Device path of UART 0 or 1 ("/dev/pts/N").
    virtual std::string UartPath(uint32_t uart) const = 0;
    // Stops the handset and closes its pseudo-terminals (also done on destruction).
    virtual void Stop() = 0;
    // Back to the boot ROM, flash contents and files kept (a power cycle:
    // bytes queued on the UARTs are dropped, speeds return to 115200; the
    // records below are kept). Returns once the boot ROM runs. Call it
    // between jobs when a job failed before the closing byte.
    virtual void Reset() = 0;

    // What the handset has seen and holds.
    virtual std::vector<CommandRecord> Commands() const = 0;
    virtual size_t CountCommands(const std::string& name) const = 0;
    virtual std::vector<RamWrite> RamWrites() const = 0;
    // Bytes of RAM as the loaders were written there (0 where nothing came).
    virtual std::vector<uint8_t> Ram(const std::string& stage, uint32_t address, uint32_t length) const = 0;
    // Flash bytes; addresses outside every chip read as 0xFF.
    virtual std::vector<uint8_t> Flash(uint32_t address, uint32_t length) const = 0;
    // Sets flash bytes as given (outside the chips: ignored).
    virtual void SetFlash(uint32_t address, const std::vector<uint8_t>& bytes) = 0;
    virtual std::vector<StoredFile> Files() const = 0;
    virtual LineFaultCounts LineFaults() const = 0;
    // New line fault probabilities from now on (0, 0: a clean line).
    virtual void SetLineFaults(double drop, double flip) = 0;
    // True once a flash loader runs and has answered the switch-over.
    virtual bool FlashLoaderRunning() const = 0;
    // Human-readable record of everything above, for the program and failures.
    virtual std::string Report() const = 0;
};

}  // namespace handsetsim
