// The voxels of a run that take part in the displacement maps (those brighter
// than an intensity threshold in the run's first volume), and those DVARS is
// taken over (a brain mask when there is one, else the same voxels).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "niftiread.h"
#include "volume.h"

namespace tool {

// A threshold between background and head: a tenth of the 98th percentile of
// the first volume's intensities (robust against a few very bright voxels).
float defaultMaskThreshold(const std::string& fmrPath);
// The same from the first volume itself.
float defaultMaskThreshold(const Volume<float>& first);

// A brain mask from a NIfTI image on the run's grid (runGrid: the same
// dimensions and, for an imported run, the same affine; one volume, voxels in
// the run's order): 1 where the image is nonzero. Throws OffGrid for an image
// on another grid, std::runtime_error naming the file for an image that
// cannot be read whole, holds several volumes, or has no nonzero voxel.
std::vector<unsigned char> niftiMask(const std::string& path, const Grid& run);
// A segmentation from a NIfTI image on the run's grid: each voxel's label, a
// whole number, 0 for none. Throws as niftiMask does, and for a value that is
// no whole number from 0 or when no voxel is labelled.
std::vector<int> niftiLabels(const std::string& path, const Grid& run);

// An image that does not lie on the run's grid (gridDifference says how).
struct OffGrid : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One flag per voxel of the run (x fastest, then y, then slice), and what
// the flags are, for the confounds sidecar.
struct RunMask {
    std::vector<unsigned char> voxels;
    std::string description;
    std::string fallback;      // why the bright voxels stand in for the mask given, or empty
    std::size_t nonFinite = 0; // voxels left out for a non-finite value in some volume
};

// The voxels of the first volume brighter than threshold, 1 each (0 elsewhere).
std::vector<unsigned char> voxelsAbove(const Volume<float>& first, float threshold);
// The bright voxels of the first volume (above defaultMaskThreshold).
RunMask brightVoxels(const std::string& fmrPath);

// The brain mask NIfTI maskPath (its nonzero voxels) when it is given, else
// brightVoxels. A mask on another grid is refused (OffGrid) or, with
// brightWhenOffGrid, replaced by the bright voxels, which `fallback` and the
// description say. Voxels that import found non-finite in some volume are left
// out (leaveOutNonFinite) and counted. Throws std::runtime_error with a
// message for the user, also when no voxel is left.
RunMask dvarsMask(const std::string& fmrPath, const std::string& maskPath, bool brightWhenOffGrid = false);

} // namespace tool
