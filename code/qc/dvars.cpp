#include "dvars.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

#include "myFMR.h"

namespace qc {

namespace {

// σ̂ of a voxel's series (unscaled values, multiplied by `scale` as they are
// used), or -1 for a voxel whose robust standard deviation is at most 1e-7.
// The quartiles are selected among the series' own floats: multiplying by a
// positive scale keeps their order, so they are the scaled quartiles exactly.
double sdHatOf(const float* series, std::size_t n, double scale, std::vector<float>& scratch)
{
    scratch.assign(series, series + n);
    // Robust standard deviation: quartiles as the lower neighbouring samples.
    // The lower quartile is the same rank among the values below the upper one.
    const std::size_t k75 = std::size_t(std::floor(0.75 * double(n - 1))), k25 = std::size_t(std::floor(0.25 * double(n - 1)));
    std::nth_element(scratch.begin(), scratch.begin() + std::ptrdiff_t(k75), scratch.end());
    const double q75 = double(scratch[k75]) * scale;
    std::nth_element(scratch.begin(), scratch.begin() + std::ptrdiff_t(k25), scratch.begin() + std::ptrdiff_t(k75 + 1));
    const double q25 = double(scratch[k25]) * scale;
    const double sd = (q75 - q25) / 1.349;
    if (!(sd > 1e-7)) return -1.0;
    // Lag-1 autocorrelation of the mean-removed series by Yule–Walker:
    // the biased autocovariance at lag 1 over that at lag 0.
    double mean = 0.0;
    for (std::size_t t = 0; t < n; ++t) mean += double(series[t]) * scale;
    mean /= double(n);
    double c0 = 0.0, c1 = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        const double d = double(series[t]) * scale - mean;
        c0 += d * d;
        if (t + 1 < n) c1 += d * (double(series[t + 1]) * scale - mean);
    }
    const double rho = c0 > 0.0 ? c1 / c0 : 0.0;
    // The standard deviation of the voxel's differences without artefacts.
    return std::sqrt(2.0 * (1.0 - rho)) * sd;
}

// Runs work(part) for parts 0 .. parts-1 on up to `threads` threads.
void inParts(int parts, int threads, const std::function<void(int)>& work)
{
    threads = std::max(1, std::min(threads, parts));
    if (threads == 1) {
        for (int p = 0; p < parts; ++p) work(p);
        return;
    }
    std::vector<std::thread> pool;
    for (int k = 0; k < threads; ++k)
        pool.emplace_back([&, k] {
            for (int p = k; p < parts; p += threads) work(p);
        });
    for (auto& t : pool) t.join();
}

// The sums over voxels that the three series are made of, per volume. Each
// voxel's σ̂ is its own, so voxels are taken on several threads; the sums are
// added in voxel order for every volume whatever the thread count, so the
// result is the same to the bit.
class Sums {
public:
    Sums(int volumes, int threads)
        : squares_(std::size_t(volumes), 0.0), standardized_(std::size_t(volumes), 0.0), threads_(std::max(1, threads)) {}

    // `count` voxels' series, series[v * volumes + t], scaled by `scale`.
    void add(const float* series, std::size_t count, double scale)
    {
        const std::size_t n = squares_.size();
        std::vector<double> sdHat(count);
        const int parts = int(std::min<std::size_t>(count, std::size_t(threads_) * 8));
        inParts(parts, threads_, [&](int p) {
            std::vector<float> scratch;
            for (std::size_t v = count * std::size_t(p) / std::size_t(parts); v < count * std::size_t(p + 1) / std::size_t(parts); ++v)
                sdHat[v] = sdHatOf(series + v * n, n, scale, scratch);
        });
        for (double s : sdHat) {
            if (s >= 0.0) sumSdHat_ += s, ++voxels_;
            else ++constant_;
        }
        // Each part owns a stretch of volumes and adds the voxels in order.
        const int stretches = int(std::min<std::size_t>(n, std::size_t(threads_)));
        inParts(stretches, threads_, [&](int p) {
            const std::size_t from = std::max<std::size_t>(1, n * std::size_t(p) / std::size_t(stretches));
            const std::size_t to = n * std::size_t(p + 1) / std::size_t(stretches);
            for (std::size_t v = 0; v < count; ++v) {
                if (sdHat[v] < 0.0) continue;
                const float* x = series + v * n;
                for (std::size_t t = from; t < to; ++t) {
                    const double d = double(x[t]) * scale - double(x[t - 1]) * scale;
                    squares_[t] += d * d;
                    standardized_[t] += (d / sdHat[v]) * (d / sdHat[v]);
                }
            }
        });
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
    int threads_;
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
    Sums sums(volumes, 1);
    for (const auto& s : series) sums.add(s.data(), 1, scale);
    return sums.result(median);
}

DVARS computeDVARS(FMR& run, std::vector<unsigned char> const& mask, std::size_t memoryBytes, int threads)
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

    // The voxels' time series, as many voxels at a time as the memory allows;
    // the first group is gathered in the pass that counts the values.
    const std::size_t perVoxel = std::size_t(volumes) * sizeof(float);
    const std::size_t group = std::max<std::size_t>(1, memoryBytes / perVoxel);
    std::vector<float> series;
    // Voxel by voxel across the block: each voxel's stretch of its series is written at once.
    const auto gather = [&](std::size_t start, std::size_t n, const std::vector<Volume<float>>& block, int first) {
        for (std::size_t v = 0; v < n; ++v) {
            float* to = &series[v * std::size_t(volumes) + std::size_t(first)];
            const int at = inside[start + v];
            for (std::size_t b = 0; b < block.size(); ++b) to[b] = block[b].data()[at];
        }
    };

    // The median of all masked values, exactly: a histogram of the high 16
    // bits of order-preserving keys finds the bins of the middle ranks, a
    // histogram of the low 16 bits within them the values; the second comes
    // from the series held when they are all held, else from a second pass.
    const std::uint64_t count = std::uint64_t(inside.size()) * std::uint64_t(volumes);
    const std::array<std::uint64_t, 2> ranks = {(count - 1) / 2, count / 2};
    std::vector<std::uint64_t> high(65536, 0);
    const std::size_t firstGroup = std::min(group, inside.size());
    series.assign(firstGroup * std::size_t(volumes), 0.0f);
    run.ForEachVolumeBlock([&](const std::vector<Volume<float>>& block, int first) {
        for (const auto& volume : block)
            for (int i : inside) ++high[key(volume.data()[i]) >> 16];
        gather(0, firstGroup, block, first);
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
    const auto countLow = [&](float value) {
        const std::uint32_t k = key(value);
        for (int r = 0; r < 2; ++r)
            if ((k >> 16) == bin[r]) ++low[r][k & 0xffffu];
    };
    if (firstGroup == inside.size()) {
        for (float value : series) countLow(value);
    } else {
        run.ForEachVolumeBlock([&](const std::vector<Volume<float>>& block, int) {
            for (const auto& volume : block)
                for (int i : inside) countLow(volume.data()[i]);
        });
    }
    std::array<double, 2> middle{};
    for (int r = 0; r < 2; ++r) {
        std::uint64_t seen = below[r];
        std::uint32_t b = 0;
        while (seen + low[r][b] <= ranks[r]) seen += low[r][b++];
        middle[r] = valueOfKey((bin[r] << 16) | b);
    }
    const double median = 0.5 * (middle[0] + middle[1]);
    const double scale = checkedScale(median);

    Sums sums(volumes, threads);
    sums.add(series.data(), firstGroup, scale);
    for (std::size_t start = firstGroup; start < inside.size(); start += group) {
        const std::size_t n = std::min(group, inside.size() - start);
        series.assign(n * std::size_t(volumes), 0.0f);
        run.ForEachVolumeBlock([&](const std::vector<Volume<float>>& block, int first) { gather(start, n, block, first); });
        sums.add(series.data(), n, scale);
    }
    return sums.result(median);
}

} // namespace qc
