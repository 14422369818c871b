// Contents files: any bytes as the file. Input: one flag byte, then the file
// from its section count on; unless bit 0 is set the harness puts the size
// and checksum words in front that make the file pass its first checks, so
// that the sections are reached (with bit 0 the input is the whole file).
// Every entry of an accepted file must name data inside the held file and
// carry a NUL-terminated name; each is then built into the "CHKS" request
// that checks it in the handset (sent to a line that answers nothing).
#include <cstring>
#include <vector>

#include "flashdll/contents/contents.h"
#include "flashdll/contents/fs_commands.h"
#include "flashdll/loader/fl_command.h"
#include "flashdll/link/le.h"
#include "flashdll/session/session.h"
#include "support/fuzz_dialogue.h"
#include "support/fuzz_host.h"

namespace {

using fuzz_support::FuzzHost;

constexpr uint8_t kFlagWholeFile = 0x01;
constexpr size_t kHeaderWords = 8;  // checksum and total size

std::vector<uint8_t> FileOf(const uint8_t* data, size_t size) {
    if ((data[0] & kFlagWholeFile) != 0) return std::vector<uint8_t>(data + 1, data + size);
    std::vector<uint8_t> file(kHeaderWords);
    file.insert(file.end(), data + 1, data + size);
    PutLe32(file.data() + 4, static_cast<uint32_t>(file.size()));
    uint32_t sum = 0;
    for (size_t i = 4; i < file.size(); ++i) sum += file[i];
    PutLe32(file.data(), sum);
    return file;
}

void CheckTable(const Session& session) {
    uint32_t held = 0;
    FUZZ_CHECK(ContentsBuffer(&session, &held) != nullptr);
    for (uint32_t slot = 0; slot < ContentsSectionCount(&session); ++slot) {
        ContentsSlotView view = {};
        FUZZ_CHECK(GetContentsSlot(&session, slot, &view));
        FUZZ_CHECK(view.type >= kFsTypeFfs && view.type <= kFsTypeFdi && view.fileCount <= kMaxFilesPerSlot);
        for (uint32_t entry = 0; entry < view.fileCount; ++entry) {
            ContentsEntry file = {};
            FUZZ_CHECK(GetContentsEntry(&session, slot, entry, &file));
            FUZZ_CHECK(static_cast<uint64_t>(file.dataOffset) + file.size <= held);
        }
    }
}

void CheckEveryFile(Session* session) {
    fuzz_support::StartLine(session, nullptr, 0);
    fuzz_support::OpenLineSession(session, 1);
    for (uint32_t slot = 0; slot < ContentsSectionCount(session); ++slot) {
        ContentsSlotView view = {};
        GetContentsSlot(session, slot, &view);
        for (uint32_t entry = 0; entry < view.fileCount; ++entry) {
            FUZZ_CHECK(fuzz_support::IsErrorCode(CheckFileSize(session, slot, entry)));
        }
    }
    fuzz_support::CloseLineSession(session);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FuzzHost host;
    if (size == 0) return 0;
    const std::vector<uint8_t> file = FileOf(data, size);
    const std::string path = fuzz_support::WriteScratchFile("contents.bin", file.data(), file.size());
    Session* session = host.session();
    std::snprintf(session->options.contentsfile, sizeof session->options.contentsfile, "%s", path.c_str());
    if (ReadContents(session)) {
        CheckTable(*session);
        CheckEveryFile(session);
    }
    ReleaseContents(session);
    return 0;
}
