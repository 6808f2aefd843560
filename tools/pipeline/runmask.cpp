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

std::vector<double> onRunGrid(const std::string& path, const Grid& run, const std::string& what)
{
    try {
        return imageOnRunGrid(path, run, what);
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).find(": it is not on the run's grid") != std::string::npos) throw OffGrid(e.what());
        throw;
    }
}

} // namespace

std::vector<unsigned char> niftiMask(const std::string& path, const Grid& run)
{
    const std::vector<double> values = onRunGrid(path, run, "a mask");
    std::vector<unsigned char> mask(values.size(), 0);
    for (std::size_t i = 0; i < values.size(); ++i) mask[i] = values[i] != 0.0 ? 1 : 0;
    if (std::find(mask.begin(), mask.end(), 1) == mask.end()) throw std::runtime_error(path + " has no voxel in the mask");
    return mask;
}

std::vector<int> niftiLabels(const std::string& path, const Grid& run)
{
    const std::vector<double> values = onRunGrid(path, run, "a segmentation");
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

std::vector<unsigned char> voxelsAbove(const Volume<float>& first, float threshold)
{
    std::vector<unsigned char> voxels(static_cast<std::size_t>(first.size()), 0);
    for (int i = 0; i < first.size(); ++i) voxels[static_cast<std::size_t>(i)] = first[i] > threshold ? 1 : 0;
    return voxels;
}

RunMask brightVoxels(const std::string& fmrPath)
{
    FMR run(fmrPath, false);
    run.LoadSTCVolume(0);
    const Volume<float>& first = run.Volumes.at(0);
    const float threshold = defaultMaskThreshold(first);
    RunMask mask;
    mask.voxels = voxelsAbove(first, threshold);
    mask.description = "voxels brighter than " + std::to_string(threshold) + " in the first volume (a tenth of its 98th percentile)";
    return mask;
}

RunMask dvarsMask(const std::string& fmrPath, const std::string& maskPath, bool brightWhenOffGrid)
{
    RunMask mask;
    if (maskPath.empty()) {
        mask = brightVoxels(fmrPath);
    } else {
        try {
            mask.voxels = niftiMask(maskPath, runGrid(fmrPath));
            mask.description = "the nonzero voxels of " + maskPath.substr(maskPath.find_last_of('/') + 1);
        } catch (const OffGrid& e) {
            if (!brightWhenOffGrid) throw;
            mask = brightVoxels(fmrPath);
            mask.fallback = e.what();
            mask.description += ", in place of " + maskPath.substr(maskPath.find_last_of('/') + 1) + ", which is not on the run's grid";
        }
    }
    mask.nonFinite = leaveOutNonFinite(mask.voxels, fmrPath);
    if (mask.nonFinite > 0)
        mask.description += "; " + std::to_string(mask.nonFinite) + " voxel" + (mask.nonFinite == 1 ? "" : "s") +
                            " with a non-finite value in some volume left out";
    if (std::find(mask.voxels.begin(), mask.voxels.end(), 1) == mask.voxels.end())
        throw std::runtime_error("the DVARS mask (" + mask.description + ") has no voxel");
    return mask;
}

} // namespace tool
