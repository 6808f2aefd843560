#include "dvars.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "myFMR.h"

namespace qc {

namespace {

// The sums over voxels that the three series are made of, per volume.
class Sums {
public:
    explicit Sums(int volumes) : squares_(std::size_t(volumes), 0.0), standardized_(std::size_t(volumes), 0.0) {}

    // One voxel's series, scaled by `scale`.
    void add(const float* series, int volumes, double scale)
    {
        std::vector<double> x(series, series + volumes);
        for (double& v : x) v *= scale;
        // Robust standard deviation: quartiles as the lower neighbouring samples.
        std::vector<double> sorted = x;
        const auto quantile = [&](std::size_t k) {
            std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(k), sorted.end());
            return sorted[k];
        };
        const std::size_t n = x.size();
        const double q75 = quantile(std::size_t(std::floor(0.75 * double(n - 1))));
        const double q25 = quantile(std::size_t(std::floor(0.25 * double(n - 1))));
        const double sd = (q75 - q25) / 1.349;
        if (!(sd > 1e-7)) {
            ++constant_;
            return;
        }
        // Lag-1 autocorrelation of the mean-removed series by Yule–Walker:
        // the biased autocovariance at lag 1 over that at lag 0.
        double mean = 0.0;
        for (double v : x) mean += v;
        mean /= double(n);
        double c0 = 0.0, c1 = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            const double d = x[t] - mean;
            c0 += d * d;
            if (t + 1 < n) c1 += d * (x[t + 1] - mean);
        }
        const double rho = c0 > 0.0 ? c1 / c0 : 0.0;
        // The standard deviation of the voxel's differences without artefacts.
        const double sdHat = std::sqrt(2.0 * (1.0 - rho)) * sd;
        for (std::size_t t = 1; t < n; ++t) {
            const double d = x[t] - x[t - 1];
            squares_[t] += d * d;
            standardized_[t] += (d / sdHat) * (d / sdHat);
        }
        sumSdHat_ += sdHat;
        ++voxels_;
    }

    DVARS result(double median) const
    {
        if (voxels_ == 0)
            throw std::runtime_error("DVARS: no voxel of the mask varies over the run (" + std::to_string(constant_) +
                                     " constant voxels)");
        DVARS r;
        r.median = median;
        r.voxels = voxels_;
        r.constant = constant_;
        const std::size_t n = squares_.size();
        r.dvars.assign(n, 0.0);
        r.standardized.assign(n, 0.0);
        r.voxelwise.assign(n, 0.0);
        const double meanSdHat = sumSdHat_ / voxels_;
        for (std::size_t t = 1; t < n; ++t) {
            r.dvars[t] = std::sqrt(squares_[t] / voxels_);
            r.standardized[t] = r.dvars[t] / meanSdHat;
            r.voxelwise[t] = std::sqrt(standardized_[t] / voxels_);
        }
        return r;
    }

private:
    std::vector<double> squares_, standardized_;
    double sumSdHat_ = 0.0;
    int voxels_ = 0, constant_ = 0;
};

double checkedScale(double median)
{
    if (!(median > 0.0) || !std::isfinite(median))
        throw std::runtime_error("DVARS: the median of the masked values is " + std::to_string(median) +
                                 "; intensities must be positive to be scaled to 1000");
    return 1000.0 / median;
}

// An order-preserving key of a float: keys compare as the floats do.
std::uint32_t key(float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
}

float valueOfKey(std::uint32_t k)
{
    const std::uint32_t bits = (k & 0x80000000u) ? k & 0x7fffffffu : ~k;
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}


} // namespace

DVARS computeDVARS(std::vector<std::vector<float>> const& series)
{
    if (series.empty()) throw std::invalid_argument("DVARS needs at least one voxel");
    const int volumes = int(series[0].size());
    std::vector<float> all;
    for (const auto& s : series) {
        if (int(s.size()) != volumes) throw std::invalid_argument("DVARS: voxel series of different lengths");
        all.insert(all.end(), s.begin(), s.end());
    }
    if (all.empty()) throw std::invalid_argument("DVARS needs at least one volume");
    // The median: the middle value, or the mean of the two middle values.
    const std::size_t k = (all.size() - 1) / 2;
    std::nth_element(all.begin(), all.begin() + std::ptrdiff_t(k), all.end());
    double median = all[k];
    if (all.size() % 2 == 0) median = 0.5 * (median + double(*std::min_element(all.begin() + std::ptrdiff_t(k) + 1, all.end())));
    const double scale = checkedScale(median);
    Sums sums(volumes);
    for (const auto& s : series) sums.add(s.data(), volumes, scale);
    return sums.result(median);
}

DVARS computeDVARS(FMR& run, std::vector<unsigned char> const& mask, std::size_t memoryBytes)
{
    const int volumes = run.NrOfVolumes.value();
    const std::size_t voxels =
        std::size_t(std::max(0, run.ResolutionX.value())) * std::size_t(std::max(0, run.ResolutionY.value())) *
        std::size_t(std::max(0, run.NrOfSlices.value()));
    if (mask.size() != voxels)
        throw std::invalid_argument("DVARS: a mask of " + std::to_string(mask.size()) + " voxels for a run of " +
                                    std::to_string(voxels));
    std::vector<int> inside;
    for (std::size_t i = 0; i < voxels; ++i)
        if (mask[i]) inside.push_back(int(i));
    if (inside.empty()) throw std::invalid_argument("DVARS needs at least one voxel in the mask");
    if (volumes < 1) throw std::invalid_argument("DVARS needs at least one volume");

    // The median of all masked values, exactly, in two passes over the file:
    // a histogram of the high 16 bits of order-preserving keys finds the bins
    // of the middle ranks, a histogram of the low 16 bits within them the values.
    const std::uint64_t count = std::uint64_t(inside.size()) * std::uint64_t(volumes);
    const std::array<std::uint64_t, 2> ranks = {(count - 1) / 2, count / 2};
    std::vector<std::uint64_t> high(65536, 0);
    run.ForEachVolumeBlock([&](const std::vector<Volume<float>>& block, int) {
        for (const auto& volume : block)
            for (int i : inside) ++high[key(volume.data()[i]) >> 16];
    });
    std::array<std::uint32_t, 2> bin{};
    std::array<std::uint64_t, 2> below{}; // values in lower bins
    for (int r = 0; r < 2; ++r) {
        std::uint64_t seen = 0;
        std::uint32_t b = 0;
        while (seen + high[b] <= ranks[r]) seen += high[b++];
        bin[r] = b, below[r] = seen;
    }
    std::array<std::vector<std::uint64_t>, 2> low = {std::vector<std::uint64_t>(65536, 0), std::vector<std::uint64_t>(65536, 0)};
    run.ForEachVolumeBlock([&](const std::vector<Volume<float>>& block, int) {
        for (const auto& volume : block)
            for (int i : inside) {
                const std::uint32_t k = key(volume.data()[i]);
                for (int r = 0; r < 2; ++r)
                    if ((k >> 16) == bin[r]) ++low[r][k & 0xffffu];
            }
    });
    std::array<double, 2> middle{};
    for (int r = 0; r < 2; ++r) {
        std::uint64_t seen = below[r];
        std::uint32_t b = 0;
        while (seen + low[r][b] <= ranks[r]) seen += low[r][b++];
        middle[r] = valueOfKey((bin[r] << 16) | b);
    }
    const double median = 0.5 * (middle[0] + middle[1]);
    const double scale = checkedScale(median);

    // The voxels' time series, as many voxels at a time as the memory allows.
    const std::size_t perVoxel = std::size_t(volumes) * sizeof(float);
    const std::size_t group = std::max<std::size_t>(1, memoryBytes / perVoxel);
    Sums sums(volumes);
    std::vector<float> series;
    for (std::size_t start = 0; start < inside.size(); start += group) {
        const std::size_t n = std::min(group, inside.size() - start);
        series.assign(n * std::size_t(volumes), 0.0f);
        run.ForEachVolumeBlock([&](const std::vector<Volume<float>>& block, int first) {
            for (std::size_t b = 0; b < block.size(); ++b) {
                const float* data = block[b].data();
                for (std::size_t v = 0; v < n; ++v) series[v * std::size_t(volumes) + std::size_t(first) + b] = data[inside[start + v]];
            }
        });
        for (std::size_t v = 0; v < n; ++v) sums.add(&series[v * std::size_t(volumes)], volumes, scale);
    }
    return sums.result(median);
}

} // namespace qc
