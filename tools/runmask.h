// The voxels of a run that take part in the displacement maps: those brighter
// than an intensity threshold in the run's first volume.
#pragma once

#include <string>
#include <vector>

#include "volume.h"

namespace tool {

// A threshold between background and head: a tenth of the 98th percentile of
// the first volume's intensities (robust against a few very bright voxels).
float defaultMaskThreshold(const std::string& fmrPath);
// The same from the first volume itself.
float defaultMaskThreshold(const Volume<float>& first);

// A brain mask from a NIfTI image on the run's grid (nx × ny × nz voxels, one
// volume, voxels in the run's order): 1 where the image is nonzero. Throws
// std::runtime_error naming the file for an image that cannot be read, is
// not of the run's size, holds several volumes, or has no nonzero voxel.
std::vector<unsigned char> niftiMask(const std::string& path, int nx, int ny, int nz);
// A segmentation from a NIfTI image on the run's grid: each voxel's label, a
// whole number, 0 for none. Throws std::runtime_error as niftiMask does, and
// for a value that is no whole number from 0 or when no voxel is labelled.
std::vector<int> niftiLabels(const std::string& path, int nx, int ny, int nz);

} // namespace tool
