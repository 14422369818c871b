// The closing summary of a job, learnt from its events alone: the main
// operation's bytes and time come from its progress run ("Loading Flash ...",
// "Verifying Flash ...", "Reading Flash ...", "Loading Files ..."), the ports
// and their final speeds from the messages "Logical port %u: COM%u <-> UART%u
// at %lu baud (~%lu%)" that end the flash loader's handshake.
#pragma once

#include <string>

#include "event.h"

// 8N1: a start bit, eight data bits and a stop bit per byte on the wire.
constexpr uint32_t kLineBitsPerByte = 10;

struct JobTracker {
    JobSummary summary;
    bool inMainRun = false;   // a main-operation progress run is open
    double runBegin = 0;
    uint32_t runCurrent = 0;  // progress of the open run
};

// The title of a main operation's progress run.
bool IsMainOperationTitle(const std::string& title);
// Reads "Logical port ..." into *port; false for any other text.
bool ParseLogicalPort(const std::string& text, uint32_t* index, PortSpeed* port);

void StartTracking(JobTracker* tracker, uint32_t mode);
void TrackEvent(JobTracker* tracker, const Event& event);
// Closes a main run still open at `now` and returns the summary.
JobSummary FinishTracking(JobTracker* tracker, double now);

// Bytes per second of the main operation; the line's ceiling in bytes per
// second (all ports together); the share of it in percent (0 without ports).
double BytesPerSecond(const JobSummary& summary);
double LineCeilingBytesPerSecond(const JobSummary& summary);
double LineSharePercent(const JobSummary& summary);

// The mode's name in the option string ("flash", "verify" ...), and back.
const char* ModeName(uint32_t mode);
bool ModeFromName(const std::string& name, uint32_t* mode);

// "summary: flashed 96 KiB in 12.3 s, 7.9 KiB/s over COM1 at 921600 baud: 86% of the line"
std::string SummaryLine(const JobSummary& summary);
// "96 KiB", "5 MiB", "68.4 KiB", "512 bytes"
std::string SizeText(uint64_t bytes);
