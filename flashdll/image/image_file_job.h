// What reading or writing an S-record file works with besides the image
// buffer: the load's options (reserved ranges, read ranges, save file),
// where it reports, and how it learns that the load must stop.
#pragma once

#include "flashdll/flashdll.h"
#include "flashdll/report/reporter.h"

struct ImageFileJob {
    const FlashLoadOptions* options;
    Reporter reporter;
    int (*abortRequested)(void* context);  // nonzero once the load must stop
    void* context;
};

inline bool StopRequested(const ImageFileJob& job) { return job.abortRequested(job.context) != 0; }
