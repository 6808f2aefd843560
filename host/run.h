// The host's current functional run.
#pragma once

#include <string>

#include "host.h"

namespace host {

// Reads the FMR document at path (not its slice data) into the run record and
// makes it the current document and run. Throws, leaving the state as it was,
// when the document cannot be read, its dimensions are negative, or the path
// does not fit the record (303 bytes at most).
void openRun(State& state, const std::string& path);
// Presents an empty run document (no file, no slice data) as the current document.
void openEmptyRun(State& state);
// The run's slice data as one pointer per volume, loaded from the STC file on
// the first request; null when there is no run document or the data cannot be
// loaded (Run::loadError then says why).
float** runVolumes(Run& run);

} // namespace host
