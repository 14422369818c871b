// The validity check of the load options record, rule by rule. The defaults
// are checked from outside by tests/c_host/c_host_check.c.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "flashdll/session/options.h"

namespace {

#define CHANGE(...) [](FlashLoadOptions& o) { (void)o; __VA_ARGS__; }

void NoNul(char* field) { std::memset(field, 'x', FLASH_TEXT_FIELD); }

TEST(CheckLoadOptions, AppliesEachRuleToTheFieldsOfTheMode) {
    const struct { const char* name; uint32_t mode; void (*change)(FlashLoadOptions&); uint32_t expected; } cases[] = {
        {"defaults with COM1", 0, CHANGE(), SUCCESS},
        {"no port", 0, CHANGE(o.com[0] = 64), ERR_BAD_PARAMS},
        {"mode 3", 3, CHANGE(), ERR_BAD_PARAMS},
        {"mode contents", 5, CHANGE(), SUCCESS},
        {"erase 9 flash", 0, CHANGE(o.erase = 9), ERR_BAD_PARAMS},
        {"erase 9 verify", 1, CHANGE(o.erase = 9), SUCCESS},
        {"erase 8 flash", 0, CHANGE(o.erase = 8), SUCCESS},
        {"reserved first == last", 0, CHANGE(o.reservedcount = 1; o.reserved[0] = {5, 5}), SUCCESS},
        {"reserved first > last", 4, CHANGE(o.reservedcount = 1; o.reserved[0] = {6, 5}), ERR_BAD_PARAMS},
        {"reserved unchecked in verify", 1, CHANGE(o.reservedcount = 1; o.reserved[0] = {6, 5}), SUCCESS},
        {"reserved count 51", 0, CHANGE(o.reservedcount = 51; for (auto& r : o.reserved) r = {0, 1}), ERR_BAD_PARAMS},
        // Counts above 50 would lead the preparation past the lists, in every mode.
        {"reserved count 51 verify", 1, CHANGE(o.reservedcount = 51), ERR_BAD_PARAMS},
        {"reserved count 51 read", 2, CHANGE(o.reservedcount = 51), ERR_BAD_PARAMS},
        {"read count 51 flash", 0, CHANGE(o.readcount = 51), ERR_BAD_PARAMS},
        {"read count 51 contents", 5, CHANGE(o.readcount = 51), ERR_BAD_PARAMS},
        {"read count 50 flash", 0, CHANGE(o.readcount = 50; o.read[0] = {9, 8}), SUCCESS},
        {"file without NUL flash", 0, CHANGE(NoNul(o.file)), ERR_BAD_PARAMS},
        {"file without NUL verify", 1, CHANGE(NoNul(o.file)), ERR_BAD_PARAMS},
        {"file without NUL read", 2, CHANGE(NoNul(o.file)), SUCCESS},
        {"savefile of 249 read", 2, CHANGE(std::memset(o.savefile, 's', 249)), SUCCESS},
        {"savefile without NUL read", 2, CHANGE(NoNul(o.savefile)), ERR_BAD_PARAMS},
        {"read first > last", 2, CHANGE(o.readcount = 1; o.read[0] = {9, 8}), ERR_BAD_PARAMS},
        {"read count 51", 2, CHANGE(o.readcount = 51; for (auto& r : o.read) r = {0, 1}), ERR_BAD_PARAMS},
        {"phases 2", 0, CHANGE(o.phases = 2), SUCCESS},
        {"phases 3", 0, CHANGE(o.phases = 3), ERR_BAD_PARAMS},
        {"com (0,0)", 0, CHANGE(o.com[1] = 0), SUCCESS},
        {"com 63", 0, CHANGE(o.com[0] = 63), SUCCESS},
        {"com 65 second", 0, CHANGE(o.com[1] = 65), ERR_BAD_PARAMS},
        {"speed of absent port", 0, CHANGE(o.maxspeed[1] = 7), SUCCESS},
        {"speed of second port", 0, CHANGE(o.com[1] = 5; o.maxspeed[1] = 5), ERR_BAD_PARAMS},
        {"speed of first port", 0, CHANGE(o.maxspeed[0] = 5), ERR_BAD_PARAMS},
        {"platform without NUL", 1, CHANGE(NoNul(o.platform)), ERR_BAD_PARAMS},
        {"contents path without NUL", 2, CHANGE(NoNul(o.contentsfile)), ERR_BAD_PARAMS},
    };
    for (const auto& c : cases) {
        auto options = std::make_unique<FlashLoadOptions>();
        std::memset(options.get(), 0xA5, sizeof *options);
        SetLoadOptionDefaults(options.get());
        options->com[0] = 0;
        options->mode = c.mode;
        c.change(*options);
        EXPECT_EQ(CheckLoadOptions(options.get()), c.expected) << c.name;
    }
    EXPECT_EQ(CheckLoadOptions(nullptr), ERR_BAD_PARAMS);
}

}  // namespace
