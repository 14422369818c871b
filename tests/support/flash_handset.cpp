#include "support/flash_handset.h"

#include <fstream>

#include "flashdll/loader/le.h"

namespace testing_support {

namespace {

constexpr uint32_t kLoaderBase = 0x08000000;

uint32_t Hex(const std::string& text, size_t at, size_t digits) {
    return static_cast<uint32_t>(std::stoul(text.substr(at, digits), nullptr, 16));
}

}  // namespace

void FlashHandsetTest::SetUp() {
    job.AddPlatform(PassivePlatform("P1", "fl.s19", kLoaderBase).WithFlash({FlashDefinition(kFlashBase, 2, 0)}));
    job.WriteLoader("fl.s19", kLoaderBase, 2048);
    scenario.chips.push_back(job.AddAmdChip(0x01, 0x227E, kFlashBase, "64*4,256*7"));
}

handsetsim::Handset& FlashHandsetTest::Start(uint32_t uarts, bool inFlashLoader) {
    uarts_ = uarts;
    inFlashLoader_ = inFlashLoader;
    scenario.uartCount = uarts;
    scenario.startInFlashLoader = inFlashLoader;
    handset = &job.StartHandset(scenario, uarts == 2 ? std::vector<uint32_t>{1, 2} : std::vector<uint32_t>{1});
    return *handset;
}

JobResult FlashHandsetTest::Run(const std::string& options, const JobSetup& setup) {
    const std::string ports = uarts_ == 2 ? "1,2" : "1";
    const std::string phases = inFlashLoader_ ? " /phases=fl" : "";
    return job.RunJob("/platform=P1 /com=" + ports + phases + " /debug=1 /file=" + job.Path("image.s19") +
                          " " + options,
                      setup);
}

void FlashHandsetTest::WriteImage(const std::vector<ImageChunk>& chunks) {
    image = chunks;
    job.WriteImage("image.s19", chunks);
}

std::vector<handsetsim::CommandRecord> FlashHandsetTest::Sent(const std::string& name) const {
    std::vector<handsetsim::CommandRecord> found;
    for (const auto& command : handset->Commands()) {
        if (command.name == name) found.push_back(command);
    }
    return found;
}

std::vector<uint32_t> FlashHandsetTest::Field(const std::string& name, size_t index) const {
    std::vector<uint32_t> words;
    for (const auto& command : Sent(name)) words.push_back(PayloadWord(command, index));
    return words;
}

::testing::AssertionResult FlashHandsetTest::FlashHolds(const std::vector<ImageChunk>& chunks) const {
    for (const ImageChunk& chunk : chunks) {
        const auto flash = handset->Flash(chunk.address, static_cast<uint32_t>(chunk.bytes.size()));
        for (size_t i = 0; i < chunk.bytes.size(); ++i) {
            if (i >= flash.size() || flash[i] != chunk.bytes[i]) {
                return ::testing::AssertionFailure()
                       << "flash differs at 0x" << std::hex << chunk.address + i;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

uint32_t PayloadWord(const handsetsim::CommandRecord& command, size_t index) {
    return command.payload.size() >= 4 * index + 4 ? GetLe32(command.payload.data() + 4 * index) : 0xDEADBEEF;
}

std::vector<ImageChunk> ReadSRecordData(const std::string& path) {
    std::vector<ImageChunk> chunks;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("S3", 0) != 0) continue;
        const uint32_t count = Hex(line, 2, 2);
        const uint32_t address = Hex(line, 4, 8);
        if (chunks.empty() || chunks.back().address + chunks.back().bytes.size() != address) {
            chunks.push_back({address, {}});
        }
        for (uint32_t i = 0; i + 5 < count; ++i) {
            chunks.back().bytes.push_back(static_cast<uint8_t>(Hex(line, 12 + 2 * i, 2)));
        }
    }
    return chunks;
}

}  // namespace testing_support
