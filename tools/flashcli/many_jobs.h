// The same job on several handsets at once (--handsets FILE). Each handset's
// job runs in a child process: this program again, with --json and that
// handset's --port flags. The parent reads the children's event lines and
// shows them: a live table on a terminal, lines prefixed "[NAME] " off one,
// or the events themselves with a "handset" member (--json); with --log-dir
// each handset's full log goes to DIR/NAME.log as well.
//
// Child processes because the library finds the devices of COM1 and COM2
// through process-wide environment variables, and keeps some of its state
// process-wide: two jobs in one process could not use two handsets' COM1.
// A job that hangs or dies also cannot take the others with it.
#pragma once

#include <atomic>
#include <cstdint>

#include "cli_args.h"

// Runs every handset's job to its end. 0 when all succeeded, otherwise the
// code of the first handset in the file that failed; ERR_BAD_CMDLINE or
// ERR_FILEIO when nothing could start. Ctrl-C (`stopRequested`) is passed on
// to every running job.
uint32_t RunManyJobs(const CliArgs& args, const char* argv0, const std::atomic<int>* stopRequested);
