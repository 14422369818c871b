#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "flashdll/options.h"
#include "support/recording_host.h"

namespace {

using testing_support::RecordingHost;

std::unique_ptr<FlashLoadOptions> Record(uint32_t mode) {
    auto options = std::make_unique<FlashLoadOptions>();
    std::memset(options.get(), 0, sizeof *options);
    SetLoadOptionDefaults(options.get());
    std::strcpy(options->platform, "P");
    std::strcpy(options->file, "F");
    std::strcpy(options->savefile, "S");
    std::strcpy(options->contentsfile, "C");
    options->com[0] = 0;
    options->mode = mode;
    return options;
}

// The text made for `options`, and the result code.
std::pair<uint32_t, std::string> Make(const FlashLoadOptions* options, uint32_t size = 4096) {
    std::string buffer(size + 1, '#');  // one guard byte behind the caller's size
    const uint32_t code = FlashMakeOptionString(options, buffer.data(), size);
    EXPECT_EQ(buffer[size], '#') << "wrote past the buffer";
    const size_t end = buffer.find('\0');
    EXPECT_NE(end, std::string::npos) << "text without NUL";
    return {code, buffer.substr(0, end == std::string::npos ? 0 : end)};
}

const char* const kFlashText = "/platform=\"P\" /sparenand=0 /mode=FLASH /file=\"F\" /diff=1 /com=1 /maxspeed=115200";

TEST(MakeOptionString, FlashRecordWithDefaults) {
    EXPECT_EQ(Make(Record(0).get()), std::make_pair(SUCCESS + 0u, std::string(kFlashText)));
}

TEST(MakeOptionString, WritesOnlyWhatTheModeUses) {
    auto flash = Record(0);
    flash->com[0] = 2;
    flash->com[1] = 3;
    flash->maxspeed[0] = 4;
    flash->maxspeed[1] = 0;
    flash->erase = 3;
    flash->extprotect = 1;
    flash->reservedcount = 2;
    flash->reserved[0] = {0x100, 0x1FF};
    flash->reserved[1] = {0, 0};
    flash->phases = 1;
    flash->noretry = 1;
    flash->asyncerase = 1;
    flash->debug = flash->eraseunused = flash->unattended = 1;  // never written
    flash->readcount = 1;                                           // not in mode 0
    EXPECT_EQ(Make(flash.get()).second,
              "/platform=\"P\" /sparenand=0 /mode=FLASH /file=\"F\" /reserved=0x100-0x1ff "
              "/reserved=0x0-0x0 /diff=1 /extprotect=1 /erase=3 /com=3,4 /maxspeed=921600,57600 "
              "/phases=BL /noretry=1 /asyncerase=1");

    auto verify = Record(1);
    verify->phases = 2;
    verify->erase = 5;
    verify->sparenand = 1;
    EXPECT_EQ(Make(verify.get()).second,
              "/platform=\"P\" /sparenand=1 /mode=VERIFY /file=\"F\" /com=1 /maxspeed=115200 /phases=FL");

    auto read = Record(2);
    read->readcount = 2;
    read->read[0] = {0xA0000000, 0xA000FFFF};
    read->read[1] = {16, 31};
    read->reservedcount = 1;
    EXPECT_EQ(Make(read.get()).second,
              "/platform=\"P\" /sparenand=0 /mode=READ /savefile=\"S\" /read=0xa0000000-0xa000ffff "
              "/read=0x10-0x1f /com=1 /maxspeed=115200");

    auto both = Record(4);
    both->fsformat = 1;
    EXPECT_EQ(Make(both.get()).second,
              "/platform=\"P\" /sparenand=0 /contents=\"C\" /fsformat=1 /mode=FLASH /file=\"F\" /diff=1 "
              "/com=1 /maxspeed=115200");

    EXPECT_EQ(Make(Record(5).get()).second,
              "/platform=\"P\" /sparenand=0 /contents=\"C\" /fsformat=0 /com=1 /maxspeed=115200");
}

TEST(MakeOptionString, InvalidRecordGivesEmptyText) {
    auto options = Record(3);
    EXPECT_EQ(Make(options.get()), std::make_pair(ERR_BAD_PARAMS + 0u, std::string()));
    options = Record(0);
    std::memset(options->platform, 'p', sizeof options->platform);  // no NUL in the field
    EXPECT_EQ(Make(options.get()), std::make_pair(ERR_BAD_PARAMS + 0u, std::string()));
    EXPECT_EQ(Make(nullptr), std::make_pair(ERR_BAD_PARAMS + 0u, std::string()));
    EXPECT_EQ(FlashMakeOptionString(Record(0).get(), nullptr, 100), ERR_BAD_PARAMS);
}

TEST(MakeOptionString, TooSmallBufferKeepsWholePieces) {
    const std::string full = kFlashText;
    const uint32_t length = static_cast<uint32_t>(full.size());
    auto options = Record(0);
    EXPECT_EQ(Make(options.get(), length + 1), std::make_pair(SUCCESS + 0u, full));
    // One byte short: the last piece (the speed) is left out.
    EXPECT_EQ(Make(options.get(), length),
              std::make_pair(ERR_NOMEM + 0u, full.substr(0, full.size() - std::strlen("115200"))));
    EXPECT_EQ(Make(options.get(), 14), std::make_pair(ERR_NOMEM + 0u, std::string("/platform=\"P\"")));
    EXPECT_EQ(Make(options.get(), 13), std::make_pair(ERR_NOMEM + 0u, std::string()));
    EXPECT_EQ(Make(options.get(), 1), std::make_pair(ERR_NOMEM + 0u, std::string()));

    char untouched = '#';
    EXPECT_EQ(FlashMakeOptionString(options.get(), &untouched, 0), ERR_NOMEM);
    EXPECT_EQ(untouched, '#');
}

TEST(MakeOptionString, LongestTextsFit) {
    auto options = Record(0);
    std::memset(options->platform, 'p', 249);
    std::memset(options->file, 'f', 249);
    const auto [code, text] = Make(options.get());
    EXPECT_EQ(code, SUCCESS);
    EXPECT_NE(text.find("/platform=\"" + std::string(249, 'p') + "\" "), std::string::npos);
    EXPECT_NE(text.find("/file=\"" + std::string(249, 'f') + "\" "), std::string::npos);
}

// Parsing the made text gives back what the text carries: the text made
// again from the parsed record is the same (the texts themselves are
// checked above).
struct RoundTrip : ::testing::Test {
    RecordingHost host;
    std::unique_ptr<FlashLoadOptions> parsed = std::make_unique<FlashLoadOptions>();
    void SetUp() override { ASSERT_EQ(FlashInit(&host.descriptor, parsed.get()), SUCCESS); }
    void TearDown() override { FlashFinish(&host.descriptor); }

    void Check(const FlashLoadOptions& made) {
        const auto [code, text] = Make(&made);
        ASSERT_EQ(code, SUCCESS);
        ASSERT_EQ(FlashParseOptionString(&host.descriptor, text.c_str(), nullptr, parsed.get()), SUCCESS) << text;
        EXPECT_EQ(Make(parsed.get()).second, text);
        EXPECT_EQ(parsed->mode, made.mode);
        EXPECT_EQ(std::memcmp(parsed->com, made.com, sizeof made.com), 0) << text;
    }
};

TEST_F(RoundTrip, FlashVerifyAndReadRecords) {
    auto flash = Record(0);
    std::strcpy(flash->file, "dir with blanks/image-2.s19");
    flash->com[0] = 11;
    flash->com[1] = 63;
    flash->maxspeed[0] = 3;
    flash->maxspeed[1] = 2;
    flash->reservedcount = 2;
    flash->reserved[0] = {0x100, 0x1FF};
    flash->reserved[1] = {0x20000000, 0x2000FFFF};
    flash->diff = 0;
    flash->extprotect = 1;
    flash->erase = 4;
    flash->phases = 2;
    flash->noretry = 1;
    flash->asyncerase = 1;
    flash->sparenand = 1;
    Check(*flash);

    auto verify = Record(1);
    verify->phases = 1;
    Check(*verify);

    auto read = Record(2);
    std::strcpy(read->savefile, "out file.s19");
    read->readcount = 3;
    read->read[0] = {0, 0xFF};
    read->read[1] = {0x1000, 0x1FFF};
    read->read[2] = {0xFFFFFF00, 0xFFFFFFFF};
    Check(*read);
}

TEST_F(RoundTrip, ContentsTextsAreRefusedByTheParser) {
    const auto [code, text] = Make(Record(4).get());
    ASSERT_EQ(code, SUCCESS);
    EXPECT_EQ(FlashParseOptionString(&host.descriptor, text.c_str(), nullptr, parsed.get()), ERR_BAD_CMDLINE);
}

}  // namespace
