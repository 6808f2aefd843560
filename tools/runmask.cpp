#include "runmask.h"

#include <nifti1_io.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "myFMR.h"

namespace tool {

namespace {

struct NiftiFree {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using Nifti = std::unique_ptr<nifti_image, NiftiFree>;

Nifti readNifti(const std::string& path, bool data)
{
    nifti_set_debug_level(0);
    return Nifti(nifti_image_read(path.c_str(), data ? 1 : 0));
}

// The run's grid as x, y, slices.
std::string gridText(int x, int y, int z)
{
    return std::to_string(x) + " x " + std::to_string(y) + " x " + std::to_string(z);
}

// Why the image does not lie on the run's grid, or "".
std::string gridMismatch(const nifti_image& image, const FMR& run)
{
    const int x = run.ResolutionX.value(), y = run.ResolutionY.value(), z = run.NrOfSlices.value();
    const int volumes = image.ndim >= 4 ? std::max(image.nt, 1) * std::max(image.nu, 1) : 1;
    if (image.nx != x || image.ny != y || image.nz != z)
        return "has " + gridText(image.nx, image.ny, image.nz) + " voxels, the run " + gridText(x, y, z);
    if (volumes != 1) return "has " + std::to_string(volumes) + " volumes; a mask has one";
    return "";
}

template <typename T>
void flagNonzero(const void* data, std::size_t count, std::vector<unsigned char>& out)
{
    const T* values = static_cast<const T*>(data);
    for (std::size_t i = 0; i < count; ++i) out[i] = values[i] != T(0) ? 1 : 0;
}

} // namespace

float defaultMaskThreshold(const std::string& fmrPath)
{
    FMR fmr(fmrPath, false);
    fmr.LoadSTCVolume(0);
    return defaultMaskThreshold(fmr.Volumes.at(0));
}

float defaultMaskThreshold(const Volume<float>& first)
{
    std::vector<float> values(first.data(), first.data() + first.size());
    if (values.empty()) return 0.0f;
    const std::size_t at = static_cast<std::size_t>(0.98 * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return 0.1f * values[at];
}

RunMask dvarsMask(const std::string& fmrPath, const std::string& maskPath)
{
    FMR run(fmrPath, false);
    RunMask mask;
    if (maskPath.empty()) {
        run.LoadSTCVolume(0);
        const Volume<float>& first = run.Volumes.at(0);
        const float threshold = defaultMaskThreshold(first);
        mask.voxels.assign(static_cast<std::size_t>(first.size()), 0);
        for (int i = 0; i < first.size(); ++i) mask.voxels[static_cast<std::size_t>(i)] = first[i] > threshold ? 1 : 0;
        mask.description = "voxels brighter than " + std::to_string(threshold) +
                           " in the first volume (a tenth of its 98th percentile)";
    } else {
        const Nifti image = readNifti(maskPath, true);
        if (!image || image->data == nullptr) throw std::runtime_error("cannot read the mask " + maskPath + " as NIfTI");
        if (const std::string why = gridMismatch(*image, run); !why.empty())
            throw std::runtime_error("the mask " + maskPath + " " + why + ": it is not on the run's grid");
        mask.voxels.assign(image->nvox, 0);
        switch (image->datatype) {
        case NIFTI_TYPE_UINT8: flagNonzero<std::uint8_t>(image->data, image->nvox, mask.voxels); break;
        case NIFTI_TYPE_INT8: flagNonzero<std::int8_t>(image->data, image->nvox, mask.voxels); break;
        case NIFTI_TYPE_INT16: flagNonzero<std::int16_t>(image->data, image->nvox, mask.voxels); break;
        case NIFTI_TYPE_UINT16: flagNonzero<std::uint16_t>(image->data, image->nvox, mask.voxels); break;
        case NIFTI_TYPE_INT32: flagNonzero<std::int32_t>(image->data, image->nvox, mask.voxels); break;
        case NIFTI_TYPE_UINT32: flagNonzero<std::uint32_t>(image->data, image->nvox, mask.voxels); break;
        case NIFTI_TYPE_INT64: flagNonzero<std::int64_t>(image->data, image->nvox, mask.voxels); break;
        case NIFTI_TYPE_UINT64: flagNonzero<std::uint64_t>(image->data, image->nvox, mask.voxels); break;
        case NIFTI_TYPE_FLOAT32: flagNonzero<float>(image->data, image->nvox, mask.voxels); break;
        case NIFTI_TYPE_FLOAT64: flagNonzero<double>(image->data, image->nvox, mask.voxels); break;
        default:
            throw std::runtime_error("the mask " + maskPath + " has a data type (" + nifti_datatype_string(image->datatype) +
                                     ") that is not a number");
        }
        mask.description = "the nonzero voxels of " + maskPath.substr(maskPath.find_last_of('/') + 1);
    }
    if (std::none_of(mask.voxels.begin(), mask.voxels.end(), [](unsigned char v) { return v != 0; }))
        throw std::runtime_error("the DVARS mask (" + mask.description + ") has no voxel");
    return mask;
}

bool maskFitsRun(const std::string& maskPath, const std::string& fmrPath)
{
    try {
        const Nifti image = readNifti(maskPath, false);
        if (!image) return false;
        const FMR run(fmrPath, false);
        return gridMismatch(*image, run).empty();
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace tool
