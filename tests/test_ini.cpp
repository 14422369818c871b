#include "flashdll/os/ini.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace {

std::string Get(const std::string& path, const char* section, const char* key, const char* fallback = "DEFAULT") {
    char out[256];
    const uint32_t length = os::IniGetString(path.c_str(), section, key, fallback, out, sizeof out);
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
}

TEST(Ini, LongLinesAreReadWholeAndValuesCutToTheBuffer) {
    testing_support::TempDir dir;
    // A key line of 40,000 characters spans several read chunks; the lines after it are still found.
    const auto path = dir.Write("a.ini", "[S]\nKey" + std::string(40000, ' ') + "=far\nLong=" + std::string(300, 'v'));
    EXPECT_EQ(Get(path, "S", "Key"), "far");
    EXPECT_EQ(Get(path, "S", "Long"), std::string(255, 'v'));
}

}  // namespace
