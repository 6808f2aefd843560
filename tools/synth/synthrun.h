// A synthetic run in memory, as tremora synth writes it to files: the
// phantom's intensities and the head's motion (for the sample BIDS study).
#pragma once

#include <cstdint>
#include <vector>

namespace tool {

struct SyntheticRun {
    int nx = 0, ny = 0, nz = 0, volumes = 0;
    std::vector<float> voxels;                 // x fastest, then y, z, volume
    std::vector<std::vector<float>> motion;    // six rows: translations x, y, z (mm), rotations (degrees)
    std::vector<int> jumps;                    // the volumes where the head moves suddenly
};

// The run synth --dims nx ny nz --volumes n --voxel ... --seed seed would write,
// with the task signal when task is set.
SyntheticRun syntheticRun(int nx, int ny, int nz, int volumes, const float voxel[3], std::uint64_t seed, int trMs,
                          bool task);

} // namespace tool
