#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "flashdll/image/image_buffer.h"
#include "flashdll/session.h"

namespace {

std::unique_ptr<Session> SessionWithPlatform(uint32_t setupBase, uint32_t flashBase) {
    auto session = std::make_unique<Session>();
    session->platform.setupLoaderBase = setupBase;
    session->platform.flashLoaderBase = flashBase;
    return session;
}

bool AllFree(const Session& session) {
    for (const ImageBuffer* buffer : {&session.setupLoaderImage, &session.flashLoaderImage, &session.userImage}) {
        for (const MemoryArea& area : buffer->areas) {
            if (area.data != nullptr) return false;
        }
    }
    return true;
}

TEST(AllocImageBuffers, SetsLoaderAreasAndAllocatesEveryArea) {
    auto session = SessionWithPlatform(0x00080000, 0x20100000);
    ImageBuffer& user = session->userImage;
    user.areaCount = 2;
    user.areas[0] = {0x20000000, 0x2000FFFF, nullptr};
    user.areas[1] = {0x30000000, 0x30000FFF, nullptr};

    ASSERT_EQ(AllocImageBuffers(session.get()), 1);
    EXPECT_EQ(session->setupLoaderImage.areaCount, 1u);
    EXPECT_EQ(session->setupLoaderImage.areas[0].first, 0x00080000u);
    EXPECT_EQ(session->setupLoaderImage.areas[0].last, 0x0009FFFFu);
    EXPECT_EQ(session->flashLoaderImage.areaCount, 1u);
    EXPECT_EQ(session->flashLoaderImage.areas[0].last, 0x201FFFFFu);
    // Every byte of every block must be writable (ASan catches short blocks).
    for (ImageBuffer* buffer : {&session->setupLoaderImage, &session->flashLoaderImage, &user}) {
        for (uint32_t i = 0; i < buffer->areaCount; ++i) {
            MemoryArea& area = buffer->areas[i];
            ASSERT_NE(area.data, nullptr);
            area.data[0] = 1;
            area.data[area.last - area.first] = 2;
        }
    }
    FreeImageBuffers(session.get());
    EXPECT_TRUE(AllFree(*session));
    FreeImageBuffers(session.get());  // a second call is harmless
}

TEST(AllocImageBuffers, RefusesAreasWhoseSizeWouldWrapAndFreesEverything) {
    struct Case { uint32_t setupBase; MemoryArea userArea; };
    const Case cases[] = {
        {0xFFFF0000, {0x1000, 0x1FFF, nullptr}},          // setup loader area runs past 4 GiB
        {0x00080000, {0x00000000, 0xFFFFFFFF, nullptr}},  // 4 GiB does not fit a 32-bit size
        {0x00080000, {0x2000, 0x1FFF, nullptr}},          // last below first
    };
    for (const Case& c : cases) {
        auto session = SessionWithPlatform(c.setupBase, 0x20100000);
        session->userImage.areaCount = 2;
        session->userImage.areas[0] = {0x20000000, 0x20000FFF, nullptr};
        session->userImage.areas[1] = c.userArea;
        EXPECT_EQ(AllocImageBuffers(session.get()), 0);
        EXPECT_TRUE(AllFree(*session)) << "blocks left after a failed allocation";
    }
}

TEST(FindArea, FirstAreaHoldingTheAddressInclusive) {
    ImageBuffer buffer = {};
    buffer.areaCount = 3;
    buffer.areas[0] = {0x1000, 0x1FFF, nullptr};
    buffer.areas[1] = {0x1800, 0x27FF, nullptr};  // overlaps area 0: the first one wins
    buffer.areas[2] = {0xFFFFF000, 0xFFFFFFFF, nullptr};
    EXPECT_EQ(FindArea(&buffer, 0x1000), 0u);
    EXPECT_EQ(FindArea(&buffer, 0x1FFF), 0u);
    EXPECT_EQ(FindArea(&buffer, 0x2000), 1u);
    EXPECT_EQ(FindArea(&buffer, 0x27FF), 1u);
    EXPECT_EQ(FindArea(&buffer, 0xFFFFFFFF), 2u);
    EXPECT_EQ(FindArea(&buffer, 0x0FFF), kNoArea);
    EXPECT_EQ(FindArea(&buffer, 0x2800), kNoArea);
    buffer.areaCount = 1;
    EXPECT_EQ(FindArea(&buffer, 0x2000), kNoArea) << "areas beyond the count must not be searched";
}

TEST(ResetImageBuffers, ClearsCountsAndPointersWithoutFreeing) {
    auto session = SessionWithPlatform(0, 0x100000);
    ASSERT_EQ(AllocImageBuffers(session.get()), 1);
    uint8_t* setupBlock = session->setupLoaderImage.areas[0].data;
    uint8_t* flashBlock = session->flashLoaderImage.areas[0].data;
    ResetImageBuffers(session.get());
    EXPECT_EQ(session->setupLoaderImage.areaCount, 0u);
    EXPECT_EQ(session->flashLoaderImage.areaCount, 0u);
    EXPECT_TRUE(AllFree(*session));
    std::free(setupBlock);
    std::free(flashBlock);
}

}  // namespace
