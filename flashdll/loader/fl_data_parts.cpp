// The raw data of a TXDT transfer: the payload names a memory area of the
// user image, a target address and up to two parts (offset from the target
// address and length). Each part is the run of image bytes that mirrors its
// addresses; it goes out behind the frame on its own port.
#include "flashdll/report/errors.h"
#include "flashdll/loader/fl_frames.h"
#include "flashdll/link/le.h"
#include "flashdll/report/notify.h"
#include "flashdll/session/session.h"

namespace {

// Payload offsets of the fields read here.
constexpr uint32_t kTargetAddressOffset = 0;
constexpr uint32_t kPartCountOffset = 12;   // 16-bit
constexpr uint32_t kAreaIndexOffset = 14;   // 16-bit
constexpr uint32_t kFirstDescriptorOffset = 16;
constexpr uint32_t kDescriptorBytes = 16;
constexpr uint32_t kPartOffsetField = 4;
constexpr uint32_t kPartLengthField = 8;

// Ports that can carry `count` parts: part i goes over port record i.
bool PortsCarry(const Session* session, uint32_t count) {
    if (session->overlappedIo == 0) return count == 1 && session->ports[0].handle != nullptr;
    if (count > session->portCount) return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (session->ports[i].handle == nullptr) return false;
    }
    return true;
}

// The part a descriptor names, as a run of `area`'s data; false when it
// does not lie wholly inside the area.
bool LocatePart(const MemoryArea& area, uint32_t address, const uint8_t* descriptor,
                DataPart* part) {
    const uint64_t offset = GetLe32(descriptor + kPartOffsetField);
    const uint64_t length = GetLe32(descriptor + kPartLengthField);
    const uint64_t areaSize = static_cast<uint64_t>(area.last) - area.first + 1;
    const uint64_t start = static_cast<uint64_t>(address) - area.first + offset;
    if (start + length > areaSize) return false;
    part->data = area.data + start;
    part->length = static_cast<uint32_t>(length);
    return true;
}

uint32_t Refuse(Session* session, const char* why) {
    LogLine(session, "SendData refused: %s", why);
    return ERR_BAD_PARAMS;
}

}  // namespace

uint32_t ResolveDataParts(Session* session, const uint8_t* payload, uint32_t payloadLength,
                          DataParts* out) {
    *out = DataParts{};
    if (payloadLength < kFirstDescriptorOffset) return Refuse(session, "short payload");
    const uint32_t count = GetLe16(payload + kPartCountOffset);
    if (count < 1 || count > kMaxDataParts) return Refuse(session, "part count");
    if (payloadLength < kFirstDescriptorOffset + count * kDescriptorBytes) {
        return Refuse(session, "short payload");
    }
    if (!PortsCarry(session, count)) return Refuse(session, "no port for a part");
    const ImageBuffer& image = session->userImage;
    const uint32_t areaIndex = GetLe16(payload + kAreaIndexOffset);
    if (areaIndex >= image.areaCount || areaIndex >= kMaxAreas ||
        image.areas[areaIndex].data == nullptr) {
        return Refuse(session, "no such memory area");
    }
    const MemoryArea& area = image.areas[areaIndex];
    const uint32_t address = GetLe32(payload + kTargetAddressOffset);
    if (address < area.first || address > area.last) {
        return Refuse(session, "address outside its memory area");
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* descriptor = payload + kFirstDescriptorOffset + i * kDescriptorBytes;
        if (!LocatePart(area, address, descriptor, &out->parts[i])) {
            return Refuse(session, "part outside its memory area");
        }
    }
    out->count = count;
    return SUCCESS;
}
