// The library against the line: whole jobs through the demo's stand-in
// handset paced at the line speed (10 bits per byte), one job per child
// process so that its CPU time and peak memory are its own.
//
// The wire table (4 MiB image at 921,600 baud): flash, verify and read-back
// on one and on two ports as a share of the line's ceiling, the
// difference-mode reflash against the full flash, the boot phase (loaders at
// 115,200) on its own line, host CPU seconds and peak memory per MiB flashed.
// The fault table (1 MiB over two ports): the share of the line with no
// faults, with flip=5e-5 and with drop=1e-5, and retries and resyncs per MiB.
// Prints both tables and writes them as JSON to bench/results/wire.json.
//
//   make bench  (or build/bench/bench_wire [--quick])
//
// The main operation is timed by the handset itself, from the arrival of
// SETP to that of DONE; a job's whole time is FlashLoad's, in the child.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "flashdll/flashdll.h"
#include "flashdll/image/srec_writer.h"
#include "tools/handsetsim/handsetsim.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kImageBase = 0x20000000;
constexpr uint32_t kSetupLoaderBase = 0x08000000, kSetupLoaderBytes = 6144;
constexpr uint32_t kFlashLoaderBase = 0x08020000, kFlashLoaderBytes = 24576;
constexpr uint32_t kLineBaud = 921600, kBootBaud = 115200;
constexpr double kBitsPerByte = 10;
constexpr uint32_t kRecordBytes = 32;  // data bytes per S3 record
constexpr double kMiB = 1024.0 * 1024.0;

// ------------------------------------------------------------------ files

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string S3Record(uint32_t address, const uint8_t* data, uint32_t count) {
    uint32_t sum = count + 5;
    std::string line = "S3" + Hex(sum, 2) + Hex(address, 8);
    for (int shift = 0; shift < 32; shift += 8) sum += (address >> shift) & 0xFF;
    for (uint32_t i = 0; i < count; ++i) {
        char digits[2];
        HexByte(data[i], digits);
        line.append(digits, 2);
        sum += data[i];
    }
    return line + Hex(~sum & 0xFF, 2) + "\n";
}

void WriteSRecords(const std::string& path, uint32_t base, const Bytes& bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    for (uint32_t at = 0; at < bytes.size(); at += kRecordBytes) {
        const uint32_t count = std::min<uint32_t>(kRecordBytes, static_cast<uint32_t>(bytes.size()) - at);
        text += S3Record(base + at, bytes.data() + at, count);
    }
    WriteFile(path, text + "S70500000000FA\n");
}

Bytes RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(generator());
    return bytes;
}

// ------------------------------------------------------------------ child

// What the child reports back on its standard output.
struct ChildReport {
    uint32_t code = ERR_UNKNOWN;
    double seconds = 0;     // FlashLoad
    unsigned retries = 0;   // "Retry " lines after the handshake
    unsigned resyncs = 0;   // "Sync'ing" lines after the handshake
};

ChildReport g_child;
bool g_mainPhase = false;
bool g_trace = false;
Clock::time_point g_start;

void OnMessage(FlashHostDescriptor*, uint32_t, const char* text) {
    if (g_trace) {
        std::fprintf(stderr, "%8.3f %s\n", std::chrono::duration<double>(Clock::now() - g_start).count(), text);
    }
    if (std::strcmp(text, "TalkToFlashloader: OK") == 0) g_mainPhase = true;
    if (!g_mainPhase) return;
    if (std::strncmp(text, "Retry ", 6) == 0) ++g_child.retries;
    if (std::strcmp(text, "Sync'ing") == 0) ++g_child.resyncs;
}

// bench_wire --job OPTIONS: one job through the library's exports, with
// FLASHDLL_HOME and FLASHDLL_COM<n> set by the parent.
int RunChildJob(const char* optionText) {
    g_trace = std::getenv("BENCH_WIRE_TRACE") != nullptr;
    FlashHostDescriptor host = {};
    host.size = sizeof host;
    static FlashLoadOptions options;  // zeros: no contents file, contents mode 0
    if (FlashInit(&host, &options) != SUCCESS) return 1;
    host.OnMessage = OnMessage;
    g_start = Clock::now();
    g_child.code = FlashParseOptionString(&host, optionText, nullptr, &options);
    if (g_child.code == SUCCESS) g_child.code = FlashLoad(&host, &options);
    g_child.seconds = std::chrono::duration<double>(Clock::now() - g_start).count();
    FlashFinish(&host);
    std::printf("%u %.6f %u %u\n", g_child.code, g_child.seconds, g_child.retries, g_child.resyncs);
    return 0;
}

// ------------------------------------------------------------------ parent

struct JobRun {
    ChildReport report;
    double cpuSeconds = 0;
    double peakMiB = 0;
    double mainSeconds = 0;  // SETP to DONE at the handset
    handsetsim::LineFaultCounts faults;
};

double CpuSeconds(const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// Starts this program as a job child; its report comes through a pipe.
bool SpawnJob(const std::string& options, ChildReport* report, rusage* usage) {
    int out[2];
    if (pipe(out) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execl("/proc/self/exe", "bench_wire", "--job", options.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    const std::string text = [&] {
        std::string all;
        char buffer[256];
        ssize_t n;
        while ((n = read(out[0], buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(n));
        return all;
    }();
    close(out[0]);
    int status = 0;
    if (pid < 0 || wait4(pid, &status, 0, usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    return std::sscanf(text.c_str(), "%u %lf %u %u", &report->code, &report->seconds, &report->retries,
                       &report->resyncs) == 4;
}

double MainSeconds(const std::vector<handsetsim::CommandRecord>& records, size_t from) {
    Clock::time_point first{}, last{};
    for (size_t i = from; i < records.size(); ++i) {
        if (records[i].name == "SETP" && first == Clock::time_point{}) first = records[i].at;
        if (records[i].name == "DONE") last = records[i].at;
    }
    return first == Clock::time_point{} || last < first ? 0 : std::chrono::duration<double>(last - first).count();
}

class Bench {
public:
    bool Begin(std::string* error);
    ~Bench();
    // One job on one or two ports; false when the job failed.
    bool Run(const std::string& options, uint32_t ports, JobRun* run);
    handsetsim::Handset& Handset() { return *handset_; }
    std::string Path(const std::string& name) const { return home_ + "/" + name; }

private:
    std::string home_;
    std::unique_ptr<handsetsim::Handset> handset_;
};

bool Bench::Begin(std::string* error) {
    char pattern[] = "/tmp/bench_wire.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    home_ = pattern;
    const std::string demo = std::string(FLASHDLL_SOURCE_DIR) + "/examples/demo/";
    WriteFile(Path("platform.def"), ReadFile(demo + "platform.def"));
    WriteFile(Path("flash.types"), ReadFile(demo + "flash.types"));
    mkdir(Path("loaders").c_str(), 0700);
    WriteSRecords(Path("loaders/setup.s19"), kSetupLoaderBase, RandomBytes(kSetupLoaderBytes, 1));
    WriteSRecords(Path("loaders/flash.s19"), kFlashLoaderBase, RandomBytes(kFlashLoaderBytes, 2));
    handsetsim::Scenario scenario;
    if (!handsetsim::LoadScenario(demo + "handset.ini", &scenario, error)) return false;
    scenario.paceLine = true;
    handset_ = handsetsim::Handset::Start(scenario, error);
    if (!handset_) return false;
    setenv("FLASHDLL_HOME", home_.c_str(), 1);
    setenv("FLASHDLL_COM1", handset_->UartPath(0).c_str(), 1);
    setenv("FLASHDLL_COM2", handset_->UartPath(1).c_str(), 1);
    return true;
}

Bench::~Bench() {
    handset_.reset();
    if (!home_.empty()) std::system(("rm -rf '" + home_ + "'").c_str());
}

bool Bench::Run(const std::string& options, uint32_t ports, JobRun* run) {
    handset_->Reset();  // every job starts at the boot ROM
    const size_t from = handset_->Commands().size();
    const handsetsim::LineFaultCounts before = handset_->LineFaults();
    const std::string text = "/platform=DEMO /debug=1 /maxspeed=921600,921600 " +
                             std::string(ports == 2 ? "/com=1,2 " : "/com=1 ") + options;
    rusage usage = {};
    if (!SpawnJob(text, &run->report, &usage)) return false;
    run->cpuSeconds = CpuSeconds(usage);
    run->peakMiB = usage.ru_maxrss / 1024.0;
    run->mainSeconds = MainSeconds(handset_->Commands(), from);
    const handsetsim::LineFaultCounts after = handset_->LineFaults();
    run->faults = {after.dropped - before.dropped, after.flipped - before.flipped};
    return run->report.code == SUCCESS;
}

// ------------------------------------------------------------------ tables

// Share of the line's ceiling: bytes over `ports` lines at `baud` in `seconds`.
double LineShare(double bytes, double seconds, uint32_t ports, uint32_t baud) {
    return seconds > 0 ? bytes * kBitsPerByte / (seconds * baud * ports) : 0;
}

class Report {
public:
    void Add(const std::string& table, const std::string& name, double value, const char* unit) {
        std::printf("  %-42s %10.3f %s\n", name.c_str(), value, unit);
        json_ += (json_.empty() ? "" : ",\n") + std::string("    {\"table\": \"") + table + "\", \"name\": \"" +
                 name + "\", \"value\": " + std::to_string(value) + ", \"unit\": \"" + unit + "\"}";
    }
    bool Save(const std::string& path) const {
        std::ofstream out(path);
        out << "{\n  \"results\": [\n" << json_ << "\n  ]\n}\n";
        return static_cast<bool>(out);
    }

private:
    std::string json_;
};

bool Fail(const std::string& what, const JobRun& run) {
    std::fprintf(stderr, "bench_wire: %s ended with code %u\n", what.c_str(), run.report.code);
    return false;
}

// Flash, verify and read of one image on `ports` ports; the flash run is kept.
bool OperationRows(Bench& bench, Report& report, const std::string& image, uint32_t bytes, uint32_t ports,
                   JobRun* flash) {
    const std::string on = ports == 2 ? " (2 ports)" : " (1 port)";
    const std::string last = "0x" + Hex(kImageBase + bytes - 1, 8);
    JobRun verify, read;
    if (!bench.Run("/mode=flash /diff=0 /file=" + image, ports, flash)) return Fail("flash" + on, *flash);
    if (!bench.Run("/mode=verify /file=" + image, ports, &verify)) return Fail("verify" + on, verify);
    if (!bench.Run("/mode=read /read=0x20000000-" + last + " /savefile=" + bench.Path("read.s19"), ports, &read)) {
        return Fail("read" + on, read);
    }
    report.Add("wire", "flash share of the line" + on, 100 * LineShare(bytes, flash->mainSeconds, ports, kLineBaud), "%");
    // VRFY moves checksums, not data: verify runs at many times the line.
    report.Add("wire", "verify speed over the line" + on, LineShare(bytes, verify.mainSeconds, ports, kLineBaud), "x");
    report.Add("wire", "read share of the line" + on, 100 * LineShare(bytes, read.mainSeconds, ports, kLineBaud), "%");
    report.Add("wire", "flash main operation" + on, flash->mainSeconds, "s");
    return true;
}

bool WireTable(Bench& bench, Report& report, uint32_t bytes) {
    const std::string image = bench.Path("image.s19");
    WriteSRecords(image, kImageBase, RandomBytes(bytes, 3));
    std::printf("wire table: %u KiB image at %u baud, paced stand-in handset\n", bytes / 1024, kLineBaud);
    JobRun one, two, diff, boot;
    if (!OperationRows(bench, report, image, bytes, 1, &one)) return false;
    if (!OperationRows(bench, report, image, bytes, 2, &two)) return false;
    report.Add("wire", "two-port speed-up of flashing", one.mainSeconds / two.mainSeconds, "x");
    // The unchanged image again in difference mode, each over the full flash
    // on as many ports: VRFY round trips in place of the data.
    JobRun diffOne;
    if (!bench.Run("/mode=flash /diff=1 /file=" + image, 1, &diffOne)) return Fail("difference reflash (1 port)", diffOne);
    report.Add("wire", "difference reflash main operation (1 port)", diffOne.mainSeconds, "s");
    report.Add("wire", "difference speed-up, main operation (1 port)", one.mainSeconds / diffOne.mainSeconds, "x");
    report.Add("wire", "difference speed-up, whole job (1 port)", one.report.seconds / diffOne.report.seconds, "x");
    if (!bench.Run("/mode=flash /diff=1 /file=" + image, 2, &diff)) return Fail("difference reflash", diff);
    report.Add("wire", "difference reflash main operation (2 ports)", diff.mainSeconds, "s");
    report.Add("wire", "difference reflash whole job (2 ports)", diff.report.seconds, "s");
    report.Add("wire", "difference speed-up, main operation (2 ports)", two.mainSeconds / diff.mainSeconds, "x");
    report.Add("wire", "difference speed-up, whole job (2 ports)", two.report.seconds / diff.report.seconds, "x");
    if (!bench.Run("/mode=flash /phases=bl", 2, &boot)) return Fail("boot phase", boot);
    const double loaderBytes = kSetupLoaderBytes + kFlashLoaderBytes;
    report.Add("wire", "boot phase: loader bytes", loaderBytes, "B");
    report.Add("wire", "boot phase: time", boot.report.seconds, "s");
    report.Add("wire", "boot phase: share of 115200 baud", 100 * LineShare(loaderBytes, boot.report.seconds, 1, kBootBaud), "%");
    const double mib = bytes / kMiB;
    report.Add("wire", "host CPU per MiB flashed (2 ports)", two.cpuSeconds / mib, "s");
    report.Add("wire", "host peak memory per MiB flashed (2 ports)", two.peakMiB / mib, "MiB");
    return true;
}

struct LineCase {
    const char* name;
    double drop, flip;
};

bool FaultTable(Bench& bench, Report& report, uint32_t bytes) {
    const std::string image = bench.Path("faults.s19");
    WriteSRecords(image, kImageBase, RandomBytes(bytes, 4));
    std::printf("fault table: %u KiB image over two ports at %u baud\n", bytes / 1024, kLineBaud);
    const double mib = bytes / kMiB;
    for (const LineCase& line : {LineCase{"no faults", 0, 0}, LineCase{"flip=5e-5", 0, 5e-5},
                                 LineCase{"drop=1e-5", 1e-5, 0}}) {
        JobRun run;
        bench.Handset().SetLineFaults(line.drop, line.flip);
        const bool ok = bench.Run("/mode=flash /diff=0 /file=" + image, 2, &run);
        bench.Handset().SetLineFaults(0, 0);
        if (!ok) return Fail(std::string("flash with ") + line.name, run);
        const std::string name = line.name;
        report.Add("faults", name + ": share of the line", 100 * LineShare(bytes, run.mainSeconds, 2, kLineBaud), "%");
        report.Add("faults", name + ": retries per MiB", run.report.retries / mib, "");
        report.Add("faults", name + ": resyncs per MiB", run.report.resyncs / mib, "");
        report.Add("faults", name + ": faults injected", static_cast<double>(run.faults.dropped + run.faults.flipped), "");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--job") == 0) return RunChildJob(argv[2]);
    const bool quick = argc == 2 && std::strcmp(argv[1], "--quick") == 0;
    Bench bench;
    std::string error;
    if (!bench.Begin(&error)) {
        std::fprintf(stderr, "bench_wire: %s\n", error.c_str());
        return 1;
    }
    Report report;
    const uint32_t wireBytes = (quick ? 1u : 4u) << 20;
    if (!WireTable(bench, report, wireBytes) || !FaultTable(bench, report, 1u << 20)) return 1;
    const std::string path = std::string(FLASHDLL_SOURCE_DIR) + "/bench/results/wire.json";
    if (!report.Save(path)) {
        std::fprintf(stderr, "bench_wire: cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("written to %s\n", path.c_str());
    return 0;
}
