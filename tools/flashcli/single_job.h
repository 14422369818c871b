// One job in this process: the library's notifications shown as the flags
// ask, then the summary and the result.
#pragma once

#include <atomic>
#include <cstdint>

#include "cli_args.h"

// Runs the job and returns its error code. `abortRequested` is set by Ctrl-C.
uint32_t RunSingleJob(const CliArgs& args, const std::atomic<int>* abortRequested);
