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
    bool allowIncomplete = false;   // only changes the message
    Filters filters;
};

struct GroupResult {
    std::size_t rows = 0;  // runs in the table, whatever their status
    bool complete = true;  // no run failed, was interrupted or is in progress
};

// Reads what the participant level left in output (the provenance records of
// complete runs, the status records of the others, the work folders and locks
// of runs interrupted or in progress) and writes group_motion.tsv (with its
// .json) and group_report.html there, one row per run with its status. Says
// on standard error how many runs are not done and whether their options
// differ. Throws std::runtime_error when there is no run at all.
GroupResult runGroup(const fs::path& output, const GroupOptions& options);

} // namespace tool::bids
