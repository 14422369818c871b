// How fast the stand-in handset answers: round trips of the bare SYNC,
// reads of flash through SUCK and writes through OPEN/TXDT/CLOS, unpaced and
// paced at 115200 baud, and the process's peak memory.
//
//   make bench && ./build/bench/bench_handsetsim
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include "flashdll/link/crc32.h"
#include "flashdll/link/le.h"
#include "tools/handsetsim/handsetsim.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBase = 0x20000000;
constexpr uint32_t kSector = 0x20000;

int OpenRaw(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

void WriteAll(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        done += put > 0 ? static_cast<size_t>(put) : 0;
    }
}

// Reads until `tail` has come; false after a second without a byte.
bool ReadUntil(int fd, const char* tail, Bytes* got) {
    got->clear();
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) {
            return false;
        }
        uint8_t buffer[65536];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            got->insert(got->end(), buffer, buffer + n);
        }
        if (got->size() >= 4 && std::memcmp(got->data() + got->size() - 4, tail, 4) == 0) {
            return true;
        }
    }
}

Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes out;
    for (uint32_t w : words) {
        uint8_t b[4];
        PutLe32(b, w);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

Bytes Command(const char* code, const Bytes& payload) {
    Bytes frame(code, code + 4);
    Bytes length = Words({static_cast<uint32_t>(payload.size())});
    frame.insert(frame.end(), length.begin(), length.end());
    frame.insert(frame.end(), payload.begin(), payload.end());
    if (!payload.empty()) {
        Bytes crc = Words({Crc32(payload.data(), payload.size())});
        frame.insert(frame.end(), crc.begin(), crc.end());
    }
    frame.insert(frame.end(), {'E', 'O', 'T', '.'});
    return frame;
}

bool Ask(int fd, const char* code, const Bytes& payload, const Bytes& after = {}) {
    Bytes frame = Command(code, payload);
    frame.insert(frame.end(), after.begin(), after.end());
    WriteAll(fd, frame);
    Bytes reply;
    return ReadUntil(fd, "eom.", &reply) && reply.size() >= 16;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

handsetsim::Scenario MakeScenario(bool pace) {
    handsetsim::Scenario scenario;
    scenario.startInFlashLoader = true;
    scenario.paceLine = pace;
    scenario.maxRx = 0x2000;
    handsetsim::ChipSlot chip;
    chip.amdDevice = 0x227E;
    chip.start = kBase;
    chip.sectorSizes.assign(16, kSector);
    scenario.chips.push_back(chip);
    return scenario;
}

void RoundTrips(int fd, int count) {
    auto start = Clock::now();
    Bytes got;
    for (int i = 0; i < count; ++i) {
        WriteAll(fd, Bytes{'S', 'Y', 'N', 'C'});
        ReadUntil(fd, "syn!", &got);
    }
    std::printf("  SYNC round trip: %.1f us (mean of %d)\n", Seconds(start) * 1e6 / count, count);
}

void Reads(int fd, uint32_t piece, int count) {
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        Ask(fd, "SUCK", Words({kBase + (i % 16) * piece, piece}));
    }
    double seconds = Seconds(start);
    std::printf("  SUCK %u bytes x %d: %.2f MB/s\n", piece, count, count * piece / seconds / 1e6);
}

void Writes(int fd, uint32_t length, int sectors) {
    Bytes data(length, 0x5A);
    Bytes part = Words({0, 0, length, Crc32(data.data(), data.size())});
    auto start = Clock::now();
    for (int s = 0; s < sectors; ++s) {
        uint32_t address = kBase + static_cast<uint32_t>(s % 16) * kSector;
        Ask(fd, "OPEN", Words({static_cast<uint32_t>(s % 16), address, kSector, 0x11, 0xFF}));
        for (uint32_t at = 0; at < kSector; at += length) {
            Bytes payload = Words({address + at, length, 1, 1});
            payload.insert(payload.end(), part.begin(), part.end());
            Bytes empty = Words({0, 0, 0, 0});
            payload.insert(payload.end(), empty.begin(), empty.end());
            Ask(fd, "TXDT", payload, data);
        }
        Ask(fd, "CLOS", Words({static_cast<uint32_t>(s % 16)}));
    }
    double seconds = Seconds(start);
    std::printf("  OPEN/TXDT %u/CLOS, %d sectors of 128 KiB: %.2f MB/s\n", length, sectors,
                sectors * double(kSector) / seconds / 1e6);
}

bool Run(bool pace) {
    std::string error;
    auto handset = handsetsim::Handset::Start(MakeScenario(pace), &error);
    if (!handset) {
        std::fprintf(stderr, "cannot start: %s\n", error.c_str());
        return false;
    }
    int fd = OpenRaw(handset->UartPath(0));
    WriteAll(fd, Bytes{'*'});
    Bytes got;
    ReadUntil(fd, "\0\0\0\0", &got);  // just lets "#A" arrive
    Ask(fd, "SETP", Words({1, 0x227E, 0, 0, 0, 0, 0, 0, 0}));
    std::printf("%s:\n", pace ? "paced at 115200 baud" : "unpaced");
    if (pace) {
        RoundTrips(fd, 20);
        Reads(fd, 2048, 5);
        std::printf("  (a 115200 baud line carries 0.0115 MB/s)\n");
    } else {
        RoundTrips(fd, 2000);
        Reads(fd, 0x2000, 500);
        Writes(fd, 0x4000, 16);
    }
    close(fd);
    return true;
}

}  // namespace

int main() {
    bool ok = Run(false) && Run(true);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %ld KiB\n", usage.ru_maxrss);
    return ok ? 0 : 1;
}
