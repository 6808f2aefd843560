// Saved maps as gzip-compressed NIfTI-1 files that neuroimaging tools open.
#pragma once

#include <string>

#include "host.h"
#include "sourcespace.h"

namespace host {

// The file a map name is written to: a trailing ".map" becomes ".nii.gz"
// (otherwise ".nii.gz" is appended).
std::string mapFileName(const std::string& name);

// What a map holds, from its name's suffix ("maximum absolute displacement (mm)", ...).
std::string mapDescription(const std::string& name);

// Writes the map's voxels (DimX*DimY*DimZ floats, x fastest) as float32 NIfTI:
// with the source NIfTI's spatial header when the run has one (space), else
// voxel sizes from the run and qform and sform the same affine that centres
// the volume at the origin; the thresholds in cal_min/cal_max, and for map type 4
// the F-test intent with its degrees of freedom. The file replaces an existing
// one only when it was written completely; failures throw WriteFileError
// "Cannot write map " and the file, followed by why (": the folder ... does
// not exist", ": a folder of that name exists", ": the folder ... is not
// writable (...)", " (writing failed: ...)").
void writeMapFile(const std::string& file, const MAP_Header& header, const float* voxels,
                  const FMR_Header& run, const std::string& description, const SourceSpace* space = nullptr);

} // namespace host
