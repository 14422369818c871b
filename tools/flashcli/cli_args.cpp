#include "cli_args.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "flashdll/flashdll.h"

namespace {

constexpr unsigned kMaxComNumber = 64;

const char kUsage[] =
    "Usage: flashcli [--port N=PATH]... [--home DIR] [--contents FILE] [--contents-mode N]\n"
    "                [--polling-variant N] OPTION...\n"
    "\n"
    "Runs one job on a handset. The OPTIONs are joined with blanks into one option\n"
    "string, for example:\n"
    "  flashcli --port 1=/dev/ttyUSB0 /platform=P1 /com=1 /mode=flash /file=image.s19\n"
    "A value with blanks needs double quotes inside its argument: '/file=\"my image.s19\"'.\n"
    "\n"
    "Option string keys (a leading '-' works like '/', ':' like '='):\n"
    "  /platform=NAME  /com=N[,N]  /mode=flash|verify|read|flash_contents|contents\n"
    "  /file=NAME  /savefile=NAME  /phases=all|bl|fl  /erase=N  /reserved=FIRST-LAST\n"
    "  /read=FIRST-LAST  /maxspeed=BPS[,BPS]  /debug=0|1  /diff=0|1  /noretry=0|1\n"
    "  /unattended=0|1  /eraseunused=0|1  /extprotect=0|1  /sparenand=0|1  /fsformat=0|1\n"
    "  /asyncerase=0|1\n"
    "\n"
    "Flags:\n"
    "  --port N=PATH        device of COM port N (1..64); default /dev/ttyS<N-1>\n"
    "  --home DIR           directory of platform.def, flash.types and the loader\n"
    "                       files; default: the directory of the flashcli program\n"
    "  --contents FILE      contents file (modes flash_contents and contents)\n"
    "  --contents-mode N    contents mode: non-zero reads the contents file,\n"
    "                       5 writes the handset's files only\n"
    "  --polling-variant N  1 selects the 2 ms variant of polling reads\n"
    "  --help               show this text\n"
    "The option string has no key for the contents file, the contents mode or the\n"
    "polling variant: give them with --contents, --contents-mode and\n"
    "--polling-variant (they are applied after the option string is read).\n"
    "\n"
    "Output on stdout: one line per message (\"warning: \" and \"error: \" mark\n"
    "warnings and errors), \"status: TEXT\" for status texts, and progress as a bar\n"
    "on a terminal or as lines \"progress: TITLE NN%\" otherwise.\n"
    "Ctrl-C asks the job to stop; it then ends with ERR_ABORT.\n"
    "\n"
    "Exit status: the job's error code: 0 success, 3 aborted, 28 a refused option\n"
    "string or a bad flag, 31 an incomplete job description, others as named in\n"
    "the job's last message.\n";

bool ParseUnsigned(const std::string& text, uint32_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || number > UINT32_MAX) return false;
    *value = static_cast<uint32_t>(number);
    return true;
}

// "N=PATH" with N in 1..64 and a non-empty path.
bool ParsePort(const std::string& text, CliArgs* args, std::string* error) {
    const size_t equals = text.find('=');
    uint32_t number = 0;
    if (equals == std::string::npos || !ParseUnsigned(text.substr(0, equals), &number) || number < 1 ||
        number > kMaxComNumber || equals + 1 == text.size()) {
        *error = "--port needs N=PATH with N from 1 to 64, not '" + text + "'";
        return false;
    }
    args->ports.emplace_back(number, text.substr(equals + 1));
    return true;
}

bool ApplyFlag(const std::string& flag, const std::string& value, CliArgs* args, std::string* error) {
    if (flag == "--port") return ParsePort(value, args, error);
    if (flag == "--home") {
        args->home = value;
        if (!value.empty()) return true;
        *error = "--home needs a directory";
        return false;
    }
    if (flag == "--contents") {
        args->contentsFile = value;
        args->hasContentsFile = true;
        if (value.size() < FLASH_TEXT_FIELD) return true;
        *error = "--contents: the path is longer than 249 characters";
        return false;
    }
    uint32_t* target = flag == "--contents-mode" ? &args->contentsMode : &args->pollingVariant;
    bool* given = flag == "--contents-mode" ? &args->hasContentsMode : &args->hasPollingVariant;
    if (ParseUnsigned(value, target)) {
        *given = true;
        return true;
    }
    *error = flag + " needs an unsigned number, not '" + value + "'";
    return false;
}

bool TakesValue(const std::string& flag) {
    return flag == "--port" || flag == "--home" || flag == "--contents" || flag == "--contents-mode" ||
           flag == "--polling-variant";
}

void AddOption(const char* word, CliArgs* args) {
    if (!args->optionText.empty()) args->optionText += ' ';
    args->optionText += word;
}

}  // namespace

bool ParseCliArgs(int argc, char** argv, CliArgs* args, std::string* error) {
    bool flagsEnded = false;
    bool anyOption = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (flagsEnded || word.compare(0, 2, "--") != 0) {
            AddOption(argv[i], args);
            anyOption = true;
            continue;
        }
        if (word == "--") {
            flagsEnded = true;
            continue;
        }
        if (word == "--help") {
            args->help = true;
            return true;
        }
        // "--flag VALUE" or "--flag=VALUE"
        const size_t equals = word.find('=');
        const std::string flag = word.substr(0, equals);
        if (!TakesValue(flag)) {
            *error = "unknown flag '" + word + "'";
            return false;
        }
        if (equals == std::string::npos && i + 1 >= argc) {
            *error = flag + " needs a value";
            return false;
        }
        const std::string value = equals != std::string::npos ? word.substr(equals + 1) : argv[++i];
        if (!ApplyFlag(flag, value, args, error)) return false;
    }
    if (!anyOption) {
        *error = "no OPTION given";
        return false;
    }
    return true;
}

const char* UsageText() { return kUsage; }
