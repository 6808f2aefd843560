// A functional run from NIfTI and another package's motion file: the FMR
// document with float slice data and the run's 3DMC SDM, as tremora import
// writes them (and tremora batch, for run folders that need it).
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "motionfiles.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

struct ImportRequest {
    std::string bold;            // RUN.nii or RUN.nii.gz (3D or 4D)
    std::string motion;          // the package's motion file
    MotionFormat format = MotionFormat::FSL;
    std::string outDir;          // created when missing
    std::string name;            // base name of the outputs; empty: the NIfTI's stem
    bool force = false;          // replace existing outputs
    std::optional<double> trMs;  // overrides the header's repetition time
    // The reference of FSL's and fMRIPrep's motion: by default the middle
    // volume, floor(n/2), as mcflirt takes it.
    std::optional<int> referenceVolume; // a volume of the run (0-based)
    std::string referenceImage;         // a separate image on the run's grid (mcflirt -reffile, fMRIPrep's boldref)
    bool referenceMean = false;         // the mean of the run's volumes (mcflirt -meanvol)
    std::string fmriprepVersion;        // overrides the release read from the derivatives
    // How the outputs (the SDM's sidecar, hence the report and the confounds'
    // sidecar) name an input file given by its path, e.g. as a BIDS URI;
    // unset: by its absolute path.
    std::function<std::string(const std::string& path)> nameOf;
    // Slice data that only live as long as the run's job: as 16-bit integers
    // when the run's values are 16-bit integers as stored (no scaling), at
    // half the size of floats and the same values once read, and not flushed
    // to the disk.
    bool scratchSlices = false;
};

struct ImportResult {
    std::string fmr, stc, sdm;   // the files written
    int dims[3] = {0, 0, 0};
    int volumes = 0;
    float voxel[3] = {0, 0, 0};  // mm
    int trMs = 0;
    std::string dataType;        // the NIfTI's element type ("INT16", ...)
    std::string orientation;     // where the voxel axes point, "LAS"
    std::string sidecar;         // NAME_3DMC.json: where the motion came from and how it was read
    std::string space;           // NAME_space.json: the NIfTI's sform and qform, given to the run's maps
    // How the motion was read: the package's convention, its reference and
    // centre of rotation (one line each, for the user).
    std::string convention, reference, centre;
    std::vector<std::string> notes;    // what the user should know (guessed units)
    std::vector<std::string> warnings; // where the result may not be what the user expects (non-finite voxels)
};

// What the import refuses, in one line that names the file or the option.
class ImportError : public std::runtime_error {
public:
    explicit ImportError(const std::string& what, bool badRequest = false) : std::runtime_error(what), badRequest(badRequest) {}
    // The request itself is wrong (a name that is no file name, a path too
    // long), not the files it names: a usage error of the command that made it.
    bool badRequest;
};

// "run1" for ".../run1.nii.gz", ".../run1.nii", ".../run1.hdr".
std::string niftiStem(const std::string& path);

// Reads the NIfTI whole (niftiread.h) and the motion file, checks that they fit
// together, carries the package's transforms into the SDM's frame
// (motionconventions.h), then writes NAME.fmr, NAME.stc, NAME_3DMC.sdm and
// NAME_3DMC.json and NAME_space.json into the folder: all five or, on a
// failure, none (existing
// outputs are refused unless force). Throws ImportError with a message for
// the user.
ImportResult importRun(const ImportRequest& request);

} // namespace tool
