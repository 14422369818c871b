#include "flashdll/image/image_buffer.h"

#include <gtest/gtest.h>

#include <memory>

#include "flashdll/session.h"

namespace {

bool AllFree(const Session& s) {
    for (const ImageBuffer* buffer : {&s.setupLoaderImage, &s.flashLoaderImage, &s.userImage}) {
        for (const MemoryArea& area : buffer->areas) {
            if (area.data != nullptr) return false;
        }
    }
    return true;
}

TEST(ImageBuffers, LoaderAreasEveryByteAllocatedAndWrappingSizesRefused) {
    auto session = std::make_unique<Session>();
    session->platform.setupLoaderBase = 0x00080000;
    session->platform.flashLoaderBase = 0x20100000;
    session->userImage.areaCount = 2;
    session->userImage.areas[0] = {0x20000000, 0x2000FFFF, nullptr};
    session->userImage.areas[1] = {0x30000000, 0x30000FFF, nullptr};
    ASSERT_EQ(AllocImageBuffers(session.get()), 1);
    EXPECT_EQ(session->setupLoaderImage.areas[0].last, 0x0009FFFFu);
    EXPECT_EQ(session->flashLoaderImage.areas[0].last, 0x201FFFFFu);
    for (ImageBuffer* buffer : {&session->setupLoaderImage, &session->flashLoaderImage, &session->userImage}) {
        for (uint32_t i = 0; i < buffer->areaCount; ++i) {
            MemoryArea& area = buffer->areas[i];
            ASSERT_NE(area.data, nullptr);
            area.data[area.last - area.first] = 2;  // a short block shows up under ASan
        }
    }
    FreeImageBuffers(session.get());
    EXPECT_TRUE(AllFree(*session));
    FreeImageBuffers(session.get());  // a second call is harmless

    // Setup area past 4 GiB, a 4-GiB area (no 32-bit size), last below first.
    for (const auto& c : {std::make_pair(0xFFFF0000u, MemoryArea{0x1000, 0x1FFF, nullptr}),
                          std::make_pair(0x80000u, MemoryArea{0x00000000, 0xFFFFFFFF, nullptr}),
                          std::make_pair(0x80000u, MemoryArea{0x2000, 0x1FFF, nullptr})}) {
        session->platform.setupLoaderBase = c.first;
        session->userImage.areas[1] = c.second;
        EXPECT_EQ(AllocImageBuffers(session.get()), 0);
        EXPECT_TRUE(AllFree(*session)) << "blocks left after a failed allocation";
    }
}

TEST(FindArea, FirstAreaHoldingTheAddressWithinTheCount) {
    ImageBuffer buffer = {};
    buffer.areaCount = 3;
    buffer.areas[0] = {0x1000, 0x1FFF, nullptr};
    buffer.areas[1] = {0x1800, 0x27FF, nullptr};  // overlaps area 0: the first one wins
    buffer.areas[2] = {0xFFFFF000, 0xFFFFFFFF, nullptr};
    const std::pair<uint32_t, uint32_t> cases[] = {{0x1000, 0}, {0x1FFF, 0}, {0x2000, 1}, {0xFFFFFFFF, 2},
                                                    {0x0FFF, kNoArea}, {0x2800, kNoArea}};
    for (const auto& c : cases) EXPECT_EQ(FindArea(&buffer, c.first), c.second) << std::hex << c.first;
    buffer.areaCount = 1;
    EXPECT_EQ(FindArea(&buffer, 0x2000), kNoArea);
}

}  // namespace
