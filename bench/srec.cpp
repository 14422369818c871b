// S-record reading and writing speed: LoadSRecordFile and SaveSRecordFile
// against objcopy, srec_cat and a bare fgets-and-table decoder, all on the
// same 64 MiB image written as S3 records of 16 data bytes.
//
// Usage: srec <scratch directory>   (bench/srec.sh makes and removes one)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "flashdll/image/image_buffer.h"
#include "flashdll/image/srec_reader.h"
#include "flashdll/image/srec_writer.h"
#include "flashdll/session/session.h"

namespace {

constexpr uint32_t kBase = 0x20000000;
constexpr uint32_t kImageBytes = 64u << 20;
constexpr uint32_t kLineBytes = 16;
constexpr int kRepeats = 3;

using Clock = std::chrono::steady_clock;

double Seconds(const std::function<bool()>& work, bool* ok) {
    const auto start = Clock::now();
    *ok = work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Best of `repeats` runs; a failing run ends the measurement.
double Best(int repeats, const std::function<bool()>& work, bool* ok) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        const double t = Seconds(work, ok);
        if (!*ok) return t;
        best = t < best ? t : best;
    }
    return best;
}

std::vector<uint8_t> MakeImage() {
    std::vector<uint8_t> image(kImageBytes);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (uint32_t i = 0; i < kImageBytes; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(&image[i], &state, 8);
    }
    return image;
}

// Writes the image as S3 records with its own formatter (not the library's).
bool WriteSRecords(const std::string& path, const std::vector<uint8_t>& image) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    std::fputs("S00600004844521B\n", file);
    char line[64];
    for (uint32_t offset = 0; offset < kImageBytes; offset += kLineBytes) {
        const uint32_t address = kBase + offset;
        unsigned sum = kLineBytes + 5;
        int n = std::snprintf(line, sizeof line, "S3%02X%08lX", kLineBytes + 5, static_cast<unsigned long>(address));
        for (int s = 0; s < 32; s += 8) sum += (address >> s) & 0xFF;
        for (uint32_t i = 0; i < kLineBytes; ++i) {
            static const char digits[] = "0123456789ABCDEF";
            const uint8_t b = image[offset + i];
            line[n++] = digits[b >> 4];
            line[n++] = digits[b & 15];
            sum += b;
        }
        n += std::snprintf(line + n, sizeof line - n, "%02X\n", ~sum & 0xFF);
        std::fwrite(line, 1, n, file);
    }
    std::fputs("S705A002000058\n", file);
    return std::fclose(file) == 0;
}

bool WriteBinary(const std::string& path, const std::vector<uint8_t>& image) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    return std::fclose(file) == 0 && written;
}

uint64_t FileBytes(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return 0;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fclose(file);
    return size < 0 ? 0 : static_cast<uint64_t>(size);
}

bool SameFiles(const std::string& a, const std::string& b) {
    std::FILE* fa = std::fopen(a.c_str(), "rb");
    std::FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa != nullptr && fb != nullptr;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (same) {
        const size_t na = std::fread(ba.data(), 1, ba.size(), fa);
        const size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
        same = na == nb && std::memcmp(ba.data(), bb.data(), na) == 0;
        if (na == 0) break;
    }
    if (fa != nullptr) std::fclose(fa);
    if (fb != nullptr) std::fclose(fb);
    return same;
}

// The simplest correct decoder: fgets into a 128-byte line, a digit table,
// every checksum checked, data stored into the image.
bool BareDecode(const std::string& path, std::vector<uint8_t>* image) {
    static int8_t digit[256];
    std::memset(digit, -1, sizeof digit);
    for (int c = 0; c < 10; ++c) digit['0' + c] = static_cast<int8_t>(c);
    for (int c = 0; c < 6; ++c) digit['A' + c] = digit['a' + c] = static_cast<int8_t>(10 + c);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char line[128];
    bool ok = true;
    while (ok && std::fgets(line, sizeof line, file) != nullptr) {
        if (line[0] != 'S' || line[1] < '1' || line[1] > '3') continue;
        const int addressBytes = line[1] - '0' + 1;
        const unsigned count = (digit[(uint8_t)line[2]] << 4) | digit[(uint8_t)line[3]];
        unsigned sum = count;
        uint8_t bytes[256];
        for (unsigned i = 0; i < count; ++i) {
            const int hi = digit[(uint8_t)line[4 + 2 * i]], lo = digit[(uint8_t)line[5 + 2 * i]];
            if ((hi | lo) < 0) return std::fclose(file), false;
            bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
        }
        for (unsigned i = 0; i + 1 < count; ++i) sum += bytes[i];
        ok = static_cast<uint8_t>(~sum) == bytes[count - 1];
        uint32_t address = 0;
        for (int i = 0; i < addressBytes; ++i) address = address << 8 | bytes[i];
        const uint32_t n = count - addressBytes - 1;
        if (address < kBase || address - kBase + n > image->size()) return std::fclose(file), false;
        std::memcpy(image->data() + (address - kBase), bytes + addressBytes, n);
    }
    std::fclose(file);
    return ok;
}

struct BenchHost {
    FlashHostDescriptor descriptor = {};
    unsigned progressUpdates = 0;
};

void CountProgress(FlashHostDescriptor* host, uint32_t, uint32_t) {
    ++reinterpret_cast<BenchHost*>(host)->progressUpdates;
}
void PrintErrors(FlashHostDescriptor*, uint32_t level, const char* text) {
    if (level > 0) std::fprintf(stderr, "  message: %s\n", text);
}

bool HaveTool(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

struct Row {
    std::string name;
    double seconds;
    uint64_t textBytes;
    bool ok;
};

double MBps(const Row& row) { return row.textBytes / row.seconds / 1e6; }

void PrintRow(const Row& row, const Row* reference) {
    if (!row.ok) {
        std::printf("  %-44s %s\n", row.name.c_str(), row.seconds < 0 ? "not installed" : "FAILED");
        return;
    }
    std::printf("  %-44s %7.3f s %8.1f MB/s", row.name.c_str(), row.seconds, MBps(row));
    if (reference != nullptr && reference->ok) std::printf("   %5.2f x objcopy", MBps(row) / MBps(*reference));
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <scratch directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::string srec = dir + "/image.srec", bin = dir + "/image.bin", out = dir + "/out.bin";
    const std::string saved = dir + "/saved.srec", objcopySaved = dir + "/objcopy.srec";

    std::printf("Generating a %u MiB image as S3 records of %u bytes at 0x%08X ...\n", kImageBytes >> 20, kLineBytes,
                kBase);
    const std::vector<uint8_t> image = MakeImage();
    if (!WriteSRecords(srec, image) || !WriteBinary(bin, image)) {
        std::fprintf(stderr, "cannot write the input files in %s\n", dir.c_str());
        return 1;
    }
    const uint64_t textBytes = FileBytes(srec);
    std::printf("S-record text: %.1f MB\n\n", textBytes / 1e6);

    BenchHost host;
    host.descriptor.size = sizeof host.descriptor;
    host.descriptor.OnProgressUpdate = CountProgress;
    host.descriptor.OnMessage = PrintErrors;
    auto session = std::make_unique<Session>();
    session->host = &host.descriptor;
    ImageBuffer& user = session->userImage;
    user.areaCount = 1;
    user.areas[0] = {kBase, kBase + kImageBytes - 1, nullptr};
    if (AllocImageBuffers(session.get()) == 0) {
        std::fprintf(stderr, "cannot allocate the image buffers\n");
        return 1;
    }

    bool ok = false;
    Row load{"LoadSRecordFile", 0, textBytes, false};
    load.seconds = Best(kRepeats, [&] {
        host.progressUpdates = 0;
        return LoadSRecordFile(session.get(), &user, srec.c_str(), 1) == SUCCESS;
    }, &ok);
    load.ok = ok && std::memcmp(user.areas[0].data, image.data(), kImageBytes) == 0 && user.regionCount == 1;
    const unsigned loadProgress = host.progressUpdates;

    std::snprintf(session->options.savefile, sizeof session->options.savefile, "%s", saved.c_str());
    session->options.readcount = 1;
    session->options.read[0] = {kBase, kBase + kImageBytes - 1};
    Row save{"SaveSRecordFile", 0, textBytes, false};
    save.seconds = Best(kRepeats, [&] { return SaveSRecordFile(session.get(), &user) == SUCCESS; }, &ok);
    save.ok = ok && SameFiles(saved, srec);

    std::vector<uint8_t> decoded(kImageBytes);
    Row bare{"bare fgets-and-table decoder", 0, textBytes, false};
    bare.seconds = Best(kRepeats, [&] { return BareDecode(srec, &decoded); }, &ok);
    bare.ok = ok && decoded == image;

    Row objcopyRead{"objcopy -I srec -O binary", -1, textBytes, false};
    Row srecCatRead{"srec_cat -motorola -o out.bin -binary", -1, textBytes, false};
    Row objcopyWrite{"objcopy -I binary -O srec --srec-forceS3", -1, textBytes, false};
    if (HaveTool("objcopy")) {
        objcopyRead.seconds = Best(2, [&] { return Run("objcopy -I srec -O binary " + srec + " " + out); }, &ok);
        objcopyRead.ok = ok && SameFiles(out, bin);
        objcopyWrite.seconds = Best(2, [&] {
            return Run("objcopy -I binary -O srec --srec-forceS3 --srec-len=16 --change-addresses 0x20000000 " + bin +
                       " " + objcopySaved);
        }, &ok);
        objcopyWrite.textBytes = FileBytes(objcopySaved);
        objcopyWrite.ok = ok;
    }
    if (HaveTool("srec_cat")) {
        srecCatRead.seconds = Best(1, [&] { return Run("srec_cat " + srec + " -motorola -o " + out + " -binary"); }, &ok);
        srecCatRead.ok = ok;
    }
    std::remove(out.c_str());

    std::printf("Reading S-record text:\n");
    for (const Row* row : {&load, &bare, &objcopyRead, &srecCatRead}) PrintRow(*row, &objcopyRead);
    std::printf("Writing S-record text:\n");
    for (const Row* row : {&save, &objcopyWrite}) PrintRow(*row, &objcopyWrite);
    std::printf("\nLoadSRecordFile delivered %u progress updates for one file.\n", loadProgress);

    if (load.ok && objcopyRead.ok) {
        const double ratio = MBps(load) / MBps(objcopyRead);
        std::printf("Reading target (>= 3.0 x objcopy): %.2f x, %s\n", ratio, ratio >= 3.0 ? "met" : "MISSED");
    }
    if (save.ok && objcopyWrite.ok) {
        const double ratio = MBps(save) / MBps(objcopyWrite);
        std::printf("Writing target (>= 1.0 x objcopy): %.2f x, %s\n", ratio, ratio >= 1.0 ? "met" : "MISSED");
    }
    FreeImageBuffers(session.get());
    return load.ok && save.ok && bare.ok ? 0 : 1;
}
