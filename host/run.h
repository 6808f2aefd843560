// The host's current functional run.
#pragma once

#include <string>

#include "host.h"

namespace host {

// Makes the FMR document at path the current document and run.
void openRun(State& state, const std::string& path);
// Presents an empty run document (no file, no slice data) as the current document.
void openEmptyRun(State& state);
// The run's slice data as one pointer per volume; null when the run has none.
float** runVolumes(Run& run);

} // namespace host
