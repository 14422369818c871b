#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "flashdll/options.h"

namespace {

std::unique_ptr<FlashLoadOptions> DefaultRecord() {
    auto options = std::make_unique<FlashLoadOptions>();
    std::memset(options.get(), 0xA5, sizeof *options);
    SetLoadOptionDefaults(options.get());
    return options;
}

// A record that passes the check: defaults plus COM1.
std::unique_ptr<FlashLoadOptions> ValidRecord(uint32_t mode) {
    auto options = DefaultRecord();
    options->com[0] = 0;
    options->mode = mode;
    return options;
}

bool AllZero(const char* field, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (field[i] != 0) return false;
    }
    return true;
}

TEST(LoadOptionDefaults, WritesDefaultsAndKeepsUntouchedFields) {
    auto options = std::make_unique<FlashLoadOptions>();
    std::memset(options.get(), 0xA5, sizeof *options);
    SetLoadOptionDefaults(options.get());

    EXPECT_TRUE(AllZero(options->platform, sizeof options->platform));
    EXPECT_TRUE(AllZero(options->contentsfile, sizeof options->contentsfile));
    EXPECT_TRUE(AllZero(options->file, sizeof options->file));
    EXPECT_TRUE(AllZero(options->savefile, sizeof options->savefile));
    EXPECT_EQ(options->com[0], 64u);
    EXPECT_EQ(options->com[1], 64u);
    EXPECT_EQ(options->maxspeed[0], 1u);
    EXPECT_EQ(options->maxspeed[1], 1u);
    EXPECT_EQ(options->mode, 0u);
    EXPECT_EQ(options->erase, 1u);
    EXPECT_EQ(options->phases, 0u);
    EXPECT_EQ(options->pollingvariant, 0u);
    EXPECT_EQ(options->reservedcount, 0u);
    EXPECT_EQ(options->readcount, 0u);
    const uint32_t flags[] = {options->debug,      options->eraseunused, options->sparenand,
                              options->fsformat,   options->extprotect,  options->noretry,
                              options->unattended, options->asyncerase};
    for (uint32_t flag : flags) EXPECT_EQ(flag, 0u);
    EXPECT_EQ(options->diff, 1u);

    // Untouched: contents table, contents mode, range arrays.
    EXPECT_EQ(options->contents[3][17103], 0xA5);
    EXPECT_EQ(options->contentsmode, 0xA5A5A5A5u);
    EXPECT_EQ(options->reserved[0].first, 0xA5A5A5A5u);
    EXPECT_EQ(options->read[49].last, 0xA5A5A5A5u);
}

TEST(LoadOptionDefaults, FreshDefaultsFailForLackOfAPort) {
    EXPECT_EQ(CheckLoadOptions(DefaultRecord().get()), ERR_BAD_PARAMS);
    EXPECT_EQ(CheckLoadOptions(ValidRecord(FLASH_MODE_FLASH).get()), SUCCESS);
    EXPECT_EQ(CheckLoadOptions(nullptr), ERR_BAD_PARAMS);
}

struct CheckCase {
    const char* name;
    uint32_t mode;
    std::function<void(FlashLoadOptions&)> change;
    uint32_t expected;
};

void FillWithoutNul(char* field) { std::memset(field, 'x', FLASH_TEXT_FIELD); }

TEST(CheckLoadOptions, AppliesEachRule) {
    const CheckCase cases[] = {
        {"mode 3", 3, [](FlashLoadOptions&) {}, ERR_BAD_PARAMS},
        {"mode 6", 6, [](FlashLoadOptions&) {}, ERR_BAD_PARAMS},
        {"contents mode valid", 5, [](FlashLoadOptions&) {}, SUCCESS},
        {"erase 9 flash", 0, [](FlashLoadOptions& o) { o.erase = 9; }, ERR_BAD_PARAMS},
        {"erase 9 flash_contents", 4, [](FlashLoadOptions& o) { o.erase = 9; }, ERR_BAD_PARAMS},
        {"erase 9 verify", 1, [](FlashLoadOptions& o) { o.erase = 9; }, SUCCESS},
        {"erase 8 flash", 0, [](FlashLoadOptions& o) { o.erase = 8; }, SUCCESS},
        {"erase 0 flash", 0, [](FlashLoadOptions& o) { o.erase = 0; }, SUCCESS},
        {"reserved first == last", 0,
         [](FlashLoadOptions& o) { o.reservedcount = 1; o.reserved[0] = {5, 5}; }, SUCCESS},
        {"reserved first > last", 0,
         [](FlashLoadOptions& o) { o.reservedcount = 1; o.reserved[0] = {6, 5}; }, ERR_BAD_PARAMS},
        {"reserved not checked in verify", 1,
         [](FlashLoadOptions& o) { o.reservedcount = 60; o.reserved[0] = {6, 5}; }, SUCCESS},
        {"reserved count 51", 0, [](FlashLoadOptions& o) {
             o.reservedcount = 51;
             for (auto& r : o.reserved) r = {0, 1};
         }, ERR_BAD_PARAMS},
        {"file without NUL flash", 0, [](FlashLoadOptions& o) { FillWithoutNul(o.file); }, ERR_BAD_PARAMS},
        {"file without NUL verify", 1, [](FlashLoadOptions& o) { FillWithoutNul(o.file); }, ERR_BAD_PARAMS},
        {"file without NUL read", 2, [](FlashLoadOptions& o) { FillWithoutNul(o.file); }, SUCCESS},
        {"savefile 249 read", 2, [](FlashLoadOptions& o) { std::memset(o.savefile, 's', 249); }, SUCCESS},
        {"savefile without NUL read", 2, [](FlashLoadOptions& o) { FillWithoutNul(o.savefile); }, ERR_BAD_PARAMS},
        {"read first > last", 2,
         [](FlashLoadOptions& o) { o.readcount = 1; o.read[0] = {9, 8}; }, ERR_BAD_PARAMS},
        {"read count 51", 2, [](FlashLoadOptions& o) {
             o.readcount = 51;
             for (auto& r : o.read) r = {0, 1};
         }, ERR_BAD_PARAMS},
        {"phases 2", 0, [](FlashLoadOptions& o) { o.phases = 2; }, SUCCESS},
        {"phases 3", 0, [](FlashLoadOptions& o) { o.phases = 3; }, ERR_BAD_PARAMS},
        {"com (0,0)", 0, [](FlashLoadOptions& o) { o.com[1] = 0; }, SUCCESS},
        {"com[0] 63", 0, [](FlashLoadOptions& o) { o.com[0] = 63; }, SUCCESS},
        {"com[0] none", 0, [](FlashLoadOptions& o) { o.com[0] = 64; }, ERR_BAD_PARAMS},
        {"speed of absent port", 0, [](FlashLoadOptions& o) {
             o.com[0] = 3; o.com[1] = 64; o.maxspeed[0] = 1; o.maxspeed[1] = 7;
         }, SUCCESS},
        {"speed of second port", 0, [](FlashLoadOptions& o) {
             o.com[0] = 3; o.com[1] = 5; o.maxspeed[0] = 1; o.maxspeed[1] = 5;
         }, ERR_BAD_PARAMS},
        {"speed of first port", 0, [](FlashLoadOptions& o) { o.maxspeed[0] = 5; }, ERR_BAD_PARAMS},
        {"com[1] 65", 0, [](FlashLoadOptions& o) { o.com[1] = 65; }, ERR_BAD_PARAMS},
        {"platform without NUL", 1, [](FlashLoadOptions& o) { FillWithoutNul(o.platform); }, ERR_BAD_PARAMS},
        {"contents path without NUL", 2,
         [](FlashLoadOptions& o) { FillWithoutNul(o.contentsfile); }, ERR_BAD_PARAMS},
        {"flags are not checked", 0, [](FlashLoadOptions& o) { o.debug = 7; o.diff = 9; }, SUCCESS},
    };
    for (const CheckCase& c : cases) {
        auto options = ValidRecord(c.mode);
        c.change(*options);
        EXPECT_EQ(CheckLoadOptions(options.get()), c.expected) << c.name;
    }
}

TEST(FieldHasNul, LooksOnlyWithinTheField) {
    const char field[4] = {'a', 'b', 'c', 'd'};
    EXPECT_FALSE(FieldHasNul(field, sizeof field));
    EXPECT_TRUE(FieldHasNul("abc", 4));
    EXPECT_FALSE(FieldHasNul("abc", 3));
}

}  // namespace
