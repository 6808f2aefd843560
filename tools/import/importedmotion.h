// What tremora import recorded beside a 3DMC SDM (NAME_3DMC.json beside
// NAME_3DMC.sdm): the package's motion file, how its transforms were read,
// and the package's own numbers, from which framewise displacement is the
// package's own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "motionconventions.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

struct ImportedMotion {
    std::string sidecar;    // the JSON file
    MotionFormat format = MotionFormat::FSL;
    std::string source;     // the package's motion file
    std::string convention, reference, centre;
    PackageRows rows;       // as the package wrote them
};

// NAME_3DMC.json for NAME_3DMC.sdm.
std::string importSidecarPath(const std::string& sdmPath);

// The record of an imported SDM, or std::nullopt when there is none. Throws
// cli::RunError for a record that cannot be read.
std::optional<ImportedMotion> importedMotion(const std::string& sdmPath);

// The package's own parameters of an imported SDM of `rows` data points, as
// rows for framewise displacement (packageParameterRows), with a phrase that
// names them; std::nullopt when the SDM was not imported or its record holds
// another number of rows (then the SDM's own rows are all there is).
struct PackageMotion {
    MotionParameters rows;
    std::string source; // "FSL's own parameters in .../mc.par"
};
std::optional<PackageMotion> packageMotionOf(const std::string& sdmPath, std::size_t rows);

} // namespace tool
