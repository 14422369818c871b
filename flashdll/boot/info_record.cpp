// The "info" reply of the passive boot loader and the setup loader, and the
// checks that decide whether the library can talk to what answered.
#include <initializer_list>

#include "flashdll/boot/boot_internal.h"
#include "flashdll/boot/boot_loader.h"
#include "flashdll/link/le.h"

namespace {

constexpr uint32_t kTransferReserveBytes = 256;  // reported maximum less this = chunk size
constexpr uint32_t kBootLoaderMaxChunk = 4096;
constexpr uint32_t kMinBootLoaderMajor = 2;    // older boot loaders of types 1..3 are refused
constexpr uint32_t kIdRegisterBytes = 4;

bool IsOneOf(uint32_t value, std::initializer_list<uint32_t> values) {
    for (const uint32_t candidate : values) {
        if (value == candidate) {
            return true;
        }
    }
    return false;
}

}  // namespace

LoaderInfo DecodeInfoRecord(const uint8_t* reply) {
    const uint32_t word0 = GetLe32(reply);
    LoaderInfo info = {};
    info.minor = word0 & 0xFF;
    info.major = (word0 >> 8) & 0xFF;
    info.bootLoaderType = (word0 >> 16) & 0xFF;
    info.flag = word0 >> 31;
    info.setupLoaderType = word0 >> 16;
    info.romMaskId = GetLe32(reply + 4);
    info.uart = GetLe32(reply + 8) & 0xFFFF;
    info.maxTransfer = GetLe32(reply + 12);
    info.hasIdRegister = GetLe32(reply + 16) >= kIdRegisterBytes;
    info.idRegister = info.hasIdRegister ? GetLe32(reply + 20) : 0;
    return info;
}

const char* RomMaskText(uint32_t romMaskId, char* text) {
    for (int i = 0; i < 4; ++i) {
        const uint32_t byte = (romMaskId >> (24 - 8 * i)) & 0xFF;
        text[i] = (byte < 0x20 || byte > 0x80) ? ' ' : static_cast<char>(byte);
    }
    text[4] = '\0';
    return text;
}

const char* RevisionLabel(uint32_t idRegister) {
    static const char* const kLabels[4] = {"PR1", "PR1A", "PR2", "MK4 ROM"};
    return kLabels[(idRegister >> 16) & 3];
}

uint32_t AdjustedTransferSize(uint32_t reported) {
    return reported - kTransferReserveBytes;  // wraps below 256: TransferSizeUsable refuses it
}

bool TransferSizeUsable(uint32_t reported, uint32_t limit) {
    const uint32_t adjusted = AdjustedTransferSize(reported);
    return reported > kTransferReserveBytes && adjusted <= limit;
}

bool CheckBootLoaderIdentity(uint32_t memoryInterfaceType, const LoaderInfo& info,
                             uint32_t* setupLoaderUsed) {
    bool known = false;
    if (memoryInterfaceType == 0) {
        if (IsOneOf(info.bootLoaderType, {1, 2, 3})) {
            *setupLoaderUsed = 0;
            known = info.major >= kMinBootLoaderMajor;
        } else if (info.bootLoaderType == 5) {
            *setupLoaderUsed = 1;
            known = true;
        }
    } else if (memoryInterfaceType == 1) {
        *setupLoaderUsed = 1;
        known = IsOneOf(info.bootLoaderType, {4, 6, 7});
    }
    return known && TransferSizeUsable(info.maxTransfer, kBootLoaderMaxChunk);
}
