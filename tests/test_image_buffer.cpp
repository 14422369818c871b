#include "flashdll/image/image_buffer.h"

#include <gtest/gtest.h>

#include "flashdll/session/session.h"

namespace {

// Number of data blocks the session's three buffers hold.
int HeldBlocks(const Session& s) {
    int held = 0;
    for (const ImageBuffer* buffer : {&s.setupLoaderImage, &s.flashLoaderImage, &s.userImage}) {
        for (const MemoryArea& area : buffer->areas) held += area.data != nullptr;
    }
    return held;
}

TEST(ImageBuffers, LoaderAreasEveryByteAllocatedAndWrappingSizesRefused) {
    auto session = std::make_unique<Session>();
    session->platform.setupLoaderBase = 0x00080000;
    session->platform.flashLoaderBase = 0x20100000;
    session->userImage.areaCount = 2;
    session->userImage.areas[0] = {0x20000000, 0x2000FFFF, nullptr};
    session->userImage.areas[1] = {0x30000000, 0x30000FFF, nullptr};
    ASSERT_EQ(AllocImageBuffers(session.get()), 1);
    ASSERT_EQ(HeldBlocks(*session), 4);
    EXPECT_EQ(session->setupLoaderImage.areas[0].last, 0x0009FFFFu);
    EXPECT_EQ(session->flashLoaderImage.areas[0].last, 0x201FFFFFu);
    // The last byte of every block: a short block shows up under ASan.
    for (ImageBuffer* b : {&session->setupLoaderImage, &session->flashLoaderImage, &session->userImage}) {
        for (uint32_t i = 0; i < b->areaCount; ++i) b->areas[i].data[b->areas[i].last - b->areas[i].first] = 2;
    }
    FreeImageBuffers(session.get());
    FreeImageBuffers(session.get());  // a second call is harmless
    EXPECT_EQ(HeldBlocks(*session), 0);
    // Setup area past 4 GiB, a 4-GiB area (no 32-bit size), last below first: refused, nothing left held.
    for (const auto& c : {std::make_pair(0xFFFF0000u, MemoryArea{0x1000, 0x1FFF, nullptr}),
                          std::make_pair(0x80000u, MemoryArea{0x00000000, 0xFFFFFFFF, nullptr}),
                          std::make_pair(0x80000u, MemoryArea{0x2000, 0x1FFF, nullptr})}) {
        session->platform.setupLoaderBase = c.first;
        session->userImage.areas[1] = c.second;
        EXPECT_EQ(AllocImageBuffers(session.get()), 0);
        EXPECT_EQ(HeldBlocks(*session), 0);
    }
}

}  // namespace
