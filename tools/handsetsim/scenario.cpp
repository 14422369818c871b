// Scenario files: an INI file with one section per part of the handset.
// Keys the file leaves out keep the values the Scenario already holds;
// [chipN] sections, when present, replace the chip list. Every error names
// the file, the line and the key. The format is described in README.md.
#include <array>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "tools/handsetsim/handsetsim.h"
#include "tools/handsetsim/ini_reader.h"

namespace handsetsim {

namespace {

constexpr size_t kMaxChips = 4;
constexpr size_t kMaxSpeeds = 5;
constexpr uint32_t kMaxSectors = 4095;
constexpr uint64_t kKiB = 1024;

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        size_t first = item.find_first_not_of(" \t");
        size_t last = item.find_last_not_of(" \t");
        items.push_back(first == std::string::npos ? "" : item.substr(first, last - first + 1));
    }
    if (!text.empty() && text.back() == ',') {
        items.push_back("");
    }
    return items;
}

bool Number(const std::string& text, uint32_t* value, std::string* reason) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    bool ok = !digits.empty();
    for (char c : digits) {
        ok = ok && (hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c)));
    }
    unsigned long long parsed = ok ? std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10) : 0;
    if (!ok || digits.size() > 10 || parsed > 0xFFFFFFFFull) {
        *reason = "expected a number (decimal or 0x hexadecimal), got \"" + text + "\"";
        return false;
    }
    *value = static_cast<uint32_t>(parsed);
    return true;
}

// A probability: a decimal number from 0 to 1, also as 1e-5.
bool Probability(const std::string& text, double* value, std::string* reason) {
    char* end = nullptr;
    const double parsed = text.empty() ? -1 : std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(parsed >= 0 && parsed <= 1)) {
        *reason = "expected a probability from 0 to 1 such as 1e-5, got \"" + text + "\"";
        return false;
    }
    *value = parsed;
    return true;
}

bool Flag(const std::string& text, bool* value, std::string* reason) {
    if (text == "yes" || text == "true" || text == "on" || text == "1") {
        *value = true;
    } else if (text == "no" || text == "false" || text == "off" || text == "0") {
        *value = false;
    } else {
        *reason = "expected yes or no, got \"" + text + "\"";
        return false;
    }
    return true;
}

bool Byte(const std::string& text, uint32_t* value, std::string* reason) {
    if (!Number(text, value, reason)) {
        return false;
    }
    if (*value > 0xFF) {
        *reason = "expected a value up to 255, got \"" + text + "\"";
        return false;
    }
    return true;
}

// "5.13": major and minor, each up to 255.
bool Version(const std::string& text, uint32_t* major, uint32_t* minor, std::string* reason) {
    size_t dot = text.find('.');
    std::string ignored;
    if (dot == std::string::npos || !Byte(text.substr(0, dot), major, &ignored) ||
        !Byte(text.substr(dot + 1), minor, &ignored)) {
        *reason = "expected a version such as 5.13, got \"" + text + "\"";
        return false;
    }
    return true;
}

bool NumberList(const std::string& text, size_t maxItems, std::vector<uint32_t>* values,
                std::string* reason) {
    values->clear();
    for (const std::string& item : Split(text)) {
        uint32_t value = 0;
        if (!Number(item, &value, reason)) {
            return false;
        }
        values->push_back(value);
    }
    if (values->empty() || values->size() > maxItems) {
        *reason = "expected 1 to " + std::to_string(maxItems) + " comma-separated numbers";
        return false;
    }
    return true;
}

// One group of a layout: "64" (one sector of 64 KiB) or "64*63".
bool LayoutGroup(const std::string& group, std::vector<uint32_t>* sizes, std::string* reason) {
    size_t star = group.find('*');
    std::string sizeText = group.substr(0, star);
    std::string countText = star == std::string::npos ? "1" : group.substr(star + 1);
    bool digits = !sizeText.empty() && !countText.empty();
    for (char c : sizeText + countText) {
        digits = digits && std::isdigit(static_cast<unsigned char>(c));
    }
    uint32_t sizeKiB = 0, count = 0;
    if (!digits || !Number(sizeText, &sizeKiB, reason) || !Number(countText, &count, reason) ||
        sizeKiB == 0 || count == 0 || sizeKiB * kKiB > 0xFFFFFFFFull) {
        *reason = "layout group \"" + group + "\" is not SIZE or SIZE*COUNT (KiB, both above 0)";
        return false;
    }
    if (sizes->size() + count > kMaxSectors) {
        *reason = "a chip has at most 4095 sectors";
        return false;
    }
    sizes->insert(sizes->end(), count, static_cast<uint32_t>(sizeKiB * kKiB));
    return true;
}

bool Layout(const std::string& text, std::vector<uint32_t>* sizes, std::string* reason) {
    sizes->clear();
    for (const std::string& group : Split(text)) {
        if (!LayoutGroup(group, sizes, reason)) {
            return false;
        }
    }
    if (sizes->empty()) {
        *reason = "expected sector groups such as 8*8,64*63";
        return false;
    }
    return true;
}

// "0x01,0x227E": manufacturer code (bits 16..23 of the id word) and device.
bool IdPair(const std::string& text, uint32_t* id, uint32_t* device, std::string* reason) {
    std::vector<std::string> items = Split(text);
    uint32_t code = 0;
    if (items.size() != 2 || !Byte(items[0], &code, reason) || !Number(items[1], device, reason)) {
        *reason = "expected MANUFACTURER,DEVICE such as 0x01,0x227E, got \"" + text + "\"";
        return false;
    }
    *id = code << 16;
    return true;
}

// "CLOS,2,3": command code, Nth use, and (when `count` is given) how many uses.
bool CommandFault(const std::string& text, std::string* command, uint32_t* nth, uint32_t* count,
                  std::string* reason) {
    std::vector<std::string> items = Split(text);
    size_t wanted = count != nullptr ? 3 : 2;
    bool ok = items.size() == wanted && items[0].size() == 4 && Number(items[1], nth, reason) &&
              (count == nullptr || Number(items[2], count, reason));
    if (!ok) {
        *reason = count != nullptr ? "expected CODE,NTH,COUNT such as CLOS,2,1"
                                   : "expected CODE,NTH such as VRFY,1";
        return false;
    }
    *command = items[0];
    return true;
}

bool TwoNumbers(const std::string& text, uint32_t* first, uint32_t* second, std::string* reason) {
    std::vector<std::string> items = Split(text);
    if (items.size() != 2 || !Number(items[0], first, reason) || !Number(items[1], second, reason)) {
        *reason = "expected two comma-separated numbers, got \"" + text + "\"";
        return false;
    }
    return true;
}

bool Verdict(const std::string& text, Faults* f, std::string* reason) {
    std::vector<std::string> items = Split(text);
    bool ok = items.size() == 3 && (items[0] == "T" || items[0] == "F") &&
              Number(items[1], &f->activeVerdictBlock, reason) &&
              Number(items[2], &f->activeVerdictCount, reason);
    if (!ok) {
        *reason = "expected T or F, BLOCK, COUNT such as T,0,1";
        return false;
    }
    f->activeVerdict = items[0][0];
    return true;
}

std::string Resolve(const std::string& value, const std::string& folder) {
    return value.empty() || value[0] == '/' ? value : folder + value;
}

// ---------------------------------------------------------------- sections

struct Parser {
    Scenario scenario;
    std::string folder;                           // of the scenario file, with '/'
    std::array<bool, kMaxChips> chipSeen{};
    std::array<bool, kMaxChips> chipLayout{};
    std::array<ChipSlot, kMaxChips> chips{};
};

bool Handset(Parser& p, const std::string& key, const std::string& v, std::string* r) {
    Scenario& s = p.scenario;
    if (key == "uarts") return Number(v, &s.uartCount, r);
    if (key == "pace") return Flag(v, &s.paceLine, r);
    if (key == "checkspeed") return Flag(v, &s.checkLineSpeed, r);
    if (key == "start") {
        if (v != "bootrom" && v != "flashloader") {
            *r = "expected bootrom or flashloader";
            return false;
        }
        s.startInFlashLoader = v == "flashloader";
        return true;
    }
    if (key == "bootrom") {
        if (v == "active") {
            s.bootRom = BootRom::Active;
        } else if (v == "passive") {
            s.bootRom = BootRom::Passive;
        } else if (v == "passive-setup") {
            s.bootRom = BootRom::PassiveWithSetupLoader;
        } else {
            *r = "expected active, passive or passive-setup";
            return false;
        }
        return true;
    }
    *r = "unknown key";
    return false;
}

bool BootLoader(Parser& p, const std::string& key, const std::string& v, std::string* r) {
    Scenario& s = p.scenario;
    if (key == "version") return Version(v, &s.blMajor, &s.blMinor, r);
    if (key == "type") return Byte(v, &s.blType, r);
    if (key == "flag") return Flag(v, &s.blFlag, r);
    if (key == "rommask") return Number(v, &s.romMaskId, r);
    if (key == "uart") return Number(v, &s.blUart, r);
    if (key == "maxtransfer") return Number(v, &s.blMaxTransfer, r);
    if (key == "idregister") {
        s.hasIdRegister = v != "none";
        return v == "none" || Number(v, &s.idRegister, r);
    }
    *r = "unknown key";
    return false;
}

bool SetupLoader(Parser& p, const std::string& key, const std::string& v, std::string* r) {
    Scenario& s = p.scenario;
    if (key == "version") return Version(v, &s.slMajor, &s.slMinor, r);
    if (key == "type") {
        if (!Number(v, &s.slType, r)) {
            return false;
        }
        if (s.slType > 0xFFFF) {
            *r = "expected a type up to 65535";
            return false;
        }
        return true;
    }
    if (key == "maxtransfer") return Number(v, &s.slMaxTransfer, r);
    *r = "unknown key";
    return false;
}

bool Answers(const std::string& v, Scenario* s, std::string* r) {
    std::vector<uint32_t> uarts;
    if (v == "none") {
        s->uartAnswers[0] = s->uartAnswers[1] = false;
        return true;
    }
    if (!NumberList(v, 2, &uarts, r)) {
        return false;
    }
    s->uartAnswers[0] = s->uartAnswers[1] = false;
    for (uint32_t uart : uarts) {
        if (uart > 1) {
            *r = "UARTs are 0 and 1";
            return false;
        }
        s->uartAnswers[uart] = true;
    }
    return true;
}

bool FlashLoader(Parser& p, const std::string& key, const std::string& v, std::string* r) {
    Scenario& s = p.scenario;
    if (key == "version") return Version(v, &s.flMajor, &s.flMinor, r);
    if (key == "maxtx") return Number(v, &s.maxTx, r);
    if (key == "maxrx") return Number(v, &s.maxRx, r);
    if (key == "answers") return Answers(v, &s, r);
    if (key == "speeds") {
        std::vector<uint32_t> speeds;
        if (!NumberList(v, kMaxSpeeds, &speeds, r)) {
            return false;
        }
        std::fill(std::begin(s.mobileSpeeds), std::end(s.mobileSpeeds), 0u);
        std::copy(speeds.begin(), speeds.end(), s.mobileSpeeds);
        return true;
    }
    *r = "unknown key";
    return false;
}

bool Chip(Parser& p, size_t index, const std::string& key, const std::string& v, std::string* r) {
    ChipSlot& chip = p.chips[index];
    if (key == "amd") return IdPair(v, &chip.amdId, &chip.amdDevice, r);
    if (key == "intel") return IdPair(v, &chip.intelId, &chip.intelDevice, r);
    if (key == "nand") return IdPair(v, &chip.nandId, &chip.nandDevice, r);
    if (key == "start") return Number(v, &chip.start, r);
    if (key == "layout") {
        p.chipLayout[index] = true;
        return Layout(v, &chip.sectorSizes, r);
    }
    *r = "unknown key";
    return false;
}

bool FaultKey(Parser& p, const std::string& key, const std::string& v, std::string* r) {
    Faults& f = p.scenario.faults;
    if (key == "boot_silent") return Flag(v, &f.bootSilent, r);
    if (key == "active_no_z") return Flag(v, &f.activeNoZ, r);
    if (key == "active_byte_after_z") {
        uint32_t byte = 0;
        bool ok = Byte(v, &byte, r);
        f.activeByteAfterZ = static_cast<uint8_t>(byte);
        return ok;
    }
    if (key == "active_wrong_echo") return TwoNumbers(v, &f.activeWrongEchoBlock, &f.activeWrongEchoCount, r);
    if (key == "active_verdict") return Verdict(v, &f, r);
    if (key == "nack_data") return TwoNumbers(v, &f.passiveNackDataNth, &f.passiveNackDataCount, r);
    if (key == "noise_before_reply") return Number(v, &f.noiseBeforeReply, r);
    if (key == "err") return CommandFault(v, &f.errCommand, &f.errNth, &f.errCount, r);
    if (key == "silent") return CommandFault(v, &f.silentCommand, &f.silentNth, &f.silentCount, r);
    if (key == "marker") return CommandFault(v, &f.markerCommand, &f.markerNth, nullptr, r);
    if (key == "bad_crc") return CommandFault(v, &f.badCrcCommand, &f.badCrcNth, nullptr, r);
    if (key == "messages_before_reply") return Number(v, &f.messagesBeforeReply, r);
    if (key == "dumps_before_reply") return Number(v, &f.dumpsBeforeReply, r);
    if (key == "second_uart_silent") return Flag(v, &f.secondUartSilent, r);
    if (key == "file_open_fails") return Flag(v, &f.fileOpenFails, r);
    if (key == "file_write_short") return Flag(v, &f.fileWriteShort, r);
    if (key == "check_file_size_fails") return Flag(v, &f.checkFileSizeFails, r);
    if (key == "pull_cable") return TwoNumbers(v, &f.pullCableUart, &f.pullCableAfterBytes, r);
    if (key == "drop") return Probability(v, &f.lineDrop, r);
    if (key == "flip") return Probability(v, &f.lineFlip, r);
    if (key == "seed") return Number(v, &f.lineSeed, r);
    *r = "unknown key";
    return false;
}

bool Store(Parser& p, const std::string& key, const std::string& v, std::string* r) {
    if (key == "flash") {
        p.scenario.flashFile = Resolve(v, p.folder);
    } else if (key == "files") {
        p.scenario.filesFolder = Resolve(v, p.folder);
    } else {
        *r = "unknown key";
        return false;
    }
    return true;
}

// The chip index of a "chipN" section, or kMaxChips for any other section.
size_t ChipIndex(const std::string& section) {
    if (section.size() == 5 && section.compare(0, 4, "chip") == 0 && section[4] >= '0' &&
        section[4] < static_cast<char>('0' + kMaxChips)) {
        return static_cast<size_t>(section[4] - '0');
    }
    return kMaxChips;
}

bool Apply(Parser& p, const IniEntry& e, std::string* reason) {
    size_t chip = ChipIndex(e.section);
    if (chip < kMaxChips) {
        p.chipSeen[chip] = true;
        return Chip(p, chip, e.key, e.value, reason);
    }
    if (e.section == "handset") return Handset(p, e.key, e.value, reason);
    if (e.section == "bootloader") return BootLoader(p, e.key, e.value, reason);
    if (e.section == "setuploader") return SetupLoader(p, e.key, e.value, reason);
    if (e.section == "flashloader") return FlashLoader(p, e.key, e.value, reason);
    if (e.section == "faults") return FaultKey(p, e.key, e.value, reason);
    if (e.section == "store") return Store(p, e.key, e.value, reason);
    *reason = "unknown section";
    return false;
}

// Chips come as chip0, chip1 ... without gaps, each with a layout.
bool CollectChips(Parser& p, const std::string& path, std::string* error) {
    size_t count = 0;
    while (count < kMaxChips && p.chipSeen[count]) {
        ++count;
    }
    for (size_t i = 0; i < kMaxChips; ++i) {
        std::string name = "[chip" + std::to_string(i) + "]";
        if (p.chipSeen[i] && i >= count) {
            *error = path + ": " + name + " follows a missing chip section";
            return false;
        }
        if (p.chipSeen[i] && !p.chipLayout[i]) {
            *error = path + ": " + name + " layout: missing";
            return false;
        }
    }
    if (count > 0) {
        p.scenario.chips.assign(p.chips.begin(), p.chips.begin() + static_cast<long>(count));
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

bool LoadScenario(const std::string& path, Scenario* scenario, std::string* error) {
    std::vector<IniEntry> entries;
    std::string reason;
    if (!ReadIni(path, &entries, &reason)) {
        *error = reason;
        return false;
    }
    Parser parser;
    parser.scenario = *scenario;
    parser.folder = FolderOf(path);
    for (const IniEntry& entry : entries) {
        reason.clear();
        if (!Apply(parser, entry, &reason)) {
            *error = path + ":" + std::to_string(entry.line) + ": [" + entry.section + "] " +
                     entry.key + ": " + reason;
            return false;
        }
    }
    if (!CollectChips(parser, path, error)) {
        return false;
    }
    *scenario = parser.scenario;
    return true;
}

}  // namespace handsetsim
