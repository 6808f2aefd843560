#include "carpet.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <string>

#include "myFMR.h"

namespace qc {

std::vector<int> evenlySpaced(int n, int k)
{
    std::vector<int> at;
    if (n <= 0 || k <= 0) return at;
    if (k >= n) {
        at.resize(std::size_t(n));
        std::iota(at.begin(), at.end(), 0);
        return at;
    }
    // The middle of stretch j of n/k positions, in integers: ⌊(2j + 1)·n / 2k⌋.
    for (int j = 0; j < k; ++j) at.push_back(int((std::int64_t(2 * j + 1) * n) / (std::int64_t(2) * k)));
    return at;
}

void detrendAndStandardize(std::vector<double>& series)
{
    const std::size_t n = series.size();
    if (n == 0) return;
    // The line a + b·(t − t̄): with centred time the two normal equations
    // separate, a is the mean and b = Σ(t − t̄)·x / Σ(t − t̄)².
    const double tMean = 0.5 * double(n - 1);
    double mean = 0.0;
    for (double v : series) mean += v;
    mean /= double(n);
    double sxy = 0.0, sxx = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        const double c = double(t) - tMean;
        sxy += c * (series[t] - mean);
        sxx += c * c;
    }
    const double slope = sxx > 0.0 ? sxy / sxx : 0.0;
    double squares = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        series[t] -= mean + slope * (double(t) - tMean);
        squares += series[t] * series[t];
    }
    const double sd = n > 1 ? std::sqrt(squares / double(n - 1)) : 0.0;
    // Rounding leaves a constant or exactly linear voxel a residual of the
    // order of its intensity times the machine epsilon: that is no variation.
    const double floor = 1e-9 * std::max(1.0, std::fabs(mean));
    for (double& v : series) v = sd > floor ? v / sd : 0.0;
}

Carpet computeCarpet(FMR& run, std::vector<unsigned char> const& mask, int maxRows, std::vector<int> const& labels)
{
    const int volumes = run.NrOfVolumes.value();
    const std::size_t voxels = std::size_t(std::max(0, run.ResolutionX.value())) *
                               std::size_t(std::max(0, run.ResolutionY.value())) * std::size_t(std::max(0, run.NrOfSlices.value()));
    if (mask.size() != voxels)
        throw std::invalid_argument("carpet: a mask of " + std::to_string(mask.size()) + " voxels for a run of " +
                                    std::to_string(voxels));
    if (!labels.empty() && labels.size() != voxels)
        throw std::invalid_argument("carpet: a segmentation of " + std::to_string(labels.size()) + " voxels for a run of " +
                                    std::to_string(voxels));
    if (maxRows < 1) throw std::invalid_argument("carpet: at least one row is needed, got " + std::to_string(maxRows));
    if (volumes < 1) throw std::invalid_argument("carpet: the run has no volume");
    std::vector<int> inside;
    for (std::size_t i = 0; i < voxels; ++i)
        if (mask[i]) inside.push_back(int(i));
    if (inside.empty()) throw std::invalid_argument("carpet: no voxel in the mask");

    // 16-bit slice data are read as stored, a slice (all its volumes) at a
    // time: half the bytes of floats and no conversion. Their sums are of
    // integers, exact in any order, and each value is exact as a float, so
    // the carpet is the same to the bit as from the float volumes.
    const bool stored16 = !run.floatData();
    const std::size_t image = std::size_t(run.ResolutionX.value()) * std::size_t(run.ResolutionY.value());
    // visit(k, value at t) for the voxels at[k] of the run, volume by volume
    // within each slice; `at` is in increasing order.
    const auto eachStoredValue = [&](const std::vector<int>& at, const auto& visit) {
        std::size_t k0 = 0;
        run.ForEachStoredSlice(int(std::size_t(at.front()) / image), int(std::size_t(at.back()) / image) + 1,
                               [&](int z, const std::int16_t* slice) {
                                   const std::size_t base = std::size_t(z) * image;
                                   std::size_t k1 = k0;
                                   while (k1 < at.size() && std::size_t(at[k1]) < base + image) ++k1;
                                   for (int t = 0; t < volumes; ++t) {
                                       const std::int16_t* values = slice + std::size_t(t) * image;
                                       for (std::size_t k = k0; k < k1; ++k) visit(k, t, values[std::size_t(at[k]) - base]);
                                   }
                                   k0 = k1;
                               });
    };

    // Each masked voxel's mean over the run.
    std::vector<double> sum(inside.size(), 0.0);
    if (stored16) {
        run.UnloadSTC();
        std::vector<std::int64_t> total(inside.size(), 0);
        eachStoredValue(inside, [&](std::size_t k, int, std::int16_t v) { total[k] += v; });
        for (std::size_t k = 0; k < inside.size(); ++k) sum[k] = double(total[k]);
    } else {
        run.ForEachVolumeBlock([&](const std::vector<Volume<float>>& block, int) {
            for (const auto& volume : block)
                for (std::size_t k = 0; k < inside.size(); ++k) sum[k] += volume.data()[inside[k]];
        });
    }
    std::vector<std::size_t> order(inside.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (!labels.empty() && labels[std::size_t(inside[a])] != labels[std::size_t(inside[b])])
            return labels[std::size_t(inside[a])] < labels[std::size_t(inside[b])];
        return sum[a] > sum[b];
    });

    Carpet c;
    c.volumes = volumes;
    c.candidates = int(inside.size());
    for (int at : evenlySpaced(int(order.size()), maxRows)) {
        const std::size_t k = order[std::size_t(at)];
        c.voxels.push_back(inside[k]);
        c.means.push_back(sum[k] / volumes);
        if (!labels.empty()) c.labels.push_back(labels[std::size_t(inside[k])]);
    }

    // The chosen voxels' series, then each row detrended and standardized in
    // place: only rows × volumes floats are held.
    const std::size_t rows = c.voxels.size();
    c.values.assign(rows * std::size_t(volumes), 0.0f);
    if (stored16) {
        // The rows in the order of their voxels, as the slices come.
        std::vector<std::size_t> byVoxel(rows);
        std::iota(byVoxel.begin(), byVoxel.end(), std::size_t(0));
        std::sort(byVoxel.begin(), byVoxel.end(), [&](std::size_t a, std::size_t b) { return c.voxels[a] < c.voxels[b]; });
        std::vector<int> at(rows);
        for (std::size_t j = 0; j < rows; ++j) at[j] = c.voxels[byVoxel[j]];
        eachStoredValue(at, [&](std::size_t j, int t, std::int16_t v) {
            c.values[byVoxel[j] * std::size_t(volumes) + std::size_t(t)] = float(v);
        });
    } else {
        run.ForEachVolumeBlock([&](const std::vector<Volume<float>>& block, int first) {
            for (std::size_t b = 0; b < block.size(); ++b)
                for (std::size_t r = 0; r < rows; ++r)
                    c.values[r * std::size_t(volumes) + std::size_t(first) + b] = block[b].data()[c.voxels[r]];
        });
    }
    std::vector<double> row(static_cast<std::size_t>(volumes));
    for (std::size_t r = 0; r < rows; ++r) {
        float* values = &c.values[r * std::size_t(volumes)];
        std::copy_n(values, volumes, row.begin());
        detrendAndStandardize(row);
        std::transform(row.begin(), row.end(), values, [](double v) { return float(v); });
    }
    return c;
}

} // namespace qc
