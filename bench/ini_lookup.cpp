// How long a chip lookup in flash.types takes: a catalogue of 2,000 chips
// (three sections, 200 layouts) is written to a temporary directory, which
// becomes the module directory; then chips near the start, in the middle and
// at the end of the sections are looked up many times each.
//
// Target: well under 10 ms per lookup.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "flashdll/hw/flash_type.h"

namespace {

constexpr int kChipCount = 2000;
constexpr int kLayoutCount = 200;
constexpr int kRepeats = 200;

std::string Key(int chip) {
    char key[32];
    std::snprintf(key, sizeof key, "0x%04x_0x%08lx", 0x89u, static_cast<unsigned long>(0x8800 + chip));
    return key;
}

void WriteCatalogue(const std::filesystem::path& path) {
    std::ofstream out(path, std::ios::binary);
    out << "; catalogue for the lookup benchmark\r\n[Description]\r\n";
    for (int i = 0; i < kChipCount; ++i) out << Key(i) << " = Benchmark flash chip number " << i << "\r\n";
    out << "\r\n[ChipInfo]\r\n";
    for (int i = 0; i < kChipCount; ++i) out << Key(i) << "=intel,L" << i % kLayoutCount << ",pagebuffer:32\r\n";
    out << "\r\n[Layouts]\r\n";
    for (int i = 0; i < kLayoutCount; ++i) out << "L" << i << "=8*8,64*" << 63 + i % 64 << ",128*2\r\n";
}

// Mean and worst time of one lookup of `chip`, in milliseconds.
void Measure(const char* label, int chip) {
    double worst = 0;
    double total = 0;
    for (int r = 0; r < kRepeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        auto type = std::make_unique<FlashType>(0x89, 0x8800 + chip);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (!type->IsKnown()) {
            std::fprintf(stderr, "chip %d not found: the benchmark is broken\n", chip);
            std::exit(1);
        }
        total += ms;
        if (ms > worst) worst = ms;
    }
    std::printf("%-28s mean %.3f ms  worst %.3f ms\n", label, total / kRepeats, worst);
}

}  // namespace

int main() {
    std::string pattern = (std::filesystem::temp_directory_path() / "flashdll-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = pattern;
    WriteCatalogue(dir / "flash.types");
    setenv("FLASHDLL_HOME", dir.c_str(), 1);
    std::printf("flash.types: %d chips, %d layouts, %ju bytes\n", kChipCount, kLayoutCount,
                static_cast<uintmax_t>(std::filesystem::file_size(dir / "flash.types")));
    Measure("first chip", 0);
    Measure("middle chip", kChipCount / 2);
    Measure("last chip (worst case)", kChipCount - 1);
    std::filesystem::remove_all(dir);
    return 0;
}
