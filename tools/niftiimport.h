// A functional run from NIfTI and another package's motion file: the FMR
// document with float slice data and the run's 3DMC SDM, as tremora import
// writes them (and tremora batch, for run folders that need it).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "motionfiles.h"

namespace tool {

struct ImportRequest {
    std::string bold;            // RUN.nii or RUN.nii.gz (3D or 4D)
    std::string motion;          // the package's motion file
    MotionFormat format = MotionFormat::FSL;
    std::string outDir;          // created when missing
    std::string name;            // base name of the outputs; empty: the NIfTI's stem
    bool force = false;          // replace existing outputs
    std::optional<double> trMs;  // overrides the header's repetition time
};

struct ImportResult {
    std::string fmr, stc, sdm;   // the files written
    int dims[3] = {0, 0, 0};
    int volumes = 0;
    float voxel[3] = {0, 0, 0};  // mm
    int trMs = 0;
    std::string dataType;        // the NIfTI's element type ("INT16", ...)
    std::string orientation;     // where the voxel axes point, "LAS"
    std::string axes;            // how the package's axes were mapped onto the voxel axes
    std::vector<std::string> notes; // what the user should know (guessed units, values set to 0)
};

// "run1" for ".../run1.nii.gz", ".../run1.nii", ".../run1.hdr".
std::string niftiStem(const std::string& path);

// Reads the NIfTI's header (nifti_clib) and the motion file, checks that they
// fit together, then writes NAME.fmr, NAME.stc and NAME_3DMC.sdm into the
// folder: all three or, on a failure, none (existing outputs are refused
// unless force). Throws cli::RunError with a message for the user.
ImportResult importRun(const ImportRequest& request);

} // namespace tool
