// mkcontents: writes a contents file from handset files on disk.
//
//   mkcontents OUT.bin SECTION...
//     --ffs VOL1,VOL2  OWNER:FILEID[:NAME]=PATH ...
//     --cfs            NAME=PATH ...
//     --fdi START,END  NAME=PATH ...
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "contents_builder.h"

namespace {

using mkcontents::Bytes;
using mkcontents::ContentsBuilder;
using mkcontents::SectionKind;

const char kUsage[] =
    "usage: mkcontents OUT.bin SECTION...\n"
    "\n"
    "Writes a contents file: up to 4 file-system sections of up to 64 files each.\n"
    "Each section starts with its option; the file arguments after it belong to it.\n"
    "\n"
    "  --ffs VOL1,VOL2 OWNER:FILEID[:NAME]=PATH ...\n"
    "        flash file system section with its two volume words; each file is\n"
    "        named by owner id (0..255) and file id (0..65535), with an optional\n"
    "        name (default: the base name of PATH)\n"
    "  --cfs NAME=PATH ...\n"
    "        CFS section; each file is stored under NAME\n"
    "  --fdi START,END NAME=PATH ...\n"
    "        FDI section for the flash area START..END; files stored under NAME\n"
    "  -h, --help\n"
    "        show this text\n"
    "\n"
    "Numbers are decimal or hexadecimal with 0x. Names hold at most 255 characters\n"
    "and no '='. Example:\n"
    "  mkcontents bundle.bin --ffs 0,1 1:2=tone.bin --cfs logo.bmp=./logo.bmp\n";

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "mkcontents: %s\n", message.c_str());
    std::exit(1);
}

uint32_t ParseNumber(const std::string& text, uint32_t limit, const char* what) {
    if (text.empty()) Fail(std::string("missing ") + what);
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || value > limit || text[0] == '-') {
        Fail(std::string("bad ") + what + ": " + text);
    }
    return static_cast<uint32_t>(value);
}

// "A,B" into two 32-bit numbers.
void ParsePair(const std::string& text, const char* what, uint32_t* first, uint32_t* second) {
    const size_t comma = text.find(',');
    if (comma == std::string::npos) Fail(std::string("expected two numbers for ") + what + ": " + text);
    *first = ParseNumber(text.substr(0, comma), 0xFFFFFFFFu, what);
    *second = ParseNumber(text.substr(comma + 1), 0xFFFFFFFFu, what);
}

Bytes ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail("cannot read " + path);
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() > 0xFFFFFFFFu) Fail("file too large: " + path);
    return data;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void CheckName(const std::string& name) {
    if (name.size() > mkcontents::kMaxNameLength) Fail("name longer than 255 characters: " + name);
}

// One file argument of the current section.
void AddFile(ContentsBuilder& builder, const std::string& argument) {
    const size_t equals = argument.find('=');
    if (equals == std::string::npos || equals + 1 == argument.size()) Fail("expected NAME=PATH: " + argument);
    const std::string left = argument.substr(0, equals);
    const std::string path = argument.substr(equals + 1);
    if (builder.Sections().back().kind != SectionKind::kFfs) {
        if (left.empty()) Fail("missing name: " + argument);
        CheckName(left);
        builder.AddNamedFile(left, ReadWholeFile(path));
        return;
    }
    const size_t colon = left.find(':');
    if (colon == std::string::npos) Fail("expected OWNER:FILEID[:NAME]=PATH: " + argument);
    const size_t nameColon = left.find(':', colon + 1);
    const uint32_t owner = ParseNumber(left.substr(0, colon), 0xFF, "owner id");
    const uint32_t fileId = ParseNumber(left.substr(colon + 1, nameColon - colon - 1), 0xFFFF, "file id");
    const std::string name = nameColon != std::string::npos ? left.substr(nameColon + 1) : BaseName(path);
    CheckName(name);
    builder.AddFfsFile(static_cast<uint8_t>(owner), static_cast<uint16_t>(fileId), ReadWholeFile(path), name);
}

// Opens a section for the option at args[*i] (advancing past its value).
void AddSection(ContentsBuilder& builder, const std::vector<std::string>& args, size_t* i) {
    const std::string& option = args[*i];
    if (builder.Sections().size() == mkcontents::kMaxSections) Fail("more than 4 sections");
    if (option == "--cfs") {
        builder.AddCfs();
        return;
    }
    if (option != "--ffs" && option != "--fdi") Fail("unknown option " + option);
    if (*i + 1 >= args.size()) Fail(option + " needs two numbers");
    uint32_t first = 0;
    uint32_t second = 0;
    ParsePair(args[++*i], option == "--ffs" ? "volume words" : "area", &first, &second);
    if (option == "--ffs") {
        builder.AddFfs(first, second);
    } else {
        if (second < first) Fail("FDI area ends before it starts");
        builder.AddFdi(first, second);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& arg : args) {
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    if (args.size() < 2 || args[0].rfind("--", 0) == 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    ContentsBuilder builder;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i].rfind("--", 0) == 0) {
            AddSection(builder, args, &i);
            continue;
        }
        if (builder.Sections().empty()) Fail("a file before any section: " + args[i]);
        if (builder.Sections().back().files.size() == mkcontents::kMaxFilesPerSection) {
            Fail("more than 64 files in a section");
        }
        AddFile(builder, args[i]);
    }
    if (builder.Sections().empty()) Fail("no section given");
    const Bytes bytes = builder.Build();
    if (!mkcontents::WriteBytesToFile(args[0], bytes)) Fail("cannot write " + args[0]);
    std::printf("%s: %zu sections, %zu bytes\n", args[0].c_str(), builder.Sections().size(), bytes.size());
    return 0;
}
