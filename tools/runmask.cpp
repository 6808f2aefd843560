#include "runmask.h"

#include <nifti1_io.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "myFMR.h"

namespace tool {

namespace {

// A tenth of the 98th percentile of the values, which it reorders.
float tenthOf98thPercentile(float* values, std::size_t count)
{
    if (count == 0) return 0.0f;
    const std::size_t at = static_cast<std::size_t>(0.98 * static_cast<double>(count - 1));
    std::nth_element(values, values + at, values + count);
    return 0.1f * values[at];
}

} // namespace

float defaultMaskThreshold(const std::string& fmrPath)
{
    FMR fmr(fmrPath, false);
    fmr.LoadSTCVolume(0);
    // The volume is read for this alone: it is reordered where it lies.
    Volume<float>& first = fmr.Volumes.at(0);
    return tenthOf98thPercentile(first.data(), static_cast<std::size_t>(first.size()));
}

float defaultMaskThreshold(const Volume<float>& first)
{
    std::vector<float> values(first.data(), first.data() + first.size());
    return tenthOf98thPercentile(values.data(), values.size());
}

namespace {

template <typename T>
void copyValues(const void* data, std::size_t n, std::vector<double>& values)
{
    const T* v = static_cast<const T*>(data);
    for (std::size_t i = 0; i < n; ++i) values[i] = double(v[i]);
}

// The voxels of a one-volume NIfTI image on the run's grid, as stored (no
// scaling: a mask's or a segmentation's values are codes, not intensities).
std::vector<double> imageOnRunGrid(const std::string& path, int nx, int ny, int nz, const std::string& what)
{
    nifti_set_debug_level(0);
    const std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(nifti_image_read(path.c_str(), 1), nifti_image_free);
    if (!image || image->data == nullptr) throw std::runtime_error(path + " cannot be read as a NIfTI image");
    const int mz = image->dim[0] >= 3 ? image->nz : 1, mt = image->dim[0] >= 4 ? image->nt : 1;
    if (image->nx != nx || image->ny != ny || mz != nz)
        throw std::runtime_error(path + " has " + std::to_string(image->nx) + " x " + std::to_string(image->ny) + " x " +
                                 std::to_string(mz) + " voxels, the run " + std::to_string(nx) + " x " + std::to_string(ny) +
                                 " x " + std::to_string(nz) + ": it is not on the run's grid");
    if (mt != 1) throw std::runtime_error(path + " holds " + std::to_string(mt) + " volumes; " + what + " is one volume");
    const std::size_t n = std::size_t(nx) * std::size_t(ny) * std::size_t(nz);
    std::vector<double> values(n, 0.0);
    switch (image->datatype) {
    case NIFTI_TYPE_UINT8: copyValues<std::uint8_t>(image->data, n, values); break;
    case NIFTI_TYPE_INT8: copyValues<std::int8_t>(image->data, n, values); break;
    case NIFTI_TYPE_INT16: copyValues<std::int16_t>(image->data, n, values); break;
    case NIFTI_TYPE_UINT16: copyValues<std::uint16_t>(image->data, n, values); break;
    case NIFTI_TYPE_INT32: copyValues<std::int32_t>(image->data, n, values); break;
    case NIFTI_TYPE_UINT32: copyValues<std::uint32_t>(image->data, n, values); break;
    case NIFTI_TYPE_FLOAT32: copyValues<float>(image->data, n, values); break;
    case NIFTI_TYPE_FLOAT64: copyValues<double>(image->data, n, values); break;
    default:
        throw std::runtime_error(path + " holds " + nifti_datatype_string(image->datatype) + " values; " + what +
                                 " is of integers or real numbers");
    }
    return values;
}

} // namespace

std::vector<unsigned char> niftiMask(const std::string& path, int nx, int ny, int nz)
{
    const std::vector<double> values = imageOnRunGrid(path, nx, ny, nz, "a mask");
    std::vector<unsigned char> mask(values.size(), 0);
    for (std::size_t i = 0; i < values.size(); ++i) mask[i] = values[i] != 0.0 ? 1 : 0;
    if (std::find(mask.begin(), mask.end(), 1) == mask.end()) throw std::runtime_error(path + " has no voxel in the mask");
    return mask;
}

std::vector<int> niftiLabels(const std::string& path, int nx, int ny, int nz)
{
    const std::vector<double> values = imageOnRunGrid(path, nx, ny, nz, "a segmentation");
    std::vector<int> labels(values.size(), 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        if (!(v >= 0.0 && v <= 1e6 && v == std::floor(v)))
            throw std::runtime_error(path + " holds the value " + std::to_string(v) +
                                     "; a segmentation's labels are whole numbers from 0 (no region)");
        labels[i] = int(v);
    }
    if (std::find_if(labels.begin(), labels.end(), [](int l) { return l > 0; }) == labels.end())
        throw std::runtime_error(path + " has no labelled voxel");
    return labels;
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
        if (std::find(mask.voxels.begin(), mask.voxels.end(), 1) == mask.voxels.end())
            throw std::runtime_error("the DVARS mask (" + mask.description + ") has no voxel");
    } else {
        mask.voxels = niftiMask(maskPath, run.ResolutionX.value(), run.ResolutionY.value(), run.NrOfSlices.value());
        mask.description = "the nonzero voxels of " + maskPath.substr(maskPath.find_last_of('/') + 1);
    }
    return mask;
}

bool maskFitsRun(const std::string& maskPath, const std::string& fmrPath)
{
    try {
        const FMR run(fmrPath, false);
        niftiMask(maskPath, run.ResolutionX.value(), run.ResolutionY.value(), run.NrOfSlices.value());
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace tool
