#include "tools/handsetsim/report.h"

#include <cstdarg>
#include <cstdio>
#include <map>

#include "flashdll/link/crc32.h"
#include "flashdll/link/le.h"
#include "tools/handsetsim/file_store.h"
#include "tools/handsetsim/frames.h"

namespace handsetsim {

namespace {

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

using Words = std::vector<uint8_t>;

uint32_t W(const Words& p, size_t index) {
    return PayloadWord(p, index);
}

// A name given as length and bytes at byte `at`, shown in quotes.
std::string QuotedName(const Words& p, size_t at) {
    if (p.size() < at + 4) {
        return "\"\"";
    }
    std::string name(p.begin() + static_cast<long>(at + 4), p.end());
    name = name.substr(0, name.find('\0'));
    return "\"" + name + "\"";
}

std::string FileKeyText(const Words& p, size_t keyWord) {
    uint32_t type = W(p, 0);
    if (type == kFsFfs) {
        return Format("FFS owner %u file %u", W(p, keyWord), W(p, keyWord + 1));
    }
    return std::string(FsName(type)) + " " + QuotedName(p, 4 * keyWord);
}

std::string Info(const Words& p) {
    std::string text = Format("definitions %u, flags 0x%08X", W(p, 0), W(p, 1));
    for (size_t i = 0; i < 4 && W(p, 2 + 3 * i) != 0; ++i) {
        text += Format("; base 0x%08X size/cs 0x%08X cfs 0x%08X", W(p, 2 + 3 * i), W(p, 3 + 3 * i),
                       W(p, 4 + 3 * i));
    }
    return text;
}

std::string Setup(const Words& p) {
    std::string text = Format("erase %u", W(p, 0));
    for (size_t i = 0; i < 4; ++i) {
        text += Format("; device 0x%08X info 0x%08X", W(p, 1 + 2 * i), W(p, 2 + 2 * i));
    }
    return text;
}

std::string SendData(const Words& p) {
    uint32_t parts = W(p, 3) & 0xFFFF;
    std::string text = Format("address 0x%08X, length %u, area %u, parts %u", W(p, 0), W(p, 1),
                              W(p, 3) >> 16, parts);
    for (uint32_t i = 0; i < parts && i < 2; ++i) {
        text += Format("; UART%u +%u %u bytes crc 0x%08X", W(p, 4 + 4 * i), W(p, 5 + 4 * i),
                       W(p, 6 + 4 * i), W(p, 7 + 4 * i));
    }
    return text;
}

std::string Mount(const Words& p) {
    std::string text = Format("%s, format %u, files %u", FsName(W(p, 0)), W(p, 1), W(p, 2));
    if (W(p, 0) == kFsFfs) {
        text += Format(", volume 0x%08X 0x%08X, chip table %u bytes", W(p, 3), W(p, 4), W(p, 5));
    } else if (W(p, 0) == kFsFdi) {
        text += Format(", flash 0x%08X size 0x%08X, area 0x%08X - 0x%08X", W(p, 3), W(p, 4),
                       W(p, 5), W(p, 6));
    }
    return text;
}

std::string Describe(const std::string& name, const Words& p) {
    if (name == "data") return Format("address 0x%08X, %u bytes", W(p, 0), W(p, 1));
    if (name == "INFO") return Info(p);
    if (name == "CHKC") return Format("word 0x%08X", W(p, 0));
    if (name == "BAUD") return Format("UART%u, %u baud", W(p, 0), W(p, 1));
    if (name == "SETP") return Setup(p);
    if (name == "OPEN" || name == "ERAS") {
        std::string text = Format("chip %u sector %u, address 0x%08X, size %u", W(p, 0) >> 16,
                                  W(p, 0) & 0xFFFF, W(p, 1), W(p, 2));
        return name == "OPEN" ? text + Format(", flags 0x%02X", W(p, 3)) : text;
    }
    if (name == "TXDT") return SendData(p);
    if (name == "CLOS") return Format("sector %u", W(p, 0));
    if (name == "VRFY" || name == "SUCK") return Format("address 0x%08X, length %u", W(p, 0), W(p, 1));
    if (name == "FSMT") return Mount(p);
    if (name == "FIOP") return FileKeyText(p, 1);
    if (name == "FIWR") return Format("handle %u, %u bytes", W(p, 0), W(p, 1));
    if (name == "FICL") return Format("handle %u", W(p, 0));
    if (name == "CHKS") return FileKeyText(p, 2) + Format(", size %u", W(p, 1));
    if (name == "FSUM") return FsName(W(p, 0));
    return p.empty() ? std::string() : Format("%zu bytes", p.size());
}

void AppendCommands(std::string* out, const SharedState& shared) {
    *out += Format("commands: %zu\n", shared.commands.size());
    for (size_t i = 0; i < shared.commands.size(); ++i) {
        const CommandRecord& c = shared.commands[i];
        *out += Format("  %4zu  UART%u %-5s %s  %s%s%s\n", i + 1, c.uart, c.stage.c_str(),
                       c.name.c_str(), DescribePayload(c.name, c.payload).c_str(),
                       c.crcOk ? "" : "  [bad CRC]", c.tailOk ? "" : "  [bad tail]");
    }
}

void AppendRam(std::string* out, const SharedState& shared) {
    *out += Format("RAM writes: %zu\n", shared.ramWrites.size());
    for (const RamWrite& w : shared.ramWrites) {
        *out += Format("  %-5s 0x%08X  %zu bytes  crc 0x%08X\n", w.stage.c_str(), w.address,
                       w.bytes.size(), Crc32(w.bytes.data(), w.bytes.size()));
    }
}

void AppendFiles(std::string* out, const SharedState& shared) {
    *out += Format("files: %zu\n", shared.files.Files().size());
    for (const StoredFile& f : shared.files.Files()) {
        std::string key = f.fsType == kFsFfs ? Format("FFS owner %u file %u", f.ownerId, f.fileId)
                                             : std::string(FsName(f.fsType)) + " \"" + f.name + "\"";
        *out += Format("  %s  %zu bytes  crc 0x%08X  %s\n", key.c_str(), f.data.size(),
                       Crc32(f.data.data(), f.data.size()), f.closed ? "closed" : "open");
    }
}

}  // namespace

std::string DescribePayload(const std::string& name, const std::vector<uint8_t>& payload) {
    return Describe(name, payload);
}

std::string BuildReport(const Scenario& scenario, const SharedState& shared,
                        const LineFaultCounts& lineFaults) {
    std::string out = "handset report\n";
    out += Format("stage: %s%s\n", StageName(shared.stage),
                  shared.flashLoaderRunning ? " (switched over)" : "");
    out += Format("UARTs: %u, flash chips: %zu\n", scenario.uartCount, scenario.chips.size());
    out += Format("line faults: dropped %llu, flipped %llu\n",
                  static_cast<unsigned long long>(lineFaults.dropped),
                  static_cast<unsigned long long>(lineFaults.flipped));
    AppendCommands(&out, shared);
    AppendRam(&out, shared);
    AppendFiles(&out, shared);
    for (const std::string& note : shared.notes) {
        out += "note: " + note + "\n";
    }
    return out;
}

}  // namespace handsetsim
