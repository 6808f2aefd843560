// Shared fixtures: motion SDMs, runs on disk, the real motion trace and the
// tasks' script parameters.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "mySDM.h"

namespace support {

namespace fs = std::filesystem;

// Rows of a motion SDM: translations x, y, z (mm), then rotations about x, y,
// z (degrees), one row per volume.
using MotionRows = std::vector<std::array<double, 6>>;

// A motion SDM of six predictors named as the motion correction names them.
SDM motionSdm(const MotionRows& rows, const std::string& fileName = "run_3DMC.sdm");
// The same saved at path; returns path.
fs::path saveMotionSdm(const fs::path& path, const MotionRows& rows);
// n volumes that stay still, but for value v of parameter p at volume `at`.
MotionRows stillRows(int n, int at = -1, int p = 0, double v = 0.0);

// The real motion trace of ../shared/data (365 volumes of a resting-state
// run), read by the library's own motion-file reader as FSL rows: rotations
// (rad) then translations (mm).
const std::vector<std::array<double, 6>>& realTrace();
// The same trace as motion SDM rows (mm, degrees).
MotionRows realTraceRows();
// The peer tool's framewise displacement of the trace (364 values, volume 1 on).
std::vector<double> realTracePeerFD();

// A run on disk: the FMR document name.fmr and its STC slice data, slice by
// slice, volume by volume, row by row. Float data (DataType 2) unless int16.
struct RunOnDisk {
    int nx = 4, ny = 3, nz = 2, volumes = 3;
    float voxel = 3.0f;       // in-plane size and slice thickness (mm)
    float sliceGap = 0.0f;    // mm
    bool int16 = false;
    std::function<float(int x, int y, int z, int t)> value = [](int x, int y, int z, int t) {
        return float(1000 * z + 100 * t + 10 * y + x);
    };
};
fs::path writeRun(const fs::path& dir, const std::string& name, const RunOnDisk& run);
// Writes the run and makes it the host's current run (document and record).
fs::path openRunOnDisk(const fs::path& dir, const RunOnDisk& run);

// The script parameters of the confound and displacement tasks, every switch
// off (spike threshold 0.5 mm, intensity threshold 100), plus `on` set to "1"
// and the motion file; and into the host's parameters.
using Parameters = std::map<std::string, std::string>;
Parameters confoundParameters(const fs::path& sdmfile, const std::vector<std::string>& on = {});
Parameters displacementParameters(const fs::path& sdmfile, const std::vector<std::string>& on = {});
void setParameters(const Parameters& parameters);

} // namespace support
