#include "support/job_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <stdexcept>

#include "flashdll/link/le.h"

namespace testing_support {

namespace {

std::string Hex(uint32_t value, int digits = 8) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// One S3 record (or, without data, the S7 end record) with its checksum.
std::string SRecordLine(char type, uint32_t address, const uint8_t* data, size_t count) {
    uint32_t sum = static_cast<uint32_t>(count + 5);
    std::string line = std::string("S") + type + Hex(sum, 2) + Hex(address);
    for (int shift = 0; shift < 32; shift += 8) sum += (address >> shift) & 0xFF;
    for (size_t i = 0; i < count; ++i) {
        line += Hex(data[i], 2);
        sum += data[i];
    }
    return line + Hex(~sum & 0xFF, 2) + "\n";
}

// S0 header "HDR", S3 data records of up to 32 bytes, S7 end.
std::string SRecordText(const std::vector<ImageChunk>& chunks) {
    std::string text = "S00600004844521B\n";
    for (const ImageChunk& chunk : chunks) {
        for (size_t at = 0; at < chunk.bytes.size(); at += 32) {
            text += SRecordLine('3', chunk.address + static_cast<uint32_t>(at), chunk.bytes.data() + at,
                                std::min<size_t>(32, chunk.bytes.size() - at));
        }
    }
    return text + SRecordLine('7', 0, nullptr, 0);
}

PlatformSection MemoryType0(const std::string& name, const std::string& bootLoader, const std::string& flashLoader,
                            uint32_t flashLoaderBase) {
    return {name, {{"MIT", "0"}, {"BootLoader", bootLoader}, {"FlashLoader", flashLoader},
                   {"FlashLoaderBaseAddr", "0x" + Hex(flashLoaderBase)}}};
}

// Where `actual` first differs from `expected`, which lies at `address`.
::testing::AssertionResult SameBytes(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& actual,
                                     uint32_t address, const std::string& what) {
    const auto differs = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end()).first;
    if (differs == expected.end()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << what << " differs at 0x"
                                         << Hex(address + static_cast<uint32_t>(differs - expected.begin()));
}

}  // namespace

PlatformSection& PlatformSection::Set(const std::string& key, const std::string& value) {
    const auto it = std::find_if(keys.begin(), keys.end(), [&key](const auto& entry) { return entry.first == key; });
    if (it == keys.end()) keys.emplace_back(key, value);
    else it->second = value;
    return *this;
}

PlatformSection& PlatformSection::WithFlash(const std::vector<std::string>& definitions) {
    if (std::find(keys.begin(), keys.end(), std::make_pair(std::string("MIT"), std::string("1"))) == keys.end()) {
        Set("ChipDesc", "1");
    }
    for (size_t i = 0; i < definitions.size(); ++i) Set("Flash" + std::to_string(i), definitions[i]);
    return *this;
}

PlatformSection ActivePlatform(const std::string& name, const std::string& flashLoader) {
    return MemoryType0(name, "active", flashLoader, 0);
}

PlatformSection PassivePlatform(const std::string& name, const std::string& flashLoader, uint32_t flashLoaderBase) {
    return MemoryType0(name, "passive", flashLoader, flashLoaderBase);
}

PlatformSection PassiveWithSetupLoader(const std::string& name, const std::string& setupLoader, uint32_t setupLoaderBase,
                                       const std::string& flashLoader, uint32_t flashLoaderBase) {
    return MemoryType0(name, "passive", flashLoader, flashLoaderBase)
        .Set("SetupLoader", setupLoader)
        .Set("SetupLoaderBaseAddr", "0x" + Hex(setupLoaderBase));
}

PlatformSection Mit1Platform(const std::string& name, const std::string& setupLoader, uint32_t setupLoaderBase,
                             const std::string& flashLoader, uint32_t flashLoaderBase) {
    return {name, {{"MIT", "1"}, {"SetupLoader", setupLoader}, {"SetupLoaderBaseAddr", "0x" + Hex(setupLoaderBase)},
                   {"FlashLoader", flashLoader}, {"FlashLoaderBaseAddr", "0x" + Hex(flashLoaderBase)}}};
}

std::string FlashDefinition(uint32_t base, uint32_t mebibytes, uint32_t chipSelect) {
    return FlashDefinitionMit1(base, mebibytes, static_cast<int>(chipSelect));
}

std::string FlashDefinitionMit1(uint32_t base, uint32_t mebibytes, int cfsMiB) {
    const std::string value = "0x" + Hex(base) + "," + std::to_string(mebibytes);
    return cfsMiB < 0 ? value : value + "," + std::to_string(cfsMiB);
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(generator() & 0xFF);
    return bytes;
}

JobSetup WithContents(const std::string& path, uint32_t contentsMode) {
    JobSetup setup;
    setup.adjustOptions = [path, contentsMode](FlashLoadOptions& options) {
        std::snprintf(options.contentsfile, sizeof options.contentsfile, "%s", path.c_str());
        options.contentsmode = contentsMode;
    };
    return setup;
}

JobFixture::JobFixture() : variables_{"FLASHDLL_HOME"} { setenv("FLASHDLL_HOME", home_.Path().c_str(), 1); }

JobFixture::~JobFixture() {
    if (handset_) handset_->Stop();
    for (const std::string& name : variables_) unsetenv(name.c_str());
}

void JobFixture::AddPlatform(const PlatformSection& section) {
    platformText_ += "[" + section.name + "]\n";
    for (const auto& entry : section.keys) platformText_ += entry.first + "=" + entry.second + "\n";
    home_.Write("platform.def", platformText_ += "\n");
}

void JobFixture::AddChipType(uint16_t manufacturer, uint32_t device, const std::string& family,
                             const std::string& layout, const std::string& method, const std::string& description) {
    char key[32];
    std::snprintf(key, sizeof key, "0x%04x_0x%08lx", manufacturer, static_cast<unsigned long>(device));
    descriptions_ += std::string(key) + "=" + description + "\n";
    chipInfos_ += std::string(key) + "=" + family + ",L" + key + "," + method + "\n";
    layouts_ += std::string("L") + key + "=" + layout + "\n";
    home_.Write("flash.types", "[Description]\n" + descriptions_ + "[ChipInfo]\n" + chipInfos_ + "[Layouts]\n" + layouts_);
}

handsetsim::ChipSlot JobFixture::AddAmdChip(uint8_t manufacturer, uint32_t device, uint32_t start,
                                            const std::string& layout) {
    AddChipType(manufacturer, device, "amd", layout);
    handsetsim::ChipSlot slot;
    slot.amdId = static_cast<uint32_t>(manufacturer) << 16;
    slot.amdDevice = device;
    slot.start = start;
    std::stringstream groups(layout);  // groups of "KiB*count"
    for (std::string group; std::getline(groups, group, ',');) {
        const size_t star = group.find('*');
        const uint32_t count = star == std::string::npos ? 1 : static_cast<uint32_t>(std::stoul(group.substr(star + 1)));
        slot.sectorSizes.insert(slot.sectorSizes.end(), count, static_cast<uint32_t>(std::stoul(group)) * 1024);
    }
    return slot;
}

LoaderFile JobFixture::WriteLoader(const std::string& name, uint32_t base, uint32_t size, uint32_t seed) {
    LoaderFile loader{Path(name), base, RandomBytes(size, seed)};
    WriteImage(name, {{base, loader.bytes}});
    return loader;
}

std::string JobFixture::WriteImage(const std::string& name, const std::vector<ImageChunk>& chunks) {
    return home_.Write(name, SRecordText(chunks));
}

handsetsim::Handset& JobFixture::StartHandset(const handsetsim::Scenario& scenario,
                                              const std::vector<uint32_t>& comNumbers) {
    std::string error;
    handset_ = handsetsim::Handset::Start(scenario, &error);
    if (!handset_) throw std::runtime_error("the stand-in handset did not start: " + error);
    for (uint32_t uart = 0; uart < comNumbers.size() && uart < scenario.uartCount; ++uart) {
        SetComDevice(comNumbers[uart], handset_->UartPath(uart));
    }
    return *handset_;
}

void JobFixture::SetComDevice(uint32_t comNumber, const std::string& path) {
    variables_.push_back("FLASHDLL_COM" + std::to_string(comNumber));
    setenv(variables_.back().c_str(), path.c_str(), 1);
}

JobResult JobFixture::RunJob(const std::string& optionText, const JobSetup& setup) {
    JobResult result;
    result.host = std::make_shared<RecordingHost>();
    FlashHostDescriptor* host = &result.host->descriptor;
    auto options = std::make_unique<FlashLoadOptions>();
    result.code = FlashInit(host, options.get());
    if (result.code != SUCCESS) return result;
    result.host->InstallCallbacks();
    if (setup.adjustHost) setup.adjustHost(*result.host);
    result.code = FlashParseOptionString(host, optionText.c_str(), nullptr, options.get());
    if (result.code == SUCCESS) {
        result.host->Clear();
        if (setup.adjustOptions) setup.adjustOptions(*options);
        result.code = FlashLoad(host, options.get());
    }
    FlashFinish(host);
    return result;
}

::testing::AssertionResult JobFixture::RamHolds(const std::string& stage, const LoaderFile& loader) const {
    const uint32_t size = static_cast<uint32_t>(loader.bytes.size());
    return SameBytes(loader.bytes, handset_->Ram(stage, loader.base, size), loader.base, stage + " RAM");
}

::testing::AssertionResult JobFixture::FlashHolds(const std::vector<ImageChunk>& chunks) const {
    ::testing::AssertionResult same = ::testing::AssertionSuccess();
    for (auto chunk = chunks.begin(); same && chunk != chunks.end(); ++chunk) {
        const uint32_t size = static_cast<uint32_t>(chunk->bytes.size());
        same = SameBytes(chunk->bytes, handset_->Flash(chunk->address, size), chunk->address, "flash");
    }
    return same;
}

std::vector<handsetsim::CommandRecord> JobFixture::Sent(const std::string& name) const {
    std::vector<handsetsim::CommandRecord> found = handset_->Commands();
    found.erase(std::remove_if(found.begin(), found.end(), [&name](const auto& sent) { return sent.name != name; }),
                found.end());
    return found;
}

std::vector<uint32_t> JobFixture::Words(const std::string& name, size_t index) const {
    std::vector<uint32_t> words;
    for (const auto& command : Sent(name)) words.push_back(PayloadWord(command, index));
    return words;
}

std::vector<std::string> JobFixture::CommandNames() const {
    std::vector<std::string> names;
    for (const auto& command : handset_->Commands()) names.push_back(command.name);
    return names;
}

uint32_t PayloadWord(const handsetsim::CommandRecord& command, size_t index) {
    return command.payload.size() >= 4 * index + 4 ? GetLe32(command.payload.data() + 4 * index) : 0xDEADBEEF;
}

std::vector<uint32_t> PayloadWords(const handsetsim::CommandRecord& command) {
    std::vector<uint32_t> words;
    for (size_t index = 0; 4 * index < command.payload.size(); ++index) words.push_back(PayloadWord(command, index));
    return words;
}

}  // namespace testing_support
