/*
 * A host outside the source tree, built against an installed flashdll: once
 * through find_package(flashdll), once through pkg-config. It checks that the
 * installed header and library belong together and that the exports answer.
 * FLASHDLL_EXPECTED_VERSION is the version the package manager reported.
 */
#include <stdio.h>
#include <string.h>

#include <flashdll/flashdll.h>

#define STRINGIFY(x) #x
#define VERSION_OF(major, minor, patch) STRINGIFY(major) "." STRINGIFY(minor) "." STRINGIFY(patch)

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "consumer: %s\n", what);
        ++failures;
    }
}

int main(void) {
    FlashHostDescriptor host;
    FlashLoadOptions options;
    char text[512];
    char name[FLASH_ERROR_NAME_SIZE];
    uint32_t count = 0;

    check(strcmp(FLASHDLL_VERSION_STRING, FLASHDLL_EXPECTED_VERSION) == 0,
          "header version differs from the package's");
    check(strcmp(FLASHDLL_VERSION_STRING, VERSION_OF(FLASHDLL_VERSION_MAJOR, FLASHDLL_VERSION_MINOR,
                                                     FLASHDLL_VERSION_PATCH)) == 0, "version macros disagree");
    memset(&host, 0, sizeof host);
    host.size = sizeof host;
    check(FlashInit(&host, &options) == SUCCESS, "FlashInit failed");
    check(FlashParseOptionString(&host, "/platform=P1 /com=1 /mode=verify /file=image.s19", &count,
                                 &options) == SUCCESS && count == 4,
          "FlashParseOptionString refused a plain option string");
    check(FlashMakeOptionString(&options, text, sizeof text) == SUCCESS && strstr(text, "/mode=VERIFY") != NULL,
          "FlashMakeOptionString lost the mode");
    check(FlashFinish(&host) == SUCCESS && host.session == NULL, "FlashFinish left the session linked");
    FlashGetErrorString(ERR_VERIFY_DIFFERENCE, name);
    check(strcmp(name, "ERR_VERIFY_DIFFERENCE") == 0, "FlashGetErrorString named code 24 wrongly");
    if (failures == 0) printf("consumer: flashdll %s works\n", FLASHDLL_VERSION_STRING);
    return failures == 0 ? 0 : 1;
}
