#include "flashdll/os/ini.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;

constexpr uint32_t kBufferSize = 256;

std::string Get(const std::string& path, const char* section, const char* key, const char* fallback = "DEFAULT") {
    char out[kBufferSize];
    const uint32_t length = os::IniGetString(path.c_str(), section, key, fallback, out, sizeof out);
    EXPECT_EQ(length, std::string(out).size());
    return out;
}

TEST(Ini, NamesIgnoreCaseAndFirstSectionAndKeyWin) {
    TempDir dir;
    const std::string path = dir.Write("a.ini",
                                       "[Platform]\n"
                                       "FlashLoader=first.s19\n"
                                       "flashloader=second.s19\n"
                                       "[Other]\n"
                                       "Only=other\n"
                                       "[PLATFORM]\n"
                                       "FlashLoader=third.s19\n"
                                       "Late=late\n");
    EXPECT_EQ(Get(path, "platform", "FLASHLOADER"), "first.s19");
    EXPECT_EQ(Get(path, "other", "only"), "other");
    // A key only in a repeated section is not seen: the first section decides.
    EXPECT_EQ(Get(path, "Platform", "Late"), "DEFAULT");
    EXPECT_EQ(Get(path, "Missing", "FlashLoader"), "DEFAULT");
}

TEST(Ini, TrimsBlanksRemovesQuotesAndSkipsComments) {
    TempDir dir;
    const std::string path = dir.Write("a.ini",
                                       "Outside=not in a section\n"
                                       "  [ Chips ]  \n"
                                       ";Commented=yes\n"
                                       "  ; Indented=comment\n"
                                       "  Spaced  =   some value  \t\n"
                                       "Quoted=\"  kept blanks  \"\n"
                                       "HalfQuoted=\"open\n"
                                       "OneQuote=\"\n"
                                       "Equals=a=b\n"
                                       "no equals sign here\n"
                                       "Empty=\n"
                                       "EmptyQuotes=\"\"\n");
    EXPECT_EQ(Get(path, "Chips", "Spaced"), "some value");
    EXPECT_EQ(Get(path, "Chips", "Quoted"), "  kept blanks  ");
    EXPECT_EQ(Get(path, "Chips", "HalfQuoted"), "\"open");
    EXPECT_EQ(Get(path, "Chips", "OneQuote"), "\"");
    EXPECT_EQ(Get(path, "Chips", "Equals"), "a=b");
    EXPECT_EQ(Get(path, "Chips", "Commented"), "DEFAULT");
    EXPECT_EQ(Get(path, "Chips", ";Commented"), "DEFAULT");
    EXPECT_EQ(Get(path, "Chips", "Indented"), "DEFAULT");
    EXPECT_EQ(Get(path, "Chips", "Outside"), "DEFAULT");
    // Present but empty is an empty text, not the default.
    EXPECT_EQ(Get(path, "Chips", "Empty"), "");
    EXPECT_EQ(Get(path, "Chips", "EmptyQuotes"), "");
}

TEST(Ini, CrLfFilesAndByteOrderMarkReadLikeLf) {
    TempDir dir;
    const std::string path = dir.Write("a.ini", "\xEF\xBB\xBF[S]\r\nA=1\r\nB = two words \r\n\r\n[T]\r\nA=3");
    EXPECT_EQ(Get(path, "S", "A"), "1");
    EXPECT_EQ(Get(path, "S", "B"), "two words");
    EXPECT_EQ(Get(path, "T", "A"), "3");  // last line without a line end
}

TEST(Ini, MissingFileGivesDefault) {
    TempDir dir;
    EXPECT_EQ(Get(dir.File("absent.ini"), "S", "A"), "DEFAULT");
    EXPECT_EQ(Get(dir.File("absent.ini"), "S", "A", nullptr), "");
    // A directory cannot be read as a file either.
    EXPECT_EQ(Get(dir.Path(), "S", "A"), "DEFAULT");
}

TEST(Ini, LongValuesAreCutToTheBuffer) {
    TempDir dir;
    const std::string value(300, 'v');
    const std::string path = dir.Write("a.ini", "[S]\nLong=" + value + "\n");
    char out[kBufferSize];
    EXPECT_EQ(os::IniGetString(path.c_str(), "S", "Long", "", out, sizeof out), 255u);
    EXPECT_EQ(std::string(out), value.substr(0, 255));
    char tiny[4];
    EXPECT_EQ(os::IniGetString(path.c_str(), "S", "Long", "", tiny, sizeof tiny), 3u);
    EXPECT_STREQ(tiny, "vvv");
    // The default is cut the same way.
    EXPECT_EQ(os::IniGetString(path.c_str(), "S", "None", "abcdef", tiny, sizeof tiny), 3u);
    EXPECT_STREQ(tiny, "abc");
}

TEST(Ini, LinesLongerThanOneReadChunkAreReadWhole) {
    // Lines of 40,000 bytes span several read chunks of the reader.
    TempDir dir;
    const std::string filler(40000, 'f');
    const std::string path = dir.Write("a.ini", "[S]\nFiller=" + filler + "\nKey" + std::string(40000, ' ') +
                                                    "=far value\n" + "After=1\n");
    EXPECT_EQ(Get(path, "S", "Key"), "far value");
    EXPECT_EQ(Get(path, "S", "After"), "1");
    EXPECT_EQ(Get(path, "S", "Filler").size(), 255u);
}

TEST(Ini, ManyKeysFindTheRightOne) {
    // Keys around the reader's chunk borders must neither merge nor vanish.
    TempDir dir;
    std::string text = "[Description]\n";
    for (int i = 0; i < 3000; ++i) text += "0x0001_0x" + std::to_string(10000000 + i) + "=chip " + std::to_string(i) + "\n";
    const std::string path = dir.Write("a.ini", text);
    for (int i : {0, 1, 455, 456, 457, 1500, 2999}) {
        const std::string key = "0x0001_0x" + std::to_string(10000000 + i);
        EXPECT_EQ(Get(path, "Description", key.c_str()), "chip " + std::to_string(i)) << key;
    }
}

}  // namespace
