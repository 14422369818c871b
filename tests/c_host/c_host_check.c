/*
 * A host written in C that uses only the public header and the shared
 * library, the way a third-party host would. It stops at the first failed
 * check with a line naming it and exits non-zero.
 */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "flashdll/flashdll.h"

#define MAX_MESSAGES 64
#define MESSAGE_SIZE 300

typedef struct Host {
    FlashHostDescriptor descriptor; /* first: callbacks reach the host through it */
    unsigned count;
    uint32_t levels[MAX_MESSAGES];
    char texts[MAX_MESSAGES][MESSAGE_SIZE];
} Host;

static void OnMessage(FlashHostDescriptor *descriptor, uint32_t level, const char *text) {
    Host *host = (Host *)descriptor;
    if (host->count < MAX_MESSAGES) {
        host->levels[host->count] = level;
        snprintf(host->texts[host->count], MESSAGE_SIZE, "%s", text);
    }
    host->count++;
}

static void Fail(int line, const char *what, const char *detail) {
    fprintf(stderr, "c_host_check.c:%d: FAILED: %s%s%s\n", line, what, detail[0] ? " -- " : "", detail);
    exit(1);
}

#define CHECK(condition) \
    do { if (!(condition)) Fail(__LINE__, #condition, ""); } while (0)

#define CHECK_CODE(expression, expected) \
    do { \
        uint32_t code_ = (expression); \
        if (code_ != (uint32_t)(expected)) { \
            char detail_[64]; \
            snprintf(detail_, sizeof detail_, "got %u, expected %u", (unsigned)code_, (unsigned)(expected)); \
            Fail(__LINE__, #expression, detail_); \
        } \
    } while (0)

#define CHECK_TEXT(actual, expected) \
    do { \
        if (strcmp((actual), (expected)) != 0) { \
            char detail_[700]; \
            snprintf(detail_, sizeof detail_, "got \"%.320s\", expected \"%.320s\"", (actual), (expected)); \
            Fail(__LINE__, #actual, detail_); \
        } \
    } while (0)

/* Expects message `index` to be `text` at `level`. */
#define CHECK_MESSAGE(host, index, level, text) \
    do { \
        CHECK((host)->count > (unsigned)(index)); \
        CHECK_CODE((host)->levels[(index)], (level)); \
        CHECK_TEXT((host)->texts[(index)], (text)); \
    } while (0)

static const char *const kUsage[17] = {
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

static void CheckLayout(void) {
    CHECK(sizeof(FlashLoadOptions) == 70296);
    CHECK(offsetof(FlashLoadOptions, contents) == 1000);
    CHECK(offsetof(FlashLoadOptions, com) == 69416);
    CHECK(offsetof(FlashLoadOptions, reservedcount) == 69452);
    CHECK(offsetof(FlashLoadOptions, debug) == 70260);
    CHECK(sizeof(void *) != 4 || sizeof(FlashHostDescriptor) == 32);
}

static void CheckErrorNames(void) {
    static const struct { uint32_t code; const char *name; } names[] = {
        {0, "SUCCESS"}, {1, "ERR_NOMEM"}, {2, "ERR_COM"}, {3, "ERR_ABORT"}, {4, "ERR_FLASHTYPE"},
        {5, "ERR_PROTOCOL"}, {6, "ERR_TIMEOUT"}, {7, "ERR_WRONG_DLL"}, {8, "ERR_WRONG_FILE_LOAD"},
        {9, "ERR_WRONG_FILE_SAVE"}, {10, "ERR_WRONG_FILE_SL"}, {11, "ERR_WRONG_FILE_FL"},
        {12, "ERR_WRONG_READLENGTH"}, {13, "ERR_CRC"}, {14, "ERR_UNSUPPORTED"},
        {15, "ERR_TOO_MANY_RETRIES"}, {16, "ERR_FILEIO"}, {17, "ERR_BAD_SREC_FILE"},
        {18, "ERR_BAD_SREC_ADDR"}, {19, "ERR_LEGACY_LOADER"}, {20, "ERR_CMD_FAILED"},
        {21, "ERR_RANGE_OUTSIDE_FLASH"}, {22, "ERR_RANGES_OVERLAP"}, {23, "ERR_BAD_SREC_CHECKSUM"},
        {24, "ERR_VERIFY_DIFFERENCE"}, {25, "ERR_TOO_MANY_RANGES"}, {26, "ERR_UNKOWN_HW"},
        {27, "ERR_WRONG_FLASHLOADER"}, {28, "ERR_BAD_CMDLINE"}, {29, "ERR_SETUP"},
        {30, "ERR_BAD_PLATFORM"}, {31, "ERR_BAD_PARAMS"}, {32, "ERR_BAD_CONTENTS"},
        {33, "ERR_NOT_FOUND_FILE"}, {34, "ERR_CONTENTS_READFAIL"}, {35, "ERR_FILEOPEN_FAIL"},
        {36, "ERR_FILEWRITE_FAIL"}, {37, "ERR_FILECLOSE_FAIL"}, {38, "ERR_CHECKFILESIZE_FAIL"},
        {50, "ERR_BAD_RESERVED_RANGE"}, {100, "ERR_UNKNOWN"},
        {39, "Unknown error: 39"}, {49, "Unknown error: 49"}, {51, "Unknown error: 51"},
        {99, "Unknown error: 99"}, {101, "Unknown error: 101"},
        {4294967295u, "Unknown error: 4294967295"},
    };
    size_t i;
    for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
        char buffer[FLASH_ERROR_NAME_SIZE + 1];
        memset(buffer, '#', sizeof buffer);
        CHECK_CODE(FlashGetErrorString(names[i].code, buffer), SUCCESS);
        CHECK_TEXT(buffer, names[i].name);
    }
    CHECK_CODE(FlashGetErrorString(6, NULL), SUCCESS);
}

static void CheckInit(Host *host, FlashLoadOptions *options) {
    memset(host, 0, sizeof *host);
    memset(options, 0x5A, sizeof *options);
    host->descriptor.OnMessage = OnMessage;

    host->descriptor.size = sizeof(FlashHostDescriptor) - 4;
    CHECK_CODE(FlashInit(&host->descriptor, options), ERR_WRONG_DLL);
    host->descriptor.size = sizeof(FlashHostDescriptor) + 4;
    CHECK_CODE(FlashInit(&host->descriptor, options), ERR_WRONG_DLL);
    CHECK(host->descriptor.session == NULL);
    CHECK(host->descriptor.OnMessage == OnMessage);
    CHECK(options->erase == 0x5A5A5A5Au);
    CHECK_CODE(FlashInit(NULL, options), ERR_BAD_PARAMS);

    host->descriptor.size = sizeof(FlashHostDescriptor);
    CHECK_CODE(FlashInit(&host->descriptor, NULL), ERR_BAD_PARAMS);
    CHECK_CODE(FlashInit(&host->descriptor, options), SUCCESS);
    CHECK(host->descriptor.session != NULL);
    CHECK(host->descriptor.OnProgressBegin == NULL && host->descriptor.OnProgressUpdate == NULL &&
          host->descriptor.OnProgressEnd == NULL && host->descriptor.OnStatusText == NULL &&
          host->descriptor.OnMessage == NULL && host->descriptor.OnPollAbort == NULL);

    CHECK(options->platform[0] == '\0' && options->file[0] == '\0' && options->savefile[0] == '\0');
    CHECK(options->contentsfile[0] == '\0');
    CHECK(options->com[0] == FLASH_NO_PORT && options->com[1] == FLASH_NO_PORT);
    CHECK(options->maxspeed[0] == 1 && options->maxspeed[1] == 1);
    CHECK(options->mode == FLASH_MODE_FLASH && options->phases == FLASH_PHASES_ALL);
    CHECK(options->erase == 1 && options->diff == 1 && options->pollingvariant == 0);
    CHECK(options->reservedcount == 0 && options->readcount == 0);
    CHECK(options->debug == 0 && options->eraseunused == 0 && options->sparenand == 0 &&
          options->fsformat == 0 && options->extprotect == 0 && options->noretry == 0 &&
          options->unattended == 0 && options->asyncerase == 0);
    host->descriptor.OnMessage = OnMessage;
}

static uint32_t Parse(Host *host, const char *text, uint32_t *count, FlashLoadOptions *options) {
    host->count = 0;
    *count = 12345;
    return FlashParseOptionString(&host->descriptor, text, count, options);
}

static void CheckParse(Host *host, FlashLoadOptions *options) {
    uint32_t count;
    unsigned i;
    CHECK_CODE(Parse(host, "/platform=P1 /com=1,2 /mode=flash /file=\"my image.s19\" "
                           "/reserved=0x200-0x2ff /reserved=0x100-0x1FF /maxspeed=460800,57600", &count, options),
               SUCCESS);
    CHECK_CODE(count, 7);
    CHECK_TEXT(options->platform, "P1");
    CHECK_TEXT(options->file, "my image.s19");
    CHECK(options->com[0] == 0 && options->com[1] == 1);
    CHECK(options->maxspeed[0] == 3 && options->maxspeed[1] == 0);
    CHECK(options->reservedcount == 2);
    CHECK(options->reserved[0].first == 0x100 && options->reserved[0].last == 0x1FF);
    CHECK(options->reserved[1].first == 0x200 && options->reserved[1].last == 0x2FF);
    CHECK_CODE(host->count, 6);
    CHECK_MESSAGE(host, 0, 0, "/platform=P1");
    CHECK_MESSAGE(host, 1, 0, "/com=1,2 ");
    CHECK_MESSAGE(host, 2, 0, "/mode=flash");
    CHECK_MESSAGE(host, 3, 0, "/file=my image.s19");
    CHECK_MESSAGE(host, 4, 0, "/reserved=0x00000200 - 0x000002ff (512 - 767)");
    CHECK_MESSAGE(host, 5, 0, "/reserved=0x00000100 - 0x000001ff (256 - 511)");

    CHECK_CODE(Parse(host, "/com=3 /contents=x", &count, options), ERR_BAD_CMDLINE);
    CHECK_CODE(count, 0);
    CHECK_CODE(host->count, 2 + 17);
    CHECK_MESSAGE(host, 0, 0, "/com=3 ");
    CHECK_MESSAGE(host, 1, 2, "Unknown option: contents");
    for (i = 0; i < 17; ++i) {
        CHECK_MESSAGE(host, 2 + i, 0, kUsage[i]);
    }
    CHECK(options->com[0] == 2);  /* accepted before the refusal */

    CHECK_CODE(Parse(host, "/mode=erase", &count, options), ERR_BAD_CMDLINE);
    CHECK_CODE(host->count, 1);
    CHECK_MESSAGE(host, 0, 2, "Unknown MODE erase");
    CHECK_CODE(Parse(host, "/com=0", &count, options), ERR_BAD_CMDLINE);
    CHECK_MESSAGE(host, 0, 2, "0 is not a valid COM port. Valid are 1-12");
    CHECK_CODE(Parse(host, "/maxspeed=115200,9600", &count, options), ERR_BAD_CMDLINE);
    CHECK_MESSAGE(host, 0, 2, "Unsupported MAXSPEED 9600");
    CHECK_CODE(Parse(host, "/reserved=0x100", &count, options), ERR_BAD_CMDLINE);
    CHECK_MESSAGE(host, 0, 2, "Bad /reserved definition: 0x100");
    CHECK_CODE(Parse(host, "/erase=0", &count, options), ERR_BAD_CMDLINE);
    CHECK_CODE(host->count, 0);
    CHECK_CODE(Parse(host, "", &count, options), SUCCESS);
    CHECK_CODE(count, 0);
}

static void SetFlashRecord(FlashLoadOptions *options) {
    memset(options, 0, sizeof *options);
    options->com[0] = 0;
    options->com[1] = FLASH_NO_PORT;
    options->maxspeed[0] = options->maxspeed[1] = 1;
    options->erase = 1;
    options->diff = 1;
    strcpy(options->platform, "P");
    strcpy(options->file, "F");
}

static void CheckMake(void) {
    static const char expected[] = "/platform=\"P\" /sparenand=0 /mode=FLASH /file=\"F\" /diff=1 /com=1 /maxspeed=115200";
    FlashLoadOptions *options = malloc(sizeof *options);
    char buffer[512];
    CHECK(options != NULL);
    SetFlashRecord(options);

    CHECK_CODE(FlashMakeOptionString(options, buffer, sizeof buffer), SUCCESS);
    CHECK_TEXT(buffer, expected);
    CHECK_CODE(FlashMakeOptionString(options, buffer, sizeof expected), SUCCESS);
    CHECK_TEXT(buffer, expected);
    CHECK_CODE(FlashMakeOptionString(options, buffer, sizeof expected - 1), ERR_NOMEM);
    CHECK_TEXT(buffer, "/platform=\"P\" /sparenand=0 /mode=FLASH /file=\"F\" /diff=1 /com=1 /maxspeed=");

    options->com[0] = 2;
    options->com[1] = 3;
    options->maxspeed[0] = 4;
    options->maxspeed[1] = 0;
    options->erase = 3;
    options->phases = 1;
    options->reservedcount = 1;
    options->reserved[0].first = 0x100;
    options->reserved[0].last = 0x1FF;
    CHECK_CODE(FlashMakeOptionString(options, buffer, sizeof buffer), SUCCESS);
    CHECK_TEXT(buffer, "/platform=\"P\" /sparenand=0 /mode=FLASH /file=\"F\" /reserved=0x100-0x1ff /diff=1 "
                       "/erase=3 /com=3,4 /maxspeed=921600,57600 /phases=BL");

    options->mode = 3;
    CHECK_CODE(FlashMakeOptionString(options, buffer, sizeof buffer), ERR_BAD_PARAMS);
    CHECK_TEXT(buffer, "");
    free(options);
}

/* Makes the text of `made`, parses it back into `parsed` and expects the
 * text made from `parsed` to be the same. */
static void CheckRoundTrip(Host *host, FlashLoadOptions *made, FlashLoadOptions *parsed) {
    char text[1024];
    char again[1024];
    uint32_t count;
    CHECK_CODE(FlashMakeOptionString(made, text, sizeof text), SUCCESS);
    CHECK_CODE(Parse(host, text, &count, parsed), SUCCESS);
    CHECK_CODE(FlashMakeOptionString(parsed, again, sizeof again), SUCCESS);
    CHECK_TEXT(again, text);
    CHECK_CODE(parsed->mode, made->mode);
}

static void CheckRoundTrips(Host *host) {
    FlashLoadOptions *made = malloc(sizeof *made);
    FlashLoadOptions *parsed = malloc(sizeof *parsed);
    CHECK(made != NULL && parsed != NULL);

    SetFlashRecord(made);
    strcpy(made->file, "images/with blank.s19");
    made->com[1] = 5;
    made->maxspeed[1] = 4;
    made->diff = 0;
    made->erase = 2;
    made->extprotect = 1;
    made->noretry = 1;
    made->phases = 2;
    made->reservedcount = 2;
    made->reserved[0].first = 0x1000;
    made->reserved[0].last = 0x1FFF;
    made->reserved[1].first = 0x8000;
    made->reserved[1].last = 0xFFFF;
    CheckRoundTrip(host, made, parsed);
    CHECK_TEXT(parsed->file, "images/with blank.s19");
    CHECK(parsed->reservedcount == 2 && parsed->reserved[1].last == 0xFFFF && parsed->maxspeed[1] == 4);

    SetFlashRecord(made);
    made->mode = FLASH_MODE_VERIFY;
    made->sparenand = 1;
    CheckRoundTrip(host, made, parsed);

    SetFlashRecord(made);
    made->mode = FLASH_MODE_READ;
    strcpy(made->savefile, "read back.s19");
    made->readcount = 2;
    made->read[0].first = 0;
    made->read[0].last = 0xFF;
    made->read[1].first = 0xA0000000u;
    made->read[1].last = 0xA0FFFFFFu;
    CheckRoundTrip(host, made, parsed);

    free(made);
    free(parsed);
}

int main(void) {
    Host *host = malloc(sizeof *host);
    FlashLoadOptions *options = malloc(sizeof *options);
    CHECK(host != NULL && options != NULL);

    CheckLayout();
    CheckErrorNames();
    CheckInit(host, options);
    CheckParse(host, options);
    CheckMake();
    CheckRoundTrips(host);

    CHECK_CODE(FlashFinish(&host->descriptor), SUCCESS);
    CHECK(host->descriptor.session == NULL);
    CHECK_CODE(FlashFinish(&host->descriptor), SUCCESS);
    free(options);
    free(host);
    puts("c_host_check: all checks passed");
    return 0;
}
