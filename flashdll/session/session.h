// The session context: the library's fixed-size state for one host
// descriptor, from FlashInit to FlashFinish. Everything a job works with
// lives here, so that sessions running jobs at the same time share nothing
// but the COM name table (filled once, then only read) and the set of live
// sessions (behind its lock). Only ThreadProtocol touches the ports, image
// buffers, platform record, chip records and the job's working state during
// a load; the run state and the queue are what the two load threads share.
#pragma once

#include <cstdint>

#include "flashdll/flashdll.h"
#include "flashdll/hw/flash_chip.h"
#include "flashdll/hw/fs_chip_table.h"
#include "flashdll/hw/platform.h"
#include "flashdll/image/image_buffer.h"
#include "flashdll/link/com_name.h"
#include "flashdll/link/serial.h"
#include "flashdll/report/notify.h"
#include "flashdll/report/queue.h"
#include "flashdll/session/contents_records.h"
#include "flashdll/session/held_back_word.h"
#include "flashdll/session/run_state.h"
// The base layers' and report/'s operations on a session, for the dialogues.
#include "flashdll/session/session_images.h"
#include "flashdll/session/session_link.h"
#include "flashdll/session/session_platform.h"
#include "flashdll/session/session_report.h"
#include "flashdll/session/thread_priority.h"

struct Session {
    FlashHostDescriptor* host = nullptr;  // notifications find the callbacks here
    FlashLoadOptions options = {};        // the running load's working copy
    char moduleDir[kPathSize] = {};       // with its trailing separator
    char platformDefPath[kPathSize] = {};
    PlatformRecord platform = {};

    // Serial ports.
    uint32_t legacyOs = 0;
    uint32_t overlappedIo = 0;
    uint32_t portCount = 0;
    uint32_t currentPort = 0;
    PortRecord ports[kMaxPorts] = {};
    PortWatch portWatch = {};

    ImageBuffer setupLoaderImage = {};
    ImageBuffer flashLoaderImage = {};
    ImageBuffer userImage = {};

    FlashLoaderInfo flashLoader = {};  // filled by the flash loader handshake
    FsChipTable fsChipTable = {};      // the handshake's NOR chips, for the FFS mount
    HeldBackWord heldBack = {};        // kept aside while the image is programmed
    HeldContents contentsFile;         // the contents file while ThreadProtocol runs
    FileWriteCommand fileWrite = {};   // FileWrite's command data

    RunState run;
    NotifyQueue queue;
    ThreadPriorityStack priorities = {};
    uint32_t currentMode = 0;  // mode most recently handed to SendFile
    ProgressState progress = {1, 0, 0, 0};
};

// The session linked to `host`: one the library created for this very
// descriptor and has not released. Otherwise (a copied, finished or never
// initialised descriptor) nullptr, and the pointer is never followed.
Session* SessionOf(FlashHostDescriptor* host);
// Stores `code` as the load's recorded error.
void RecordError(Session* session, uint32_t code);
