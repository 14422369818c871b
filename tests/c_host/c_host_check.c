/*
 * A host written in C that uses only the public header and the shared
 * library, the way a third-party host would. It stops at the first failed
 * check, naming its line and case, and exits non-zero.
 */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "flashdll/flashdll.h"

#define MAX_MESSAGES 40

typedef struct Host {
    FlashHostDescriptor descriptor; /* first: callbacks reach the host through it */
    unsigned count;
    char messages[MAX_MESSAGES][300]; /* each: the level digit, then the text */
} Host;

static const char *g_case = "";
static char g_text[1024]; /* texts made by FlashMakeOptionString */

static void OnMessage(FlashHostDescriptor *descriptor, uint32_t level, const char *text) {
    Host *host = (Host *)descriptor;
    if (host->count < MAX_MESSAGES) {
        snprintf(host->messages[host->count], sizeof host->messages[0], "%u%s", (unsigned)level, text);
    }
    host->count++;
}

static void Fail(int line, const char *what, const char *got, const char *expected) {
    fprintf(stderr, "c_host_check.c:%d: FAILED [%s] %s\n  got:      %s\n  expected: %s\n", line, g_case, what,
            got, expected);
    exit(1);
}

static void CheckEq(int line, const char *what, unsigned long got, unsigned long expected) {
    char x[24], y[24];
    sprintf(x, "%lu", got);
    sprintf(y, "%lu", expected);
    if (got != expected) Fail(line, what, x, y);
}

#define CHECK(c) do { if (!(c)) Fail(__LINE__, #c, "false", "true"); } while (0)
#define CHECK_EQ(a, b) CheckEq(__LINE__, #a, (unsigned long)(a), (unsigned long)(b))
#define CHECK_TEXT(a, b) do { if (strcmp((a), (b)) != 0) Fail(__LINE__, #a, (a), (b)); } while (0)

static const char *const kUsage[17] = {
    "0Valid options: (values that contain blanks have to be enclosed in double quotes)",
    "0/platform=#      specify type of hardware",
    "0/com=#[,#]       com port(s) to be used (1..12)",
    "0/mode=           flash|verify|read",
    "0/file=name       filename of image to be flashed into mobile",
    "0/savefile=name   filename to write the read data into",
    "0/phases=         all|bl|fl",
    "0/erase=#         number of erase passes on flash sectors (1..8)",
    "0/debug=#         verbose output during operation (0|1)",
    "0/reserved=#-#    treat memory range #..# as reserved",
    "0/read=#-#        read memory range #..# from mobile",
    "0/eraseunused=#   erase unused parts of flash (0|1) (very slow)",
    "0/extprotect=#    extra safety for flash sectors (0|1) (slow)",
    "0/noretry=#       in case of an error, no retry is done (0|1)",
    "0/unattended=#    for use in batch files (0|1)",
    "0/diff=#          only flash differences (0|1)",
    "0/maxspeed=#[,#]  limit transfer speed to 57600|115200|230400|460800|921600",
};

static void CheckErrorName(uint32_t code, const char *name) {
    char buffer[FLASH_ERROR_NAME_SIZE + 1];
    g_case = name;
    memset(buffer, '#', sizeof buffer);
    CHECK_EQ(FlashGetErrorString(code, buffer), SUCCESS);
    CHECK_TEXT(buffer, name);
    CHECK(buffer[FLASH_ERROR_NAME_SIZE] == '#');
}

static void CheckLayoutAndErrorNames(void) {
    static const char *const names[39] = { /* codes 0 to 38 */
        "SUCCESS", "ERR_NOMEM", "ERR_COM", "ERR_ABORT", "ERR_FLASHTYPE", "ERR_PROTOCOL", "ERR_TIMEOUT",
        "ERR_WRONG_DLL", "ERR_WRONG_FILE_LOAD", "ERR_WRONG_FILE_SAVE", "ERR_WRONG_FILE_SL", "ERR_WRONG_FILE_FL",
        "ERR_WRONG_READLENGTH", "ERR_CRC", "ERR_UNSUPPORTED", "ERR_TOO_MANY_RETRIES", "ERR_FILEIO",
        "ERR_BAD_SREC_FILE", "ERR_BAD_SREC_ADDR", "ERR_LEGACY_LOADER", "ERR_CMD_FAILED", "ERR_RANGE_OUTSIDE_FLASH",
        "ERR_RANGES_OVERLAP", "ERR_BAD_SREC_CHECKSUM", "ERR_VERIFY_DIFFERENCE", "ERR_TOO_MANY_RANGES",
        "ERR_UNKOWN_HW", "ERR_WRONG_FLASHLOADER", "ERR_BAD_CMDLINE", "ERR_SETUP", "ERR_BAD_PLATFORM",
        "ERR_BAD_PARAMS", "ERR_BAD_CONTENTS", "ERR_NOT_FOUND_FILE", "ERR_CONTENTS_READFAIL", "ERR_FILEOPEN_FAIL",
        "ERR_FILEWRITE_FAIL", "ERR_FILECLOSE_FAIL", "ERR_CHECKFILESIZE_FAIL",
    };
    uint32_t code;
    g_case = "layout";
    CHECK(sizeof(FlashLoadOptions) == 70296 && offsetof(FlashLoadOptions, contents) == 1000);
    CHECK(offsetof(FlashLoadOptions, com) == 69416 && offsetof(FlashLoadOptions, reservedcount) == 69452 &&
          offsetof(FlashLoadOptions, debug) == 70260 && (sizeof(void *) != 4 || sizeof(FlashHostDescriptor) == 32));
    for (code = 0; code < 39; ++code) CheckErrorName(code, names[code]);
    CheckErrorName(50, "ERR_BAD_RESERVED_RANGE");
    CheckErrorName(100, "ERR_UNKNOWN");
    CheckErrorName(39, "Unknown error: 39");
    CheckErrorName(49, "Unknown error: 49");
    CheckErrorName(51, "Unknown error: 51");
    CheckErrorName(99, "Unknown error: 99");
    CheckErrorName(101, "Unknown error: 101");
    CheckErrorName(4294967295u, "Unknown error: 4294967295");
}

static void CheckInit(Host *host, FlashLoadOptions *options) {
    static const char zero[FLASH_TEXT_FIELD];
    FlashHostDescriptor *d = &host->descriptor;
    g_case = "FlashInit";
    memset(host, 0, sizeof *host);
    memset(options, 0x5A, sizeof *options);
    d->OnMessage = OnMessage;
    d->size = sizeof(FlashHostDescriptor) - 4;
    CHECK_EQ(FlashInit(d, options), ERR_WRONG_DLL);
    d->size = sizeof(FlashHostDescriptor) + 4;
    CHECK_EQ(FlashInit(d, options), ERR_WRONG_DLL);
    CHECK(d->session == NULL && d->OnMessage == OnMessage && options->erase == 0x5A5A5A5Au);

    d->size = sizeof(FlashHostDescriptor);
    CHECK_EQ(FlashInit(d, options), SUCCESS);
    CHECK(d->session != NULL);
    CHECK(!d->OnProgressBegin && !d->OnProgressUpdate && !d->OnProgressEnd && !d->OnStatusText &&
          !d->OnMessage && !d->OnPollAbort);
    CHECK(!memcmp(options->platform, zero, sizeof zero) && !memcmp(options->contentsfile, zero, sizeof zero) &&
          !memcmp(options->file, zero, sizeof zero) && !memcmp(options->savefile, zero, sizeof zero));
    CHECK(options->com[0] == FLASH_NO_PORT && options->com[1] == FLASH_NO_PORT && options->maxspeed[0] == 1 &&
          options->maxspeed[1] == 1 && options->mode == FLASH_MODE_FLASH && options->phases == FLASH_PHASES_ALL);
    CHECK(options->erase == 1 && options->diff == 1 && options->pollingvariant == 0 && options->reservedcount == 0 &&
          options->readcount == 0);
    CHECK(options->debug == 0 && options->eraseunused == 0 && options->sparenand == 0 && options->fsformat == 0 &&
          options->extprotect == 0 && options->noretry == 0 && options->unattended == 0 && options->asyncerase == 0);
    /* The host's own fields and the range arrays keep their contents. */
    CHECK(options->contentsmode == 0x5A5A5A5Au && options->reserved[0].first == 0x5A5A5A5Au);
    d->OnMessage = OnMessage;
}

static void CheckNullArguments(Host *host, FlashLoadOptions *options) {
    static Host unlinked; /* never initialised */
    uint32_t count = 7;
    char text[8] = "#";
    g_case = "null arguments";
    unlinked.descriptor.size = sizeof(FlashHostDescriptor);
    CHECK_EQ(FlashInit(NULL, options), ERR_BAD_PARAMS);
    CHECK_EQ(FlashInit(&unlinked.descriptor, NULL), ERR_BAD_PARAMS);
    CHECK_EQ(FlashParseOptionString(NULL, "/com=1", &count, options), ERR_BAD_PARAMS);
    CHECK_EQ(count, 0);
    CHECK_EQ(FlashParseOptionString(&host->descriptor, NULL, &count, options), ERR_BAD_PARAMS);
    CHECK_EQ(FlashParseOptionString(&host->descriptor, "/com=1", &count, NULL), ERR_BAD_PARAMS);
    CHECK_EQ(FlashParseOptionString(&unlinked.descriptor, "/com=1", &count, options), ERR_BAD_PARAMS);
    CHECK_EQ(FlashParseOptionString(&host->descriptor, "/com=1", NULL, options), SUCCESS);
    CHECK_EQ(FlashMakeOptionString(NULL, text, sizeof text), ERR_BAD_PARAMS);
    CHECK(text[0] == '\0');
    CHECK_EQ(FlashMakeOptionString(options, NULL, 100), ERR_BAD_PARAMS);
    CHECK_EQ(FlashLoad(NULL, options), ERR_BAD_PARAMS);
    CHECK_EQ(FlashLoad(&host->descriptor, NULL), ERR_BAD_PARAMS);
    CHECK_EQ(FlashLoad(&unlinked.descriptor, options), ERR_BAD_PARAMS);
    CHECK_EQ(FlashGetErrorString(6, NULL), SUCCESS);
    CHECK_EQ(FlashFinish(NULL), SUCCESS);
    CHECK_EQ(FlashFinish(&unlinked.descriptor), SUCCESS);
}

typedef struct ParseCase {
    const char *text;
    uint32_t code, count;
    int usage;                /* the 17 usage lines follow the messages */
    const char *messages[14]; /* each: the level digit, then the text */
} ParseCase;

static const ParseCase kParseCases[] = {
    {"/platform=P1 -COM:1,2 /mode=READ /file=\"my image.s19\" /suckfile=out.s19 /phases=BL /erase=3 /debug=5 "
     "/read=0x100-0x1FF /reserved=0x200-0x2ff /reserved=256-511 /maxspeed=921600,57600 /diff=0 /asyncerase=1",
     SUCCESS, 14, 0,
     {"0/platform=P1", "0/com=1,2 ", "0/mode=read", "0/file=my image.s19", "0/savefile=out.s19", "0/phases=bl",
      "0/erase=3", "0/debug=1", "0/read=0x00000100 - 0x000001ff (256 - 511)",
      "0/reserved=0x00000200 - 0x000002ff (512 - 767)", "0/reserved=0x00000100 - 0x000001ff (256 - 511)",
      "0/diff=0", "0/asyncerase=1"}},
    {"", SUCCESS, 0, 0, {NULL}},
    {"junk /com=2 /mode=  verify /com=1 /debug", SUCCESS, 4, 0,
     {"0/com=2 ", "0/mode=verify", "0/com=1 ", "0/debug=0"}},
    {"/diff=yes /noretry=-1 /unattended=2 /com=1 /=5 /erase=3", SUCCESS, 4, 0, /* an empty key ends the text */
     {"0/diff=0", "0/noretry=1", "0/unattended=1", "0/com=1 "}},
    {"/mode=erase", ERR_BAD_CMDLINE, 0, 0, {"2Unknown MODE erase"}},
    {"/phases=some", ERR_BAD_CMDLINE, 0, 0, {"2Unknown PHASE some"}},
    {"/com=0", ERR_BAD_CMDLINE, 0, 0, {"20 is not a valid COM port. Valid are 1-12"}},
    {"/com=3,65", ERR_BAD_CMDLINE, 0, 0, {"265 is not a valid COM port. Valid are 1-12"}},
    {"/com=4294967297", ERR_BAD_CMDLINE, 0, 0, {"24294967297 is not a valid COM port. Valid are 1-12"}},
    {"/com=,", ERR_BAD_CMDLINE, 0, 0, {"2No valid COM port specified."}},
    {"/maxspeed=", ERR_BAD_CMDLINE, 0, 0, {"2no valid /maxspeed pecified"}},
    {"/maxspeed=1,9600", ERR_BAD_CMDLINE, 0, 0, {"2Unsupported MAXSPEED 1", "2Unsupported MAXSPEED 9600"}},
    {"/reserved=0x100", ERR_BAD_CMDLINE, 0, 0, {"2Bad /reserved definition: 0x100"}},
    {"/read=a-b", ERR_BAD_CMDLINE, 0, 0, {"2Bad /read definition: a-b"}},
    {"/reserved=1-2 /reserved=2-3", ERR_BAD_CMDLINE, 0, 0,
     {"0/reserved=0x00000001 - 0x00000002 (1 - 2)", "2Overlapping /reserved regions defined"}},
    {"/read=10-20 /read=20-30", ERR_BAD_CMDLINE, 0, 0,
     {"0/read=0x0000000a - 0x00000014 (10 - 20)", "2Overlapping /read regions defined"}},
    {"/erase=0", ERR_BAD_CMDLINE, 0, 0, {NULL}}, /* refused without a message */
    {"/ com=1", ERR_BAD_CMDLINE, 0, 1, {"2Unknown option:  com"}}, /* blanks belong to the key */
    {"/com=3 /contents=x /com=1", ERR_BAD_CMDLINE, 0, 1, {"0/com=3 ", "2Unknown option: contents"}},
};

static void CheckParse(Host *host, FlashLoadOptions *options, const ParseCase *c) {
    uint32_t count = 12345;
    unsigned n = 0, i;
    g_case = c->text;
    host->count = 0;
    CHECK_EQ(FlashParseOptionString(&host->descriptor, c->text, &count, options), c->code);
    CHECK_EQ(count, c->count);
    while (c->messages[n] != NULL) ++n;
    CHECK_EQ(host->count, n + (c->usage ? 17 : 0));
    for (i = 0; i < host->count; ++i) CHECK_TEXT(host->messages[i], i < n ? c->messages[i] : kUsage[i - n]);
}

static void CheckParses(Host *host, FlashLoadOptions *o) {
    size_t i;
    CheckParse(host, o, &kParseCases[0]);
    CHECK(!strcmp(o->platform, "P1") && !strcmp(o->file, "my image.s19") && !strcmp(o->savefile, "out.s19"));
    CHECK(o->com[0] == 0 && o->com[1] == 1 && o->maxspeed[0] == 4 && o->maxspeed[1] == 0 && o->erase == 3);
    CHECK(o->mode == FLASH_MODE_READ && o->phases == FLASH_PHASES_BL && o->debug == 1 && o->diff == 0 &&
          o->asyncerase == 1 && o->noretry == 0 && o->readcount == 1 && o->read[0].first == 0x100);
    CHECK(o->reservedcount == 2 && o->reserved[0].first == 0x100 && o->reserved[0].last == 0x1FF &&
          o->reserved[1].first == 0x200 && o->reserved[1].last == 0x2FF); /* sorted */
    for (i = 1; i < sizeof kParseCases / sizeof kParseCases[0]; ++i) CheckParse(host, o, &kParseCases[i]);
    CHECK(o->com[0] == 2 && o->com[1] == FLASH_NO_PORT); /* options before a refusal stay */
}

/* A record with the defaults, COM1 and short texts. */
static void SetRecord(FlashLoadOptions *o, uint32_t mode) {
    memset(o, 0, sizeof *o);
    o->com[1] = FLASH_NO_PORT;
    o->maxspeed[0] = o->maxspeed[1] = 1;
    o->erase = o->diff = 1;
    o->mode = mode;
    strcpy(o->platform, "P");
    strcpy(o->file, "F G");
    strcpy(o->savefile, "S T");
    strcpy(o->contentsfile, "C");
}

/* Makes the text of `o` into g_text with `size` bytes, leaving the bytes
 * behind untouched; expects `code` and (unless NULL) `text`. */
static void ExpectMake(const FlashLoadOptions *o, uint32_t size, uint32_t code, const char *text) {
    CHECK(size < sizeof g_text);
    memset(g_text, '#', sizeof g_text);
    CHECK_EQ(FlashMakeOptionString(o, g_text, size), code);
    CHECK(g_text[size] == '#');
    CHECK(size == 0 || memchr(g_text, '\0', size) != NULL);
    if (text != NULL) CHECK_TEXT(g_text, text);
}

/* Expects the text of `made`; parsing it gives a record whose text is the same. */
static void CheckMade(Host *host, const FlashLoadOptions *made, FlashLoadOptions *parsed, const char *expected) {
    char text[1000];
    ExpectMake(made, sizeof text, SUCCESS, expected);
    strcpy(text, g_text);
    CHECK_EQ(FlashParseOptionString(&host->descriptor, text, NULL, parsed), SUCCESS);
    ExpectMake(parsed, sizeof text, SUCCESS, text);
    CHECK(parsed->mode == made->mode && parsed->com[0] == made->com[0] && parsed->com[1] == made->com[1]);
}

static void CheckMake(Host *host, FlashLoadOptions *o, FlashLoadOptions *parsed) {
    static const char flash[] = "/platform=\"P\" /sparenand=0 /mode=FLASH /file=\"F G\" /diff=1 /com=1 /maxspeed=115200";
    g_case = "FlashMakeOptionString";
    SetRecord(o, FLASH_MODE_FLASH);
    o->debug = o->eraseunused = o->unattended = o->readcount = 1; /* never written in this mode */
    CheckMade(host, o, parsed, flash);
    ExpectMake(o, sizeof flash, SUCCESS, flash);
    ExpectMake(o, sizeof flash - 1, ERR_NOMEM, /* whole pieces only */
               "/platform=\"P\" /sparenand=0 /mode=FLASH /file=\"F G\" /diff=1 /com=1 /maxspeed=");
    ExpectMake(o, 13, ERR_NOMEM, "");
    ExpectMake(o, 0, ERR_NOMEM, NULL); /* and nothing written */

    o->com[0] = 2, o->com[1] = 3, o->maxspeed[0] = 4, o->maxspeed[1] = 0, o->erase = 3, o->extprotect = 1;
    o->phases = FLASH_PHASES_BL, o->noretry = o->asyncerase = 1, o->reservedcount = 2;
    o->reserved[0].first = 0x100, o->reserved[0].last = 0x1FF;
    o->reserved[1].first = 0xA0000000u, o->reserved[1].last = 0xFFFFFFFFu;
    CheckMade(host, o, parsed, "/platform=\"P\" /sparenand=0 /mode=FLASH /file=\"F G\" /reserved=0x100-0x1ff "
              "/reserved=0xa0000000-0xffffffff /diff=1 /extprotect=1 /erase=3 /com=3,4 /maxspeed=921600,57600 "
              "/phases=BL /noretry=1 /asyncerase=1");
    o->mode = FLASH_MODE_VERIFY, o->sparenand = 1, o->phases = FLASH_PHASES_FL, o->com[1] = FLASH_NO_PORT;
    CheckMade(host, o, parsed, "/platform=\"P\" /sparenand=1 /mode=VERIFY /file=\"F G\" /com=3 /maxspeed=921600 "
              "/phases=FL /noretry=1 /asyncerase=1");
    SetRecord(o, FLASH_MODE_READ);
    o->readcount = 2, o->reservedcount = 1;
    o->read[0].first = 0x10, o->read[0].last = 0x1F, o->read[1].first = 0xA0000000u, o->read[1].last = 0xA000FFFFu;
    CheckMade(host, o, parsed, "/platform=\"P\" /sparenand=0 /mode=READ /savefile=\"S T\" /read=0x10-0x1f "
              "/read=0xa0000000-0xa000ffff /com=1 /maxspeed=115200");

    SetRecord(o, FLASH_MODE_FLASH_CONTENTS);
    o->fsformat = 1;
    ExpectMake(o, 1000, SUCCESS, "/platform=\"P\" /sparenand=0 /contents=\"C\" /fsformat=1 /mode=FLASH "
                                 "/file=\"F G\" /diff=1 /com=1 /maxspeed=115200");
    /* The parser has no key for the contents file. */
    CHECK_EQ(FlashParseOptionString(&host->descriptor, g_text, NULL, parsed), ERR_BAD_CMDLINE);
    o->mode = FLASH_MODE_CONTENTS;
    ExpectMake(o, 1000, SUCCESS, "/platform=\"P\" /sparenand=0 /contents=\"C\" /fsformat=1 /com=1 /maxspeed=115200");

    o->mode = FLASH_MODE_FLASH_CONTENTS; /* the longest texts fit whole: 3 x 249 characters and 103 others */
    memset(o->platform, 'p', FLASH_TEXT_FIELD - 1);
    memset(o->contentsfile, 'c', FLASH_TEXT_FIELD - 1);
    memset(o->file, 'f', FLASH_TEXT_FIELD - 1);
    ExpectMake(o, 1000, SUCCESS, NULL);
    CHECK_EQ(strlen(g_text), 3 * (FLASH_TEXT_FIELD - 1) + 103);
    o->platform[FLASH_TEXT_FIELD - 1] = 'p'; /* a field without its NUL is refused */
    ExpectMake(o, 1000, ERR_BAD_PARAMS, "");
    SetRecord(o, 3);
    ExpectMake(o, 1000, ERR_BAD_PARAMS, "");
}

/* Records of 70 KB: not on the stack. */
static Host g_host;
static FlashLoadOptions g_options, g_made;

int main(void) {
    CheckLayoutAndErrorNames();
    CheckInit(&g_host, &g_options);
    CheckNullArguments(&g_host, &g_options);
    CheckParses(&g_host, &g_options);
    CheckMake(&g_host, &g_made, &g_options);
    g_case = "FlashFinish";
    CHECK_EQ(FlashFinish(&g_host.descriptor), SUCCESS);
    CHECK(g_host.descriptor.session == NULL);
    CHECK_EQ(FlashFinish(&g_host.descriptor), SUCCESS);
    puts("c_host_check: all checks passed");
    return 0;
}
