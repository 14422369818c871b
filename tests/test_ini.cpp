#include "flashdll/os/ini.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

std::string Get(const std::string& path, const char* section, const char* key, const char* fallback = "DEFAULT") {
    char out[256];
    const uint32_t length = os::IniGetString(path.c_str(), section, key, fallback, out, sizeof out);
    EXPECT_EQ(length, std::string(out).size());
    return out;
}

TEST(Ini, NamesTrimmingQuotesCommentsAndDefaults) {
    testing_support::TempDir dir;
    const std::string path = dir.Write("a.ini",
        "Outside=not in a section\n[Platform]\nFlashLoader=first.s19\nflashloader=second.s19\n"
        "  [ Chips ]  \n;Commented=yes\n  ; Indented=comment\n  Spaced  =   some value  \t\n"
        "Quoted=\"  kept blanks  \"\nHalfQuoted=\"open\nEquals=a=b\nno equals sign here\nEmpty=\nEmptyQuotes=\"\"\n"
        "[PLATFORM]\nFlashLoader=third.s19\nLate=late\n");
    const std::pair<const char*, const char*> chips[] = {
        {"Spaced", "some value"}, {"Quoted", "  kept blanks  "}, {"HalfQuoted", "\"open"}, {"Equals", "a=b"},
        {"Commented", "DEFAULT"}, {";Commented", "DEFAULT"}, {"Indented", "DEFAULT"}, {"Outside", "DEFAULT"},
        {"Empty", ""}, {"EmptyQuotes", ""}};  // present but empty is an empty text, not the default
    for (const auto& c : chips) EXPECT_EQ(Get(path, "chips", c.first), c.second) << c.first;
    EXPECT_EQ(Get(path, "platform", "FLASHLOADER"), "first.s19") << "first section and first key win";
    EXPECT_EQ(Get(path, "Platform", "Late"), "DEFAULT") << "a repeated section is not read";
    EXPECT_EQ(Get(path, "Missing", "FlashLoader"), "DEFAULT");
    EXPECT_EQ(Get(dir.File("absent.ini"), "S", "A"), "DEFAULT");
    EXPECT_EQ(Get(dir.File("absent.ini"), "S", "A", nullptr), "");
    EXPECT_EQ(Get(dir.Path(), "S", "A"), "DEFAULT") << "a directory is no file";

    const std::string crlf = dir.Write("b.ini", "\xEF\xBB\xBF[S]\r\nA=1\r\nB = two words \r\n\r\n[T]\r\nA=3");
    EXPECT_EQ(Get(crlf, "S", "A"), "1");
    EXPECT_EQ(Get(crlf, "S", "B"), "two words");
    EXPECT_EQ(Get(crlf, "T", "A"), "3") << "last line without a line end";
}

TEST(Ini, LongValuesAreCutAndLongFilesReadWhole) {
    testing_support::TempDir dir;
    const std::string value(300, 'v');
    std::string text = "[S]\nLong=" + value + "\nKey" + std::string(40000, ' ') + "=far value\n[Description]\n";
    std::vector<int> acrossBorders = {0, 2999};  // keys whose line crosses a 4-KiB boundary of the file
    for (int i = 0; i < 3000; ++i) {
        const size_t at = text.size();
        text += "0x0001_0x" + std::to_string(10000000 + i) + "=chip " + std::to_string(i) + "\n";
        if (at / 4096 != (text.size() - 1) / 4096) acrossBorders.push_back(i);
    }
    const std::string path = dir.Write("a.ini", text);
    char out[256], tiny[4];
    EXPECT_EQ(os::IniGetString(path.c_str(), "S", "Long", "", out, sizeof out), 255u);
    EXPECT_EQ(std::string(out), value.substr(0, 255));
    EXPECT_EQ(os::IniGetString(path.c_str(), "S", "Long", "", tiny, sizeof tiny), 3u);
    EXPECT_STREQ(tiny, "vvv");
    EXPECT_EQ(os::IniGetString(path.c_str(), "S", "None", "abcdef", tiny, sizeof tiny), 3u);
    EXPECT_STREQ(tiny, "abc") << "the default is cut the same way";
    // Lines and keys across the reader's chunk borders neither merge nor vanish.
    EXPECT_EQ(Get(path, "S", "Key"), "far value");
    ASSERT_GT(acrossBorders.size(), 10u);
    for (int i : acrossBorders) {
        const std::string key = "0x0001_0x" + std::to_string(10000000 + i);
        EXPECT_EQ(Get(path, "Description", key.c_str()), "chip " + std::to_string(i)) << key;
    }
}

}  // namespace
