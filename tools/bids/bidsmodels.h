// The confound model comparison of a BIDS run, beside its other outputs.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "bidslayout.h"

namespace tool::bids {

// The run's events table by the inheritance principle: <entities>_events.tsv
// beside the run, else the nearest task-<label>[_acq-..]_events.tsv of the same
// task in a folder above it up to the dataset's root. Empty when there is none
// (a run without a task, rest).
fs::path eventsOf(const Run& run, const fs::path& root);

// In the run's work folder, after its steps: compares the confound models of
// families (see models/confoundmodels.h) on the run (stem.fmr) with the
// confounds table the confound step wrote, writing the outputs into the run's
// folder of output under their BIDS names. Says on standard output which
// additions were left out ("warning: "). Returns the names of the files written.
std::vector<fs::path> compareRunModels(const Run& run, const fs::path& root, const fs::path& output,
                                       const std::string& confoundsTable, const std::vector<std::string>& families,
                                       int threads);

} // namespace tool::bids
