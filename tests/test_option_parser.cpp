// The option parser's inner rules. The echo and refusal texts, the usage
// lines and the record of a typical option string are checked from outside
// by tests/c_host/c_host_check.c.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "flashdll/api/option_parser.h"
#include "support/recording_host.h"

namespace {

using testing_support::RecordingHost;
using Strings = std::vector<std::string>;

struct ParserTest : ::testing::Test {
    RecordingHost host;
    std::unique_ptr<FlashLoadOptions> options = std::make_unique<FlashLoadOptions>();
    uint32_t count = 0;

    void SetUp() override {
        ASSERT_EQ(FlashInit(&host.descriptor, options.get()), SUCCESS);
        host.InstallCallbacks();
    }
    void TearDown() override { FlashFinish(&host.descriptor); }
    uint32_t Parse(const std::string& text) {
        host.Clear();
        count = 12345;
        return FlashParseOptionString(&host.descriptor, text.c_str(), &count, options.get());
    }
};

#define RECORD(expression) [](const FlashLoadOptions& o) { return expression; }

// Each text is parsed into the record left by the one before.
TEST_F(ParserTest, StoresWhatEachOptionSays) {
    const struct { const char* text; uint32_t code; bool (*holds)(const FlashLoadOptions&); } cases[] = {
        {"/com=1,2,3", SUCCESS, RECORD(o.com[0] == 0 && o.com[1] == 1)},
        {"/com=,,64", SUCCESS, RECORD(o.com[0] == 63 && o.com[1] == 64)},
        {"/com=1,2 /com=9", SUCCESS, RECORD(o.com[0] == 8 && o.com[1] == 64)},
        {"/maxspeed=230400", SUCCESS, RECORD(o.maxspeed[0] == 2 && o.maxspeed[1] == 1)},
        {"/maxspeed=57600,460800", SUCCESS, RECORD(o.maxspeed[0] == 0 && o.maxspeed[1] == 3)},
        {"/mode=flash", SUCCESS, RECORD(o.mode == FLASH_MODE_FLASH)},
        {"/mode=VERIFY", SUCCESS, RECORD(o.mode == FLASH_MODE_VERIFY)},
        {"/mode=suck", SUCCESS, RECORD(o.mode == FLASH_MODE_READ)},
        {"/mode=Flash_Contents", SUCCESS, RECORD(o.mode == FLASH_MODE_FLASH_CONTENTS)},
        {"/mode=contents", SUCCESS, RECORD(o.mode == FLASH_MODE_CONTENTS)},
        {"/phases=FL", SUCCESS, RECORD(o.phases == FLASH_PHASES_FL)},
        {"/eraseunused=1 /sparenand=7 /fsformat=1 /extprotect=1 /unattended=1", SUCCESS,
         RECORD(o.eraseunused == 1 && o.sparenand == 1 && o.fsformat == 1 && o.extprotect == 1 && o.unattended == 1)},
        {"/erase=9 /com=5 /reserved=1-2", SUCCESS, RECORD(o.erase == 9)},  // 9 is refused later, by the check
        {"/platform=X", SUCCESS, RECORD(o.erase == 1 && o.com[0] == 64 && o.reservedcount == 0 && o.unattended == 0)},
        {"/erase=-1", SUCCESS, RECORD(o.erase == 0xFFFFFFFFu)},
        {"/platform=\"open ended", SUCCESS, RECORD(std::string(o.platform) == "open ended")},
        {"/read=0x200-0x2ff /read=0x100-0x1ff", SUCCESS,  // sorted
         RECORD(o.readcount == 2 && o.read[0].first == 0x100 && o.read[1].last == 0x2ff)},
        {"/reserved=300-400 /reserved=1-2 /com=2 /mode=bad /erase=5", ERR_BAD_CMDLINE,  // kept, never sorted
         RECORD(o.reserved[0].first == 300 && o.reservedcount == 2 && o.com[0] == 1 && o.erase == 1)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(c.text), c.code) << c.text;
        EXPECT_TRUE(c.holds(*options)) << c.text;
    }
}

// Text fields hold 250 bytes, range lists 50 ranges, keys and values 512
// bytes: a longer key or value is refused as an unknown option, its message
// cut to 259 characters like every message.
TEST_F(ParserTest, TextsAndListsKeepTheirBounds) {
    ASSERT_EQ(Parse("/savefile=S /file=" + std::string(300, 'f')), SUCCESS);
    EXPECT_EQ(std::string(options->file, sizeof options->file), std::string(250, 'f'));  // without its NUL
    EXPECT_STREQ(options->savefile, "S");  // the next field
    EXPECT_EQ(host.Messages(), (Strings{"/savefile=S", "/file=" + std::string(250, 'f')}));

    std::string many;
    for (int i = 0; i < 51; ++i) many += " /read=" + std::to_string(i * 10) + "-" + std::to_string(i * 10 + 5);
    EXPECT_EQ(Parse(many), ERR_BAD_CMDLINE);
    EXPECT_EQ(host.Messages(2), Strings{"Too many /read definitions (max. 50)"});
    EXPECT_EQ(options->readcount, 50u);

    const std::string longKey(600, 'k');
    EXPECT_EQ(Parse("/" + longKey + "=1"), ERR_BAD_CMDLINE);
    EXPECT_EQ(host.Messages(2), Strings{("Unknown option: " + longKey).substr(0, 259)});
    EXPECT_EQ(host.Messages().size(), 1u + kUsageLineCount);
    EXPECT_EQ(Parse("/file=" + std::string(511, 'v')), SUCCESS);
    EXPECT_EQ(Parse("/com=1 /file=" + std::string(512, 'v')), ERR_BAD_CMDLINE);
    EXPECT_EQ(host.Messages(2), Strings{"Unknown option: file"});
    EXPECT_EQ(Parse("/reserved=1-" + std::string(600, '9')), ERR_BAD_CMDLINE);
    EXPECT_EQ(host.Messages(2), Strings{"Unknown option: reserved"});
}

// Random texts of the characters the parser reacts to, in lengths around
// its buffer sizes; the sanitizer build reports any access out of bounds.
TEST_F(ParserTest, AnyTextGivesAResultWithoutOverrun) {
    const std::string alphabet = "/-=:\" ,0123456789xXabcmodefilrsv";
    const char* const keys[] = {"com", "file", "mode", "reserved", "read", "maxspeed", "erase", "platform"};
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (size_t length = random() % 1300; text.size() < length;) {
            const size_t run = 1 + random() % (random() % 4 == 0 ? 600 : 3);
            text += random() % 8 == 0 ? "/" + std::string(keys[random() % 8]) + "="
                                      : std::string(run, alphabet[random() % alphabet.size()]);
        }
        const uint32_t code = Parse(text);
        ASSERT_TRUE(code == SUCCESS || code == ERR_BAD_CMDLINE) << text;
        EXPECT_TRUE(options->reservedcount <= 50 && options->readcount <= 50 && (code == SUCCESS || count == 0));
    }
}

// A text that holds a double quote cannot be written between quotes so that
// it reads back (before, /platform="P1"/com=2" read back as platform P1 on
// COM2): the maker refuses such a record, but only for the texts its mode
// writes. (Made strings reading back as their records: c_host_check.)
TEST_F(ParserTest, MakerRefusesTextsWithAQuote) {
    char made[1024];
    const struct { const char* text; uint32_t code; } cases[] = {
        {"/platform=P1\"/com=2 /com=1 /mode=verify /file=f", ERR_BAD_PARAMS},
        {"/platform=P1 /com=1 /mode=verify /file=a\"b", ERR_BAD_PARAMS},
        {"/platform=P1 /com=1 /mode=flash /file=a\"b", ERR_BAD_PARAMS},
        {"/platform=P1 /com=1 /mode=read /savefile=a\"b", ERR_BAD_PARAMS},
        {"/platform=P1 /com=1 /mode=read /savefile=s /file=a\"b", SUCCESS},  // read jobs write no file item
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Parse(c.text), SUCCESS) << c.text;
        made[0] = 'x';
        EXPECT_EQ(FlashMakeOptionString(options.get(), made, sizeof made), c.code) << c.text;
        if (c.code != SUCCESS) {
            EXPECT_STREQ(made, "") << c.text;
        }
    }
}

TEST(ParseRange, ReadsDecimalAndHexadecimalBoundsOf32Bits) {
    const struct { std::string text; bool valid; uint32_t first, last; } cases[] = {
        {"256-511", true, 256, 511},
        {"0x100-0x1FF", true, 256, 511},
        {"10x-200", true, 0x10, 200},  // an 'x' anywhere makes a bound hexadecimal
        {"  12-  0X20", true, 12, 32},
        {"5-7-9", true, 5, 7},         // a second "-" ends the second bound
        {"10kb-20kb", true, 10, 20},   // trailing text is ignored
        {"0-4294967295", true, 0, 0xFFFFFFFFu},
        {std::string(97, ' ') + "256-" + std::string(96, ' ') + "1000", true, 256, 1000},  // 100 characters each
        {std::string(98, ' ') + "256-1000", false, 0, 0},  // 101 characters
        {"1-" + std::string(98, ' ') + "1000", false, 0, 0},
        {"4294967296-5", false, 0, 0},  // beyond 32 bits, not cut to 0
        {"0-0x100000001", false, 0, 0},
        {"7-7", false, 0, 0},
        {"8-7", false, 0, 0},
        {"7-", false, 0, 0},
        {"-7", false, 0, 0},
        {"7", false, 0, 0},
    };
    for (const auto& c : cases) {
        FlashRange range = {1, 1};
        EXPECT_EQ(ParseRange(c.text.c_str(), &range), c.valid) << c.text;
        if (c.valid) {
            EXPECT_TRUE(range.first == c.first && range.last == c.last) << c.text;
        }
    }
}

}  // namespace
