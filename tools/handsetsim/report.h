// The handset's record in words: every command with its payload decoded,
// the loader code taken into RAM, the files stored, and anything unusual.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/handsetsim/state.h"

namespace handsetsim {

// One line's worth about a command's payload ("chip 0 sector 3, ...").
std::string DescribePayload(const std::string& name, const std::vector<uint8_t>& payload);

// The whole record; the caller holds the shared state's lock.
std::string BuildReport(const Scenario& scenario, const SharedState& shared,
                        const LineFaultCounts& lineFaults);

}  // namespace handsetsim
