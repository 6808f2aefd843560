// Small NIfTI-1 images written and read with nifti_clib, for the import and
// batch suites.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace support {

struct NiftiLayout {
    std::array<int, 4> dims{1, 1, 1, 1}; // nx, ny, nz, nt (nt 1 with ndim 3 makes a 3D image)
    int ndim = 4;
    int datatype = 16;                   // NIFTI_TYPE_FLOAT32
    std::array<float, 4> pixdim{1, 1, 1, 1};
    int xyzUnits = 2, timeUnits = 8;     // mm, s
    float slope = 0.0f, inter = 0.0f;
    // voxel to world (RAS mm), rows x, y, z; written as sform and qform
    std::array<std::array<float, 4>, 3> affine{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};
    int xformCode = 1; // sform_code and qform_code (NIFTI_XFORM_SCANNER_ANAT); 0 for an image with neither
};

// Writes the image; stored[i] (x fastest, then y, z, t) is cast to the data
// type. Throws std::runtime_error when the file cannot be written.
void writeNifti(const std::string& path, const NiftiLayout& layout, const std::vector<double>& stored);

// The voxels of a float32 image (a map), x fastest, and its dimensions.
std::vector<float> readFloatNifti(const std::string& path, std::array<int, 3>* dims = nullptr);

} // namespace support
