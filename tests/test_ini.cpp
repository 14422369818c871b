#include "flashdll/os/ini.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace {

std::string Get(const std::string& path, const char* section, const char* key, const char* fallback = "DEFAULT",
                uint32_t size = 256) {
    char out[256];
    const uint32_t length = os::IniGetString(path.c_str(), section, key, fallback, out, size);
    EXPECT_EQ(length, std::string(out).size()) << key;
    return out;
}

TEST(Ini, NamesTrimmingQuotesCommentsDefaultsAndLineEnds) {
    testing_support::TempDir dir;
    const std::string text = "Outside=not in a section\n[Platform]\nFlashLoader=first.s19\nflashloader=second.s19\n"
                             "[PLATFORM]\nFlashLoader=third.s19\nLate=late\n  [ Chips ]  \n;Commented=yes\n"
                             "  ; Indented=comment\n  Spaced  =   some value  \t\nQuoted=\"  kept blanks  \"\n"
                             "HalfQuoted=\"open\nEquals=a=b\nno equals sign here\nEmpty=\nEmptyQuotes=\"\"\nLast=end";
    const std::pair<const char*, const char*> chips[] = {
        {"Spaced", "some value"}, {"Quoted", "  kept blanks  "}, {"HalfQuoted", "\"open"}, {"Equals", "a=b"},
        {"Commented", "DEFAULT"}, {";Commented", "DEFAULT"}, {"Indented", "DEFAULT"}, {"Outside", "DEFAULT"},
        {"Empty", ""}, {"EmptyQuotes", ""}, {"LAST", "end"}};  // present but empty is an empty text, not the default
    for (const std::string end : {"\n", "\r\n"}) {
        std::string file = end == "\n" ? text : "\xEF\xBB\xBF";  // a byte order mark before CR LF lines
        for (size_t i = 0; end != "\n" && i < text.size(); ++i) file += text[i] == '\n' ? end : std::string(1, text[i]);
        const std::string path = dir.Write("a.ini", file);
        for (const auto& c : chips) EXPECT_EQ(Get(path, "chips", c.first), c.second) << c.first << end.size();
        EXPECT_EQ(Get(path, "platform", "FLASHLOADER"), "first.s19") << "first section and first key win";
        EXPECT_EQ(Get(path, "Platform", "Late"), "DEFAULT") << "a repeated section is not read";
        EXPECT_EQ(Get(path, "Missing", "FlashLoader"), "DEFAULT");
    }
    EXPECT_EQ(Get(dir.File("absent.ini"), "S", "A"), "DEFAULT");
    EXPECT_EQ(Get(dir.File("absent.ini"), "S", "A", nullptr), "");
    EXPECT_EQ(Get(dir.Path(), "S", "A"), "DEFAULT") << "a directory is no file";
}

TEST(Ini, LongValuesAreCutAndLongFilesReadWhole) {
    testing_support::TempDir dir;
    std::string text = "[S]\nLong=" + std::string(300, 'v') + "\nKey" + std::string(40000, ' ') + "=far\n[Chips]\n";
    std::vector<int> acrossBorders = {0, 2999};  // keys whose line crosses a 4-KiB boundary of the file
    for (int i = 0; i < 3000; ++i) {
        const size_t at = text.size();
        text += "0x0001_0x" + std::to_string(10000000 + i) + "=chip " + std::to_string(i) + "\n";
        if (at / 4096 != (text.size() - 1) / 4096) acrossBorders.push_back(i);
    }
    const std::string path = dir.Write("a.ini", text);
    EXPECT_EQ(Get(path, "S", "Long"), std::string(255, 'v'));
    EXPECT_EQ(Get(path, "S", "Long", "", 4), "vvv");
    EXPECT_EQ(Get(path, "S", "None", "abcdef", 4), "abc") << "the default is cut the same way";
    // Lines and keys across the reader's chunk borders neither merge nor vanish.
    EXPECT_EQ(Get(path, "S", "Key"), "far");
    ASSERT_GT(acrossBorders.size(), 10u);
    for (int i : acrossBorders) {
        const std::string key = "0x0001_0x" + std::to_string(10000000 + i);
        EXPECT_EQ(Get(path, "Chips", key.c_str()), "chip " + std::to_string(i)) << key;
    }
}

}  // namespace
