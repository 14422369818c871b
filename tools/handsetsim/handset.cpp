// The handset as tests and the program see it: it opens the UARTs, runs
// the handset's programs one after the other on a logic thread (boot ROM,
// setup loader, flash loader), and answers questions about what it holds.
// Stop and Reset interrupt the logic thread's reads; the logic thread
// applies a reset itself, so that it never races with a running stage.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tools/handsetsim/handsetsim.h"
#include "tools/handsetsim/line.h"
#include "tools/handsetsim/report.h"
#include "tools/handsetsim/state.h"

namespace handsetsim {

namespace {

bool CheckScenario(const Scenario& s, std::string* error) {
    if (s.uartCount < 1 || s.uartCount > 2) {
        *error = "the handset has 1 or 2 UARTs";
        return false;
    }
    if (s.blUart >= s.uartCount) {
        *error = "the boot loader's UART " + std::to_string(s.blUart) + " does not exist";
        return false;
    }
    if (s.maxTx == 0 || s.maxRx == 0) {
        *error = "the flash loader's TX and RX sizes must not be 0";
        return false;
    }
    return true;
}

class HandsetImpl final : public Handset {
public:
    explicit HandsetImpl(const Scenario& scenario) : scenario_(scenario) {}
    ~HandsetImpl() override { Stop(); }

    bool Begin(std::string* error);

    std::string UartPath(uint32_t uart) const override { return lines_.Path(uart); }
    void Stop() override;
    void Reset() override;

    std::vector<CommandRecord> Commands() const override {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        return shared_.commands;
    }
    size_t CountCommands(const std::string& name) const override {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        auto found = shared_.commandCounts.find(name);
        return found == shared_.commandCounts.end() ? 0 : found->second;
    }
    std::vector<RamWrite> RamWrites() const override {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        return shared_.ramWrites;
    }
    std::vector<uint8_t> Ram(const std::string& stage, uint32_t address, uint32_t length) const override;
    std::vector<uint8_t> Flash(uint32_t address, uint32_t length) const override {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        return shared_.flash.Read(address, length);
    }
    void SetFlash(uint32_t address, const std::vector<uint8_t>& bytes) override {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        shared_.flash.Write(address, bytes.data(), bytes.size());
    }
    std::vector<StoredFile> Files() const override {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        return shared_.files.Files();
    }
    bool FlashLoaderRunning() const override {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        return shared_.flashLoaderRunning;
    }
    LineFaultCounts LineFaults() const override { return lines_.FaultCounts(); }
    void SetLineFaults(double drop, double flip) override { lines_.SetFaultRates(drop, flip); }
    std::string Report() const override {
        const LineFaultCounts faults = lines_.FaultCounts();
        std::lock_guard<std::mutex> lock(shared_.mutex);
        return BuildReport(scenario_, shared_, faults);
    }

private:
    void Run();
    bool TakeInterrupt(Stage* stage);
    void Enter(Stage stage, Stage previous);
    Stage RunStage(Context& context, Stage stage);

    const Scenario scenario_;
    Lines lines_;
    SharedState shared_;
    std::thread logic_;

    std::mutex control_;  // guards the four below
    std::condition_variable resetDone_;
    bool running_ = false;
    bool stopping_ = false;
    uint64_t resetsAsked_ = 0, resetsDone_ = 0;
};

bool HandsetImpl::Begin(std::string* error) {
    if (!CheckScenario(scenario_, error) || !shared_.flash.Configure(scenario_.chips, error)) {
        return false;
    }
    if (!scenario_.flashFile.empty() && !shared_.flash.Load(scenario_.flashFile, error)) {
        return false;
    }
    shared_.files.SetFolder(scenario_.filesFolder);
    const Faults& faults = scenario_.faults;
    Lines::Options options{scenario_.paceLine,     scenario_.checkLineSpeed,
                           faults.pullCableUart,   faults.pullCableAfterBytes,
                           faults.lineDrop,        faults.lineFlip,
                           faults.lineSeed};
    if (!lines_.Open(scenario_.uartCount, options, error)) {
        return false;
    }
    running_ = true;
    logic_ = std::thread(&HandsetImpl::Run, this);
    return true;
}

void HandsetImpl::Stop() {
    {
        std::lock_guard<std::mutex> lock(control_);
        if (!running_ || stopping_) {
            return;
        }
        stopping_ = true;
        lines_.Interrupt();
    }
    logic_.join();
    lines_.Close();
    std::string error;
    if (!scenario_.flashFile.empty() && !shared_.flash.Save(scenario_.flashFile, &error)) {
        AddNote(shared_, error);
    }
    std::lock_guard<std::mutex> lock(control_);
    running_ = false;
    resetDone_.notify_all();
}

void HandsetImpl::Reset() {
    std::unique_lock<std::mutex> lock(control_);
    if (!running_ || stopping_) {
        return;
    }
    uint64_t ticket = ++resetsAsked_;
    lines_.Interrupt();
    resetDone_.wait(lock, [&] { return resetsDone_ >= ticket || !running_ || stopping_; });
}

std::vector<uint8_t> HandsetImpl::Ram(const std::string& stage, uint32_t address,
                                      uint32_t length) const {
    std::vector<uint8_t> out(length, 0);
    std::lock_guard<std::mutex> lock(shared_.mutex);
    uint64_t first = address, end = first + length;
    for (const RamWrite& write : shared_.ramWrites) {
        uint64_t from = std::max<uint64_t>(first, write.address);
        uint64_t to = std::min<uint64_t>(end, uint64_t{write.address} + write.bytes.size());
        if (write.stage == stage && from < to) {
            std::copy(write.bytes.begin() + (from - write.address),
                      write.bytes.begin() + (to - write.address), out.begin() + (from - first));
        }
    }
    return out;
}

// ------------------------------------------------------------ logic thread

void HandsetImpl::Run() {
    Context context{scenario_, lines_, shared_, scenario_.blUart};
    Stage stage = scenario_.startInFlashLoader ? Stage::FlashLoader : Stage::BootRom;
    Stage previous = Stage::Halted;
    for (;;) {
        if (lines_.Interrupted() && !TakeInterrupt(&stage)) {
            return;
        }
        Enter(stage, previous);
        previous = stage;
        stage = RunStage(context, stage);
    }
}

// Applies a reset (or learns of a stop). False when the handset stops.
bool HandsetImpl::TakeInterrupt(Stage* stage) {
    std::lock_guard<std::mutex> lock(control_);
    if (stopping_) {
        return false;
    }
    if (resetsDone_ < resetsAsked_) {
        lines_.ResetLines();  // power cycle: the UARTs forget everything
        *stage = Stage::BootRom;
        resetsDone_ = resetsAsked_;
        resetDone_.notify_all();
    }
    lines_.ClearInterrupt();
    return true;
}

void HandsetImpl::Enter(Stage stage, Stage previous) {
    if (stage == Stage::BootRom && previous != Stage::BootRom) {
        lines_.ResetLines();  // the ROM starts with its UART at the initial speed
    }
    std::lock_guard<std::mutex> lock(shared_.mutex);
    shared_.stage = stage;
    if (stage != Stage::FlashLoader) {
        shared_.flashLoaderRunning = false;
    }
}

Stage HandsetImpl::RunStage(Context& context, Stage stage) {
    switch (stage) {
        case Stage::BootRom:
            return scenario_.bootRom == BootRom::Active ? RunActiveRom(context)
                                                        : RunPassiveLoader(context, stage);
        case Stage::SetupLoader:
            return RunPassiveLoader(context, stage);
        case Stage::FlashLoader:
            return RunFlashLoader(context);
        case Stage::Halted:
            lines_.WaitForInterrupt();
            return stage;
    }
    return stage;
}

}  // namespace

std::unique_ptr<Handset> Handset::Start(const Scenario& scenario, std::string* error) {
    auto handset = std::make_unique<HandsetImpl>(scenario);
    std::string reason;
    if (!handset->Begin(&reason)) {
        if (error != nullptr) {
            *error = reason;
        }
        return nullptr;
    }
    return handset;
}

}  // namespace handsetsim
