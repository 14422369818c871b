/*
 * flashdll - programs the flash memory of a mobile handset over one or two
 * serial ports.
 *
 * This header is the whole public interface of the library: six functions,
 * the host descriptor through which the library calls the host back, the
 * load options record that describes one job, and the named constants.
 *
 * Typical use
 * -----------
 *     FlashHostDescriptor host = {0};
 *     FlashLoadOptions options;
 *     host.size = sizeof host;
 *     FlashInit(&host, &options);          // links a session, clears callbacks
 *     host.OnMessage = my_message;         // set callbacks after FlashInit
 *     FlashParseOptionString(&host, "/platform=P1 /com=1,2 /mode=flash "
 *                                   "/file=image.s19", NULL, &options);
 *     uint32_t result = FlashLoad(&host, &options);
 *     FlashFinish(&host);
 *
 * Threads
 * -------
 * Outside FlashLoad every callback runs on the thread that called the export
 * (FlashParseOptionString posts its messages that way). While FlashLoad runs,
 * the calling thread is blocked and every callback (OnProgressBegin ...
 * OnPollAbort) runs on the library's own delivery thread, in posting order.
 * Texts passed to callbacks are valid only for the duration of the call.
 * A session runs one job at a time: do not call FlashLoad or
 * FlashParseOptionString for a host descriptor while a FlashLoad of the same
 * descriptor runs, and do not call FlashFinish for it then. Several sessions
 * (one host descriptor each, for example one per handset and thread) may run
 * jobs at the same time: each session keeps all of its job's state, and the
 * jobs share nothing. FlashMakeOptionString and FlashGetErrorString may be
 * called from any thread at any time.
 *
 * Results
 * -------
 * Every function returns an error code (SUCCESS = 0, see FlashError);
 * FlashGetErrorString turns a code into its name.
 *
 * Windows
 * -------
 * The library is flashdll.dll with the import library flashdll.lib; it
 * exports the six functions under their plain names (FlashInit ...), so a
 * host may also load them with GetProcAddress. Nothing here names a calling
 * convention: the six functions and the six callbacks use the C calling
 * convention (cdecl), the default of C and C++ compilers. On 32-bit Windows
 * a host that builds with another default (/Gz) or loads the functions by
 * name must declare them, and its callbacks, __cdecl; WINAPI (__stdcall)
 * callbacks corrupt the stack there.
 */
#ifndef FLASHDLL_FLASHDLL_H
#define FLASHDLL_FLASHDLL_H

#include <stdint.h>

/* The build defines FLASHDLL_API to mark the six exports; hosts see nothing. */
#ifndef FLASHDLL_API
#define FLASHDLL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ------------------------------------------------------------ */

/* The library's version; the shared library's file names carry it too. */
#define FLASHDLL_VERSION_MAJOR 1
#define FLASHDLL_VERSION_MINOR 0
#define FLASHDLL_VERSION_PATCH 0
#define FLASHDLL_VERSION_STRING "1.0.0"

/* ---- Error codes ------------------------------------------------------- */

typedef enum FlashError {
    SUCCESS = 0,                  /* the operation succeeded */
    ERR_NOMEM = 1,                /* out of memory; option text does not fit the buffer */
    ERR_COM = 2,                  /* a serial port could not be opened or set up, or its device went away */
    ERR_ABORT = 3,                /* the host asked for an abort through OnPollAbort */
    ERR_FLASHTYPE = 4,            /* a flash chip reported by the handset is not known */
    ERR_PROTOCOL = 5,             /* the handset answered wrongly or resync failed */
    ERR_TIMEOUT = 6,              /* the handset did not answer in time */
    ERR_WRONG_DLL = 7,            /* the host descriptor's size is wrong */
    ERR_WRONG_FILE_LOAD = 8,      /* the image file cannot be used */
    ERR_WRONG_FILE_SAVE = 9,      /* no usable file for the data read back */
    ERR_WRONG_FILE_SL = 10,       /* the setup loader file cannot be used */
    ERR_WRONG_FILE_FL = 11,       /* the flash loader file cannot be used */
    ERR_WRONG_READLENGTH = 12,    /* a read job without any read range */
    ERR_CRC = 13,                 /* a checksum over transferred data did not match */
    ERR_UNSUPPORTED = 14,         /* name only */
    ERR_TOO_MANY_RETRIES = 15,    /* an operation failed on every permitted attempt */
    ERR_FILEIO = 16,              /* a file could not be read or written */
    ERR_BAD_SREC_FILE = 17,       /* not a valid S-record file */
    ERR_BAD_SREC_ADDR = 18,       /* an S-record address lies outside the image areas */
    ERR_LEGACY_LOADER = 19,       /* the flash loader's version is too old */
    ERR_CMD_FAILED = 20,          /* the flash loader answered a command with an error */
    ERR_RANGE_OUTSIDE_FLASH = 21, /* data or a range lies outside the flash memory */
    ERR_RANGES_OVERLAP = 22,      /* two address ranges overlap */
    ERR_BAD_SREC_CHECKSUM = 23,   /* an S-record's checksum is wrong */
    ERR_VERIFY_DIFFERENCE = 24,   /* verification found a difference */
    ERR_TOO_MANY_RANGES = 25,     /* an S-record file has too many regions */
    ERR_UNKOWN_HW = 26,           /* the boot loader's identity check failed */
    ERR_WRONG_FLASHLOADER = 27,   /* name only */
    ERR_BAD_CMDLINE = 28,         /* the option string was rejected */
    ERR_SETUP = 29,               /* a thread or an event of the load could not be created */
    ERR_BAD_PLATFORM = 30,        /* the platform definition is missing or invalid */
    ERR_BAD_PARAMS = 31,          /* the load options record (or an argument) is invalid */
    ERR_BAD_CONTENTS = 32,        /* the contents file or its download failed */
    ERR_NOT_FOUND_FILE = 33,      /* name only */
    ERR_CONTENTS_READFAIL = 34,   /* name only */
    ERR_FILEOPEN_FAIL = 35,       /* the handset could not open a file */
    ERR_FILEWRITE_FAIL = 36,      /* the handset wrote fewer bytes than sent */
    ERR_FILECLOSE_FAIL = 37,      /* name only */
    ERR_CHECKFILESIZE_FAIL = 38,  /* the handset's file size check failed */
    ERR_BAD_RESERVED_RANGE = 50,  /* name only */
    ERR_UNKNOWN = 100             /* no specific error */
} FlashError;

/* A buffer for FlashGetErrorString must hold at least this many bytes. */
#define FLASH_ERROR_NAME_SIZE 26

/* ---- Host message levels ------------------------------------------------ */

#define FLASH_LEVEL_INFO    0u
#define FLASH_LEVEL_WARNING 1u
#define FLASH_LEVEL_ERROR   2u

/* ---- Modes (FlashLoadOptions.mode) -------------------------------------- */

#define FLASH_MODE_FLASH          0u /* program the image file into flash */
#define FLASH_MODE_VERIFY         1u /* compare flash with the image file */
#define FLASH_MODE_READ           2u /* read the read ranges into the save file */
#define FLASH_MODE_FLASH_CONTENTS 4u /* program, then write the contents file's files */
#define FLASH_MODE_CONTENTS       5u /* write the contents file's files only */

/* ---- Phases (FlashLoadOptions.phases) ----------------------------------- */

#define FLASH_PHASES_ALL 0u /* boot loader phase, then the operation */
#define FLASH_PHASES_BL  1u /* boot loader phase only: the flash loader stays running */
#define FLASH_PHASES_FL  2u /* operation only, on a flash loader already running */

/* ---- Speed list (FlashLoadOptions.maxspeed holds an index into it) ------ */

#define FLASH_SPEED_COUNT 5u
#define FLASH_SPEED_LIST { 57600u, 115200u, 230400u, 460800u, 921600u }

/* ---- Limits ------------------------------------------------------------- */

#define FLASH_NO_PORT        64u  /* FlashLoadOptions.com entry without a port */
#define FLASH_MAX_RANGES     50u  /* reserved and read ranges each */
#define FLASH_TEXT_FIELD     250u /* bytes of each text field, NUL included */
#define FLASH_CONTENTS_SLOTS 4u
#define FLASH_CONTENTS_SLOT_SIZE 17104u

/* ---- Host descriptor ---------------------------------------------------- */

/*
 * Owned by the host. The library reads the callbacks and writes `session`.
 * Every callback receives the descriptor, so a host can embed it in its own
 * record and reach its data from there. Any callback may be NULL: its
 * notifications are then not produced at all, and a NULL OnPollAbort means a
 * load is never aborted from outside.
 */
typedef struct FlashHostDescriptor FlashHostDescriptor;
struct FlashHostDescriptor {
    uint32_t size;   /* sizeof(FlashHostDescriptor): 32 on 32-bit targets, 64 on 64-bit ones */
    /* A progress display starts; total is at least 1. */
    void    (*OnProgressBegin)(FlashHostDescriptor *host, const char *title, uint32_t total);
    /* Progress reached current of total; percent is 0..100. */
    void    (*OnProgressUpdate)(FlashHostDescriptor *host, uint32_t current, uint32_t percent);
    /* The progress display ends. */
    void    (*OnProgressEnd)(FlashHostDescriptor *host);
    /* One status line. */
    void    (*OnStatusText)(FlashHostDescriptor *host, const char *text);
    /* One message or log line; level is FLASH_LEVEL_INFO, _WARNING or _ERROR. */
    void    (*OnMessage)(FlashHostDescriptor *host, uint32_t level, const char *text);
    /* Called about every 750 ms during a load; non-zero aborts it (asked once). */
    int32_t (*OnPollAbort)(FlashHostDescriptor *host);
    void    *session; /* set by FlashInit, cleared by FlashFinish; do not touch */
};

/* An inclusive address range: first ... last. */
typedef struct FlashRange { uint32_t first; uint32_t last; } FlashRange;

/*
 * One job. 70,296 bytes on every target, no padding. FlashInit and
 * FlashParseOptionString reset it to defaults; the host may also set fields
 * directly. FlashLoad works on its own copy and never writes the host's record.
 */
typedef struct FlashLoadOptions {          /* 70,296 bytes on every target, no padding */
    char       platform[250];              /* section of platform.def */
    char       contentsfile[250];          /* contents file path, set by the host */
    char       file[250];                  /* S-record image to program or verify against */
    char       savefile[250];              /* S-record file receiving the data read back */
    uint8_t    contents[4][17104];         /* contents table: filled by a load in its own copy */
    uint32_t   com[2];                     /* 0-based COM index per logical port; 64 = none */
    uint32_t   maxspeed[2];                /* index into FLASH_SPEED_LIST per logical port */
    uint32_t   mode;                       /* FLASH_MODE_... */
    uint32_t   contentsmode;               /* set by the host: non-zero reads the contents file; 5 contents only */
    uint32_t   erase;                      /* erase passes, 1..8 */
    uint32_t   phases;                     /* FLASH_PHASES_... */
    uint32_t   pollingvariant;             /* set by the host: 1 selects 2 ms polling reads */
    uint32_t   reservedcount;              /* reserved ranges in use, 0..50 */
    FlashRange reserved[50];               /* ranges that flashing leaves alone */
    uint32_t   readcount;                  /* read ranges in use, 0..50 */
    FlashRange read[50];                   /* ranges read back in mode read */
    uint32_t   debug, eraseunused, sparenand, fsformat, extprotect, noretry, unattended, diff, asyncerase;
} FlashLoadOptions;

/*
 * Creates a session, links it to `host`, clears the six callbacks and fills
 * `options` with defaults. ERR_WRONG_DLL when host->size is not
 * sizeof(FlashHostDescriptor); ERR_BAD_PARAMS for a NULL argument; ERR_NOMEM
 * when no session can be allocated. A host already linked gets a new session
 * in place of the old one, which is released. The session belongs to this
 * very descriptor: a copy of it, or the descriptor after FlashFinish, has
 * none, and FlashParseOptionString and FlashLoad refuse it (ERR_BAD_PARAMS).
 */
FLASHDLL_API uint32_t FlashInit(FlashHostDescriptor *host, FlashLoadOptions *options);

/* Releases the session of `host` (if any) and unlinks it. Always SUCCESS. */
FLASHDLL_API uint32_t FlashFinish(FlashHostDescriptor *host);

/*
 * Resets `options` to defaults and fills it from `text` (for example
 * "/platform=P1 /com=1,2 /mode=flash /file=image.s19"). Each accepted option
 * is echoed to OnMessage at level 0; the first refused option is reported at
 * level 2 and ends the parse with ERR_BAD_CMDLINE (count 0). On SUCCESS
 * `*count` (when not NULL) receives the number of options accepted.
 * Needs a session (FlashInit); ERR_BAD_PARAMS without one.
 */
FLASHDLL_API uint32_t FlashParseOptionString(FlashHostDescriptor *host, const char *text, uint32_t *count, FlashLoadOptions *options);

/*
 * Writes the option string that describes `options` into `buffer` of `size`
 * bytes. ERR_BAD_PARAMS (empty text) for an invalid record, and for one
 * whose written texts (platform, files) hold a double quote, which the
 * string could not carry so that it reads back the same; ERR_NOMEM when
 * the text does not fit: the buffer then holds the complete items that fit,
 * always NUL-terminated (nothing is written when size is 0).
 */
FLASHDLL_API uint32_t FlashMakeOptionString(const FlashLoadOptions *options, char *buffer, uint32_t size);

/*
 * Runs one job to its end and returns its result. The record is checked
 * first (ERR_BAD_PARAMS without starting anything), then copied: later
 * changes by the host do not reach the running job. Callbacks run on the
 * library's delivery thread while this call blocks (see "Threads" above).
 * A port whose device goes away during the job (a USB serial adapter
 * pulled) ends it within about a second with ERR_COM, its ports closed.
 */
FLASHDLL_API uint32_t FlashLoad(FlashHostDescriptor *host, const FlashLoadOptions *options);

/*
 * Writes the name of `code` ("ERR_TIMEOUT", "Unknown error: 39" ...) into
 * `buffer`, which must hold FLASH_ERROR_NAME_SIZE bytes. Always SUCCESS; with
 * a NULL buffer nothing reaches the caller.
 */
FLASHDLL_API uint32_t FlashGetErrorString(uint32_t code, char *buffer);

#ifdef __cplusplus
}
#endif

#endif /* FLASHDLL_FLASHDLL_H */
