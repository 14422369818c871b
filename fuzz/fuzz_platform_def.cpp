// platform.def: any bytes as the file. Input: one flag byte (bit 0: the
// option sparenand), the platform name up to the first line feed (a name of
// 250 characters or more fills the options' field without its NUL), then the
// file. A platform that is accepted must leave a record within its tables:
// at most four flash definitions, zeros beyond them, one memory area of the
// user image per definition (or one for the whole image), NUL-terminated
// loader paths.
#include <cstring>

#include "flashdll/hw/platform.h"
#include "flashdll/session/session.h"
#include "support/fuzz_host.h"

namespace {

using fuzz_support::FuzzHost;

constexpr uint8_t kFlagSpareNand = 0x01;
constexpr size_t kMaxNameBytes = 300;

bool Terminated(const char* text, size_t size) { return std::memchr(text, '\0', size) != nullptr; }

void CheckAcceptedPlatform(const Session& session) {
    const PlatformRecord& platform = session.platform;
    FUZZ_CHECK(Terminated(platform.setupLoaderPath, sizeof platform.setupLoaderPath));
    FUZZ_CHECK(Terminated(platform.flashLoaderPath, sizeof platform.flashLoaderPath));
    FUZZ_CHECK(platform.memoryInterfaceType <= 1);
    FUZZ_CHECK(platform.flashDefinitionCount <= kMaxFlashDefinitions);
    FUZZ_CHECK(platform.setupLoaderBase % 4 == 0 && platform.flashLoaderBase % 4 == 0);
    for (uint32_t i = platform.flashDefinitionCount; i < kMaxFlashDefinitions; ++i) {
        const FlashDefinition& unused = platform.flashDefinitions[i];
        FUZZ_CHECK(unused.base == 0 && unused.size == 0 && unused.chipSelect == 0 && unused.cfsStart == 0);
    }
    const ImageBuffer& image = session.userImage;
    FUZZ_CHECK(image.areaCount >= 1 && image.areaCount <= kMaxAreas);
    FUZZ_CHECK(platform.chipDescriptions == 0 || image.areaCount == platform.flashDefinitionCount);
    for (uint32_t i = 0; i < image.areaCount; ++i) {
        FUZZ_CHECK(image.areas[i].first <= image.areas[i].last);
        if (platform.chipDescriptions != 0) {
            const FlashDefinition& definition = platform.flashDefinitions[i];
            FUZZ_CHECK(definition.size != 0 && definition.chipSelect <= 7);
            FUZZ_CHECK(static_cast<uint64_t>(image.areas[i].last) - image.areas[i].first + 1 == definition.size);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FuzzHost host;
    if (size == 0) return 0;
    Session* session = host.session();
    session->options.sparenand = (data[0] & kFlagSpareNand) != 0 ? 1 : 0;
    const uint8_t* text = data + 1;
    const size_t textSize = size - 1;
    const uint8_t* feed = static_cast<const uint8_t*>(std::memchr(text, '\n', textSize));
    const size_t nameLength = feed != nullptr ? static_cast<size_t>(feed - text) : textSize;
    if (nameLength > kMaxNameBytes) return 0;
    std::memset(session->options.platform, 0, sizeof session->options.platform);
    std::memcpy(session->options.platform, text,
                nameLength < sizeof session->options.platform ? nameLength : sizeof session->options.platform);
    const size_t fileStart = feed != nullptr ? nameLength + 1 : textSize;
    fuzz_support::WriteScratchFile("platform.def", text + fileStart, textSize - fileStart);

    session->platform = PlatformRecord{};
    session->userImage.areaCount = 0;
    if (ReadPlatform(session) == 1) CheckAcceptedPlatform(*session);
    return 0;
}
