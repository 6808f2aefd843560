// tremora bids: the participant level (every run of a BIDS dataset through
// import, confound, displacement and report, into a BIDS derivatives
// dataset) and the group level (one table and one page over those outputs).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "bidslayout.h"

namespace tool::bids {

constexpr const char* kProgramVersion = "2.0";

// The maps each run gets: the task's name for it, its desc label and what it holds.
struct MapKind {
    const char* taskSuffix; // "_MaxAbsolute"
    const char* desc;       // "maxabs"
    const char* what;
};
const std::vector<MapKind>& mapKinds();

struct GroupOptions {
    double excludeMeanFD = 0.2;     // mm
    double excludeSpikeShare = 0.2; // of the volumes
    Filters filters;
};

// Reads the complete participant outputs under output and writes
// group_motion.tsv (with its .json) and group_report.html there. Returns the
// number of runs in the table; throws std::runtime_error when there is none.
std::size_t runGroup(const fs::path& output, const GroupOptions& options);

} // namespace tool::bids
