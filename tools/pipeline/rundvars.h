// DVARS of a run, computed once per process: a run's job needs it for its
// confounds table and again for its report, over the same slice data and
// mostly the same mask. The last result is kept with what it was computed
// from (the STC file's path, size and modification time, and the mask), and
// given again only when all of these are the same.
#pragma once

#include <cstddef>
#include <vector>

#include "dvars.h"

class FMR;

namespace tool {

// qc::computeDVARS(run, mask), or the kept result of an identical call;
// throws as it does (a failure is not kept).
qc::DVARS runDVARS(FMR& run, const std::vector<unsigned char>& mask);

// How much of masked voxels' series DVARS may hold: three quarters of the
// run's slice data's size, at least 256 MiB. DVARS then reads the run once,
// and the job's peak memory stays below the import's, which holds the run
// whole.
std::size_t seriesMemory(const FMR& run);

// The threads DVARS is computed on (at least 1; the result does not depend on
// it). Until it is set, the library's thread count: all cores unless set.
void setDVARSThreads(int threads);

} // namespace tool
