#include "cli_args.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "flashdll/flashdll.h"

namespace {

constexpr unsigned kMaxComNumber = 64;

const char kUsage[] =
    "Usage: flashcli [FLAG]... OPTION...\n"
    "       flashcli --handsets FILE [--log-dir DIR] [FLAG]... OPTION...\n"
    "\n"
    "Runs one job on a handset, or the same job on every handset of FILE at once.\n"
    "The OPTIONs are joined with blanks into one option string, for example:\n"
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
    "  --port N=PATH        device of COM port N (1..64); default /dev/ttyS<N-1>,\n"
    "                       on Windows \\\\.\\COM<N>\n"
    "  --home DIR           directory of platform.def, flash.types and the loader\n"
    "                       files; default: the directory of the flashcli program\n"
    "  --contents FILE      contents file (modes flash_contents and contents)\n"
    "  --contents-mode N    contents mode: non-zero reads the contents file,\n"
    "                       5 writes the handset's files only\n"
    "  --polling-variant N  1 selects the 2 ms variant of polling reads\n"
    "  --json               every event as one JSON object per line on stdout\n"
    "  -q, --quiet          only warnings, errors, the summary and the result\n"
    "  -v, --verbose        the library's log lines too (adds /debug=1)\n"
    "  --handsets FILE      one handset a line: NAME 1=PATH [2=PATH] ('#' starts a\n"
    "                       comment); the job runs on all of them at once\n"
    "  --log-dir DIR        with --handsets: each handset's full log, log lines\n"
    "                       included, in DIR/NAME.log\n"
    "  --version            show the library's version\n"
    "  --help               show this text\n"
    "The option string has no key for the contents file, the contents mode or the\n"
    "polling variant: give them with --contents, --contents-mode and\n"
    "--polling-variant (they are applied after the option string is read).\n"
    "\n"
    "Output on stdout: one line per message (\"warning: \" and \"error: \" mark\n"
    "warnings and errors), \"status: TEXT\" for status texts, progress as a bar on\n"
    "a terminal or as lines \"progress: TITLE NN%\" at every 10% otherwise, then\n"
    "\"summary: ...\" (bytes, time, rate and share of the line of the main\n"
    "operation) and \"result: NAME (CODE)\". With --handsets: a table on a\n"
    "terminal, otherwise every line prefixed \"[NAME] \" and a table at the end.\n"
    "Ctrl-C asks every running job to stop; each then ends with ERR_ABORT.\n"
    "\n"
    "Exit status: the job's error code (with --handsets 0 when every handset\n"
    "succeeded, otherwise the code of the first handset in FILE that failed):\n"
    "   0 SUCCESS                      20 ERR_CMD_FAILED (the handset refused)\n"
    "   2 ERR_COM (port unusable)      21 ERR_RANGE_OUTSIDE_FLASH\n"
    "   3 ERR_ABORT (Ctrl-C)           24 ERR_VERIFY_DIFFERENCE\n"
    "   5 ERR_PROTOCOL                 28 ERR_BAD_CMDLINE (usage error)\n"
    "   6 ERR_TIMEOUT (no answer)      30 ERR_BAD_PLATFORM\n"
    "   8 ERR_WRONG_FILE_LOAD (image)  31 ERR_BAD_PARAMS (incomplete job)\n"
    "  15 ERR_TOO_MANY_RETRIES         32 ERR_BAD_CONTENTS\n"
    "  16 ERR_FILEIO\n";

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

bool TakeText(const std::string& flag, const std::string& value, std::string* target, std::string* error) {
    *target = value;
    if (!value.empty()) return true;
    *error = flag + " needs a value";
    return false;
}

bool ApplyFlag(const std::string& flag, const std::string& value, CliArgs* args, std::string* error) {
    if (flag == "--port") return ParsePort(value, args, error);
    if (flag == "--home") return TakeText(flag, value, &args->home, error);
    if (flag == "--handsets") return TakeText(flag, value, &args->handsetsFile, error);
    if (flag == "--log-dir") return TakeText(flag, value, &args->logDir, error);
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
           flag == "--polling-variant" || flag == "--handsets" || flag == "--log-dir";
}

// Flags without a value; false when `word` is none of them.
bool ApplySwitch(const std::string& word, CliArgs* args) {
    bool* target = word == "--json"                      ? &args->json
                   : word == "-q" || word == "--quiet"   ? &args->quiet
                   : word == "-v" || word == "--verbose" ? &args->verbose
                   : word == "--help"                    ? &args->help
                   : word == "--version"                 ? &args->version
                                                         : nullptr;
    if (target != nullptr) *target = true;
    return target != nullptr;
}

bool CheckCombination(const CliArgs& args, std::string* error) {
    if (args.optionWords.empty()) *error = "no OPTION given";
    if (args.quiet && args.verbose) *error = "-q and -v exclude each other";
    if (!args.logDir.empty() && args.handsetsFile.empty()) *error = "--log-dir needs --handsets";
    if (!args.handsetsFile.empty() && !args.ports.empty()) {
        *error = "--port cannot be used with --handsets: the file names every handset's devices";
    }
    return error->empty();
}

void JoinOptions(CliArgs* args) {
    for (const std::string& word : args->optionWords) {
        if (!args->optionText.empty()) args->optionText += ' ';
        args->optionText += word;
    }
    // The last setting of a key wins, so this comes after the user's own.
    if (args->verbose) args->optionText += args->optionText.empty() ? "/debug=1" : " /debug=1";
}

}  // namespace

bool ParseCliArgs(int argc, char** argv, CliArgs* args, std::string* error) {
    bool flagsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!flagsEnded && ApplySwitch(word, args)) {
            if (args->help || args->version) return true;
            continue;
        }
        if (flagsEnded || word.compare(0, 2, "--") != 0) {
            args->optionWords.push_back(word);
            continue;
        }
        if (word == "--") {
            flagsEnded = true;
            continue;
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
    if (!CheckCombination(*args, error)) return false;
    JoinOptions(args);
    return true;
}

const char* UsageText() { return kUsage; }
