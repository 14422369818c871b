// The table of several handsets' jobs: one row per handset with its name,
// phase (the title of its latest progress run), percent, rate of its main
// operation, result and time. Drawn live on a terminal and once at the end.
#pragma once

#include <string>
#include <vector>

#include "event.h"

struct HandsetRow {
    std::string name;
    double started = 0;        // when its job started, in flashcli's time
    std::string phase = "starting";
    uint32_t percent = 0;
    bool hasPercent = false;
    double kibPerSecond = -1;  // main operation; below 0: not known yet
    std::string result;        // empty while the job runs
    double seconds = 0;        // of the job so far
    bool inMainRun = false;
    double runBegin = 0;
};

void UpdateRow(HandsetRow* row, const Event& event);
// Header and rows, each line ending in a newline and cut to `columns` (0: not cut).
std::string TableText(const std::vector<HandsetRow>& rows, unsigned columns);
// The table drawn over the one drawn before (`linesUp` lines above the cursor).
std::string RedrawnTableText(const std::vector<HandsetRow>& rows, unsigned columns, size_t linesUp);
