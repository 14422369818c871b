/*
 * A Windows host of the DLL for whole jobs under test: it joins its arguments
 * into one option string, runs the job with FlashInit, FlashParseOptionString,
 * FlashLoad and FlashFinish, and exits with the job's error code. Like any
 * host it finds platform.def, flash.types and the loaders beside its own
 * executable. Output, one line each: messages ("warning: " and "error: "
 * mark the levels), "status: TEXT", "progress: TITLE NN%" when the percent
 * changes, and last "result: NAME (CODE)". Ctrl-C (or SIGINT under wine)
 * asks the job to stop through OnPollAbort.
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "flashdll/flashdll.h"

#define OPTION_TEXT_SIZE 4096

typedef struct JobHost {
    FlashHostDescriptor descriptor; /* first: callbacks reach the host through it */
    char title[260];
    int lastPercent;
} JobHost;

static volatile LONG g_stopRequested = 0;

static BOOL WINAPI OnConsoleControl(DWORD event) {
    (void)event;
    InterlockedExchange(&g_stopRequested, 1);
    return TRUE; /* handled: the job ends through OnPollAbort, not by a kill */
}

static void PrintLine(const char *prefix, const char *text) {
    printf("%s%s\n", prefix, text != NULL ? text : "");
    fflush(stdout);
}

static void OnMessage(FlashHostDescriptor *descriptor, uint32_t level, const char *text) {
    (void)descriptor;
    PrintLine(level == FLASH_LEVEL_ERROR ? "error: " : level == FLASH_LEVEL_WARNING ? "warning: " : "", text);
}

static void OnStatusText(FlashHostDescriptor *descriptor, const char *text) {
    (void)descriptor;
    PrintLine("status: ", text);
}

static void OnProgressBegin(FlashHostDescriptor *descriptor, const char *title, uint32_t total) {
    JobHost *host = (JobHost *)descriptor;
    (void)total;
    snprintf(host->title, sizeof host->title, "%s", title != NULL ? title : "");
    host->lastPercent = -1;
}

static void OnProgressUpdate(FlashHostDescriptor *descriptor, uint32_t current, uint32_t percent) {
    JobHost *host = (JobHost *)descriptor;
    (void)current;
    if ((int)percent != host->lastPercent) {
        host->lastPercent = (int)percent;
        printf("progress: %s %u%%\n", host->title, (unsigned)percent);
        fflush(stdout);
    }
}

static void OnProgressEnd(FlashHostDescriptor *descriptor) { (void)descriptor; }

static int32_t OnPollAbort(FlashHostDescriptor *descriptor) {
    (void)descriptor;
    return InterlockedCompareExchange(&g_stopRequested, 0, 0) != 0;
}

static void InstallCallbacks(JobHost *host) {
    host->descriptor.OnProgressBegin = OnProgressBegin;
    host->descriptor.OnProgressUpdate = OnProgressUpdate;
    host->descriptor.OnProgressEnd = OnProgressEnd;
    host->descriptor.OnStatusText = OnStatusText;
    host->descriptor.OnMessage = OnMessage;
    host->descriptor.OnPollAbort = OnPollAbort;
}

/* argv[1..] joined by blanks; 0 when they do not fit. */
static int JoinArguments(int argc, char **argv, char *text, size_t size) {
    size_t used = 0;
    int i;
    text[0] = '\0';
    for (i = 1; i < argc; ++i) {
        const size_t length = strlen(argv[i]);
        if (used + length + 2 > size) return 0;
        if (used > 0) text[used++] = ' ';
        memcpy(text + used, argv[i], length + 1);
        used += length;
    }
    return used > 0;
}

static uint32_t RunJob(JobHost *host, const char *text, FlashLoadOptions *options) {
    uint32_t code = FlashInit(&host->descriptor, options);
    if (code != SUCCESS) return code;
    InstallCallbacks(host);
    code = FlashParseOptionString(&host->descriptor, text, NULL, options);
    if (code == SUCCESS) code = FlashLoad(&host->descriptor, options);
    FlashFinish(&host->descriptor);
    return code;
}

int main(int argc, char **argv) {
    static JobHost host;
    static FlashLoadOptions options; /* 70 KB: not on the stack */
    static char text[OPTION_TEXT_SIZE];
    char name[FLASH_ERROR_NAME_SIZE];
    uint32_t code;

    if (!JoinArguments(argc, argv, text, sizeof text)) {
        fprintf(stderr, "usage: job_host OPTION... (for example /platform=P1 /com=1,2 /mode=flash /file=a.s19)\n");
        return ERR_BAD_CMDLINE;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    host.descriptor.size = sizeof host.descriptor;
    code = RunJob(&host, text, &options);
    FlashGetErrorString(code, name);
    printf("result: %s (%u)\n", name, (unsigned)code);
    return (int)code;
}
