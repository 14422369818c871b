#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "flashdll/option_parser.h"
#include "flashdll/session.h"
#include "support/recording_host.h"

namespace {

using testing_support::HostEvent;
using testing_support::HostEventKind;
using testing_support::RecordingHost;
using Message = std::pair<uint32_t, std::string>;  // level, text

const std::vector<std::string> kUsage = {
    "Valid options: (values that contain blanks have to be enclosed in double quotes)",
    "/platform=#      specify type of hardware",
    "/com=#[,#]       com port(s) to be used (1..12)",
    "/mode=           flash|verify|read",
    "/file=name       filename of image to be flashed into mobile",
    "/savefile=name   filename to write the read data into",
    "/phases=         all|bl|fl",
    "/erase=#         number of erase passes on flash sectors (1..8)",
    "/debug=#         verbose output during operation (0|1)",
    "/reserved=#-#    treat memory range #..# as reserved",
    "/read=#-#        read memory range #..# from mobile",
    "/eraseunused=#   erase unused parts of flash (0|1) (very slow)",
    "/extprotect=#    extra safety for flash sectors (0|1) (slow)",
    "/noretry=#       in case of an error, no retry is done (0|1)",
    "/unattended=#    for use in batch files (0|1)",
    "/diff=#          only flash differences (0|1)",
    "/maxspeed=#[,#]  limit transfer speed to 57600|115200|230400|460800|921600",
};

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
    std::vector<Message> Messages() const {
        std::vector<Message> messages;
        for (const HostEvent& event : host.Events()) {
            if (event.kind == HostEventKind::Message) messages.emplace_back(event.a, event.text);
        }
        return messages;
    }
    // Expects a refusal by exactly one level-2 message after the echoes.
    void ExpectRefused(const std::string& text, const std::string& message) {
        EXPECT_EQ(Parse(text), ERR_BAD_CMDLINE) << text;
        EXPECT_EQ(count, 0u) << text;
        const std::vector<Message> messages = Messages();
        ASSERT_FALSE(messages.empty()) << text;
        EXPECT_EQ(messages.back(), Message(2, message)) << text;
        EXPECT_EQ(host.Messages(2).size(), 1u) << text;
    }
};

TEST_F(ParserTest, EmptyTextGivesDefaults) {
    options->com[0] = 3;
    EXPECT_EQ(Parse(""), SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(options->com[0], 64u);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(ParserTest, EchoesEachAcceptedOptionAtLevelZero) {
    ASSERT_EQ(Parse("/platform=P1 /com=1,2 /mode=READ /file=a.s19 /suckfile=out.s19 /phases=BL "
                    "/erase=3 /debug=5 /read=0x100-0x1FF /reserved=256-511 /maxspeed=921600 "
                    "/diff=0 /asyncerase=1"),
              SUCCESS);
    EXPECT_EQ(count, 13u);
    const std::vector<Message> expected = {
        {0, "/platform=P1"},
        {0, "/com=1,2 "},
        {0, "/mode=read"},
        {0, "/file=a.s19"},
        {0, "/savefile=out.s19"},
        {0, "/phases=bl"},
        {0, "/erase=3"},
        {0, "/debug=1"},
        {0, "/read=0x00000100 - 0x000001ff (256 - 511)"},
        {0, "/reserved=0x00000100 - 0x000001ff (256 - 511)"},
        {0, "/diff=0"},
        {0, "/asyncerase=1"},
    };
    EXPECT_EQ(Messages(), expected);  // maxspeed has no echo but counts
    EXPECT_STREQ(options->platform, "P1");
    EXPECT_STREQ(options->savefile, "out.s19");
    EXPECT_EQ(options->mode, 2u);
    EXPECT_EQ(options->phases, 1u);
    EXPECT_EQ(options->erase, 3u);
    EXPECT_EQ(options->maxspeed[0], 4u);
    EXPECT_EQ(options->maxspeed[1], 1u);
    EXPECT_EQ(options->diff, 0u);
    EXPECT_EQ(options->asyncerase, 1u);
}

TEST_F(ParserTest, FindsOptionsByDashSlashColonAndAnyCase) {
    ASSERT_EQ(Parse("junk /com=2"), SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(options->com[0], 1u);
    EXPECT_EQ(options->com[1], 64u);
    EXPECT_EQ(Messages(), (std::vector<Message>{{0, "/com=2 "}}));

    ASSERT_EQ(Parse("-com:3,4"), SUCCESS);
    EXPECT_EQ(options->com[0], 2u);
    EXPECT_EQ(options->com[1], 3u);
    ASSERT_EQ(Parse("/COM=3"), SUCCESS);
    EXPECT_EQ(options->com[0], 2u);
    EXPECT_EQ(options->com[1], 64u);
    ASSERT_EQ(Parse("/mode=  verify"), SUCCESS);  // blanks before a value are skipped
    EXPECT_EQ(options->mode, 1u);
}

TEST_F(ParserTest, EveryCallStartsFromDefaults) {
    ASSERT_EQ(Parse("/com=5 /erase=4 /reserved=1-2"), SUCCESS);
    ASSERT_EQ(Parse("/platform=X"), SUCCESS);
    EXPECT_EQ(options->com[0], 64u);
    EXPECT_EQ(options->erase, 1u);
    EXPECT_EQ(options->reservedcount, 0u);
}

TEST_F(ParserTest, ComPorts) {
    ASSERT_EQ(Parse("/com=1,2,3"), SUCCESS);
    EXPECT_EQ(options->com[0], 0u);
    EXPECT_EQ(options->com[1], 1u);
    ASSERT_EQ(Parse("/com=64"), SUCCESS);
    EXPECT_EQ(options->com[0], 63u);
    ASSERT_EQ(Parse("/com=,,7"), SUCCESS);  // empty items are skipped
    EXPECT_EQ(options->com[0], 6u);
    ASSERT_EQ(Parse("/com=1,2 /com=9"), SUCCESS);  // a later list replaces both entries
    EXPECT_EQ(options->com[0], 8u);
    EXPECT_EQ(options->com[1], 64u);

    ExpectRefused("/com=0", "0 is not a valid COM port. Valid are 1-12");
    ExpectRefused("/com=3,65", "65 is not a valid COM port. Valid are 1-12");
    ExpectRefused("/com=4294967297", "4294967297 is not a valid COM port. Valid are 1-12");
    ExpectRefused("/com=,", "No valid COM port specified.");
    ExpectRefused("/com", "No valid COM port specified.");
}

TEST_F(ParserTest, MaxSpeed) {
    ASSERT_EQ(Parse("/maxspeed=921600"), SUCCESS);
    EXPECT_EQ(options->maxspeed[0], 4u);
    EXPECT_EQ(options->maxspeed[1], 1u);
    ASSERT_EQ(Parse("/maxspeed=230400"), SUCCESS);
    EXPECT_EQ(options->maxspeed[0], 2u);
    ASSERT_EQ(Parse("/maxspeed=57600,460800"), SUCCESS);
    EXPECT_EQ(options->maxspeed[0], 0u);
    EXPECT_EQ(options->maxspeed[1], 3u);
    EXPECT_TRUE(Messages().empty());

    ExpectRefused("/maxspeed=115200,9600", "Unsupported MAXSPEED 9600");
    ExpectRefused("/maxspeed=", "no valid /maxspeed pecified");
    // Both items are examined, each reporting its own refusal.
    EXPECT_EQ(Parse("/maxspeed=1,2"), ERR_BAD_CMDLINE);
    EXPECT_EQ(Messages(), (std::vector<Message>{{2, "Unsupported MAXSPEED 1"}, {2, "Unsupported MAXSPEED 2"}}));
}

TEST_F(ParserTest, ModesAndPhases) {
    const std::pair<const char*, uint32_t> modes[] = {
        {"flash", 0}, {"VERIFY", 1}, {"READ", 2}, {"suck", 2}, {"Flash_Contents", 4}, {"contents", 5}};
    for (const auto& [word, mode] : modes) {
        ASSERT_EQ(Parse(std::string("/mode=") + word), SUCCESS) << word;
        EXPECT_EQ(options->mode, mode) << word;
    }
    ASSERT_EQ(Parse("/mode=READ"), SUCCESS);
    EXPECT_EQ(Messages(), (std::vector<Message>{{0, "/mode=read"}}));
    ExpectRefused("/mode=erase", "Unknown MODE erase");

    ASSERT_EQ(Parse("/phases=FL"), SUCCESS);
    EXPECT_EQ(options->phases, 2u);
    EXPECT_EQ(Messages(), (std::vector<Message>{{0, "/phases=fl"}}));
    ExpectRefused("/phases=some", "Unknown PHASE some");
}

TEST_F(ParserTest, FlagsAndErase) {
    ASSERT_EQ(Parse("/diff=yes"), SUCCESS);
    EXPECT_EQ(options->diff, 0u);
    ASSERT_EQ(Parse("/diff=2 /noretry=-1 /unattended=0"), SUCCESS);
    EXPECT_EQ(options->diff, 1u);
    EXPECT_EQ(options->noretry, 1u);
    EXPECT_EQ(options->unattended, 0u);
    ASSERT_EQ(Parse("/com=1 /debug"), SUCCESS);  // a key at the very end has an empty value
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(options->debug, 0u);
    EXPECT_EQ(Messages().back(), Message(0, "/debug=0"));

    ASSERT_EQ(Parse("/erase=9"), SUCCESS);  // refused later by the check, not here
    EXPECT_EQ(options->erase, 9u);
    ASSERT_EQ(Parse("/erase=-1"), SUCCESS);
    EXPECT_EQ(options->erase, 0xFFFFFFFFu);
    EXPECT_EQ(Parse("/erase=0"), ERR_BAD_CMDLINE);  // silently
    EXPECT_TRUE(Messages().empty());
}

TEST_F(ParserTest, QuotedValuesKeepBlanks) {
    ASSERT_EQ(Parse("/file=\"my image-1.s19\" /com=1"), SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_STREQ(options->file, "my image-1.s19");
    EXPECT_EQ(options->com[0], 0u);
    ASSERT_EQ(Parse("/platform=\"open ended"), SUCCESS);  // no closing quote: to the end
    EXPECT_STREQ(options->platform, "open ended");
}

TEST_F(ParserTest, LongFileNameFillsTheFieldWithoutReadingPastIt) {
    const std::string name(300, 'f');
    ASSERT_EQ(Parse("/file=" + name), SUCCESS);
    EXPECT_EQ(std::string(options->file, sizeof options->file), std::string(250, 'f'));
    EXPECT_EQ(Messages(), (std::vector<Message>{{0, "/file=" + std::string(250, 'f')}}));
    EXPECT_EQ(options->savefile[0], '\0');  // the next field is untouched
}

TEST_F(ParserTest, RangesAreCheckedAndSorted) {
    ASSERT_EQ(Parse("/reserved=0x100-0x1FF /reserved=0x0-0xFF /read=0x2000-0x2fff /suck=16-31"), SUCCESS);
    ASSERT_EQ(options->reservedcount, 2u);
    EXPECT_EQ(options->reserved[0].first, 0u);
    EXPECT_EQ(options->reserved[0].last, 255u);
    EXPECT_EQ(options->reserved[1].first, 256u);
    EXPECT_EQ(options->reserved[1].last, 511u);
    ASSERT_EQ(options->readcount, 2u);
    EXPECT_EQ(options->read[0].first, 16u);
    EXPECT_EQ(options->read[1].first, 0x2000u);

    ExpectRefused("/reserved=0x100-0x1FF /reserved=0x180-0x280", "Overlapping /reserved regions defined");
    ExpectRefused("/read=10-20 /read=20-30", "Overlapping /read regions defined");
    ExpectRefused("/reserved=0x100-0x100", "Bad /reserved definition: 0x100-0x100");
    ExpectRefused("/reserved=0x100", "Bad /reserved definition: 0x100");
    ExpectRefused("/read=a-b", "Bad /read definition: a-b");

    std::string many;
    for (int i = 0; i < 51; ++i) many += " /reserved=" + std::to_string(i * 10) + "-" + std::to_string(i * 10 + 5);
    ExpectRefused(many, "Too many /reserved definitions (max. 50)");
    EXPECT_EQ(options->reservedcount, 50u);  // accepted ones stay
}

TEST_F(ParserTest, RefusalKeepsEarlierOptionsAndSkipsSorting) {
    EXPECT_EQ(Parse("/reserved=300-400 /reserved=1-2 /com=2 /mode=bad /erase=5"), ERR_BAD_CMDLINE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(options->com[0], 1u);
    EXPECT_EQ(options->erase, 1u);  // after the refusal: never read
    ASSERT_EQ(options->reservedcount, 2u);
    EXPECT_EQ(options->reserved[0].first, 300u);  // not sorted
}

TEST_F(ParserTest, UnknownOptionShowsUsage) {
    EXPECT_EQ(Parse("/com=1 /contents=x"), ERR_BAD_CMDLINE);
    std::vector<Message> expected = {{0, "/com=1 "}, {2, "Unknown option: contents"}};
    for (const std::string& line : kUsage) expected.emplace_back(0, line);
    EXPECT_EQ(Messages(), expected);

    // Blanks belong to the key.
    EXPECT_EQ(Parse("/ com=1"), ERR_BAD_CMDLINE);
    EXPECT_EQ(Messages()[0], Message(2, "Unknown option:  com"));
}

TEST_F(ParserTest, UsageOnlyAfterUnknownKeys) {
    EXPECT_EQ(Parse("/com=0"), ERR_BAD_CMDLINE);
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(ParserTest, EmptyKeyEndsTheParse) {
    ASSERT_EQ(Parse("/com=1 /=5 /erase=3"), SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(options->erase, 1u);
}

TEST_F(ParserTest, OverlongKeysAndValuesAreRefusedAsUnknown) {
    const std::string longKey(600, 'k');
    EXPECT_EQ(Parse("/" + longKey + "=1"), ERR_BAD_CMDLINE);
    const std::vector<Message> messages = Messages();
    ASSERT_EQ(messages.size(), 1u + kUsage.size());
    // The message is cut to 259 characters like every host message.
    EXPECT_EQ(messages[0], Message(2, ("Unknown option: " + longKey).substr(0, 259)));


    // A value of 511 characters fits its buffer; one more does not.
    ASSERT_EQ(Parse("/file=" + std::string(511, 'v')), SUCCESS);
    EXPECT_EQ(Parse("/com=1 /file=" + std::string(512, 'v')), ERR_BAD_CMDLINE);
    ASSERT_EQ(Messages().size(), 2u + kUsage.size());
    EXPECT_EQ(Messages()[1], Message(2, "Unknown option: file"));
    EXPECT_EQ(Parse("/reserved=1-" + std::string(600, '9')), ERR_BAD_CMDLINE);
    EXPECT_EQ(Messages()[0], Message(2, "Unknown option: reserved"));
}

// Texts built from the characters the parser reacts to, in lengths around
// its buffer sizes; the sanitizer build reports any read or write out of
// bounds.
TEST_F(ParserTest, AnyTextGivesAResultWithoutOverrun) {
    const std::string alphabet = "/-=:\" ,0123456789xXabcmodefilrsv";
    const std::string keys[] = {"com", "file", "mode", "reserved", "read", "maxspeed", "erase", "platform"};
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const size_t length = random() % 1300;
        while (text.size() < length) {
            if (random() % 8 == 0) {
                text += "/" + keys[random() % std::size(keys)] + "=";
            } else {
                text += std::string(1 + random() % (random() % 4 == 0 ? 600 : 3), alphabet[random() % alphabet.size()]);
            }
        }
        const uint32_t code = Parse(text);
        ASSERT_TRUE(code == SUCCESS || code == ERR_BAD_CMDLINE) << text;
        EXPECT_LE(options->reservedcount, 50u);
        EXPECT_LE(options->readcount, 50u);
        if (code == ERR_BAD_CMDLINE) {
            EXPECT_EQ(count, 0u);
        }
    }
}

TEST_F(ParserTest, NullArgumentsAndMissingSession) {
    EXPECT_EQ(FlashParseOptionString(nullptr, "/com=1", &count, options.get()), ERR_BAD_PARAMS);
    EXPECT_EQ(FlashParseOptionString(&host.descriptor, nullptr, &count, options.get()), ERR_BAD_PARAMS);
    EXPECT_EQ(FlashParseOptionString(&host.descriptor, "/com=1", &count, nullptr), ERR_BAD_PARAMS);
    EXPECT_EQ(FlashParseOptionString(&host.descriptor, "/com=1", nullptr, options.get()), SUCCESS);
    RecordingHost unlinked;
    count = 7;
    EXPECT_EQ(FlashParseOptionString(&unlinked.descriptor, "/com=1", &count, options.get()), ERR_BAD_PARAMS);
    EXPECT_EQ(count, 0u);
}

TEST(ParseRange, ReadsDecimalAndHexadecimalBounds) {
    struct Case {
        const char* text;
        bool valid;
        uint32_t first, last;
    };
    const Case cases[] = {
        {"256-511", true, 256, 511},
        {"0x100-0x1FF", true, 256, 511},
        {"10x-200", true, 0x10, 200},  // an 'x' anywhere makes a bound hexadecimal
        {"  12-  0X20", true, 12, 32},
        {"5-7-9", true, 5, 7},           // a second "-" ends the second bound
        {"10kb-20kb", true, 10, 20},     // trailing text is ignored
        {"0-4294967295", true, 0, 0xFFFFFFFFu},
        {"0-4294967296", false, 0, 0},   // beyond 32 bits
        {"0-0x100000000", false, 0, 0},
        {"7-7", false, 0, 0},
        {"8-7", false, 0, 0},
        {"7", false, 0, 0},
        {"7-", false, 0, 0},
        {"-7", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const Case& c : cases) {
        FlashRange range = {1, 1};
        EXPECT_EQ(ParseRange(c.text, &range), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(range.first, c.first) << c.text;
            EXPECT_EQ(range.last, c.last) << c.text;
        }
    }
}

TEST(ParseRange, BoundsLongerThanTheirBufferAreInvalid) {
    FlashRange range;
    const std::string padded100 = std::string(97, ' ') + "256";
    EXPECT_TRUE(ParseRange((padded100 + "-" + std::string(96, ' ') + "1000").c_str(), &range));
    EXPECT_EQ(range.first, 256u);
    EXPECT_EQ(range.last, 1000u);
    const std::string padded101 = std::string(98, ' ') + "256";
    EXPECT_FALSE(ParseRange((padded101 + "-1000").c_str(), &range));
    EXPECT_FALSE(ParseRange(("1-" + padded101 + "9").c_str(), &range));
}

}  // namespace
