#include "dvars.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "elementstorage.h"
#include "myFMR.h"
#include "parallel.h"

namespace qc {

namespace {

thread_local std::vector<std::uint32_t> integerCounts;

// The values of ranks k25 <= k75 (0 the smallest) among n finite values,
// exactly as a sort would place them, with about three passes over the
// values instead of two selections: the values are spread over buckets by a
// map that keeps their order (x -> floor((x - min) * buckets / (max - min)),
// non-decreasing in x however it rounds), and each rank is then selected
// among the few values of its own bucket.
template <class T>
std::pair<T, T> quartileValues(const T* x, std::size_t n, std::size_t k25, std::size_t k75, std::vector<T>& scratch,
                               std::vector<std::uint8_t>& buckets)
{
    T lo = x[0], hi = x[0];
    for (std::size_t t = 1; t < n; ++t) lo = std::min(lo, x[t]), hi = std::max(hi, x[t]);
    if (!(hi > lo)) return {lo, lo};
    if constexpr (std::is_integral_v<T>) {
        // Integers over a range not much wider than the series: a count of
        // each value, and the ranks found by walking the counts.
        const std::size_t range = std::size_t(int(hi) - int(lo)) + 1;
        if (range <= 4 * n) {
            std::vector<std::uint32_t>& counts = integerCounts;
            counts.assign(range, 0);
            for (std::size_t t = 0; t < n; ++t) ++counts[std::size_t(int(x[t]) - int(lo))];
            std::size_t seen = 0, v = 0;
            while (seen + counts[v] <= k25) seen += counts[v++];
            const T q25 = T(int(lo) + int(v));
            while (seen + counts[v] <= k75) seen += counts[v++];
            return {q25, T(int(lo) + int(v))};
        }
    }
    constexpr int kBuckets = 256;
    const double step = double(kBuckets) / (double(hi) - double(lo)), base = double(lo);
    std::array<std::uint32_t, kBuckets> counts{};
    buckets.resize(n);
    for (std::size_t t = 0; t < n; ++t) {
        const auto b = std::uint8_t(std::min(kBuckets - 1, int((double(x[t]) - base) * step)));
        buckets[t] = b;
        ++counts[b];
    }
    // The bucket of each rank and the rank within it.
    const auto locate = [&](std::size_t k) {
        std::size_t below = 0;
        int b = 0;
        while (below + counts[std::size_t(b)] <= k) below += counts[std::size_t(b++)];
        return std::pair<int, std::size_t>{b, k - below};
    };
    const auto [b25, r25] = locate(k25);
    const auto [b75, r75] = locate(k75);
    // The lower bucket's values first, then the upper one's.
    const std::size_t first = counts[std::size_t(b25)];
    scratch.resize(b75 == b25 ? first : first + counts[std::size_t(b75)]);
    std::size_t low = 0, high = first;
    for (std::size_t t = 0; t < n; ++t) {
        if (buckets[t] == b25) scratch[low++] = x[t];
        else if (buckets[t] == b75) scratch[high++] = x[t];
    }
    const auto pick = [&](std::size_t from, std::size_t to, std::size_t rank) {
        std::nth_element(scratch.begin() + std::ptrdiff_t(from), scratch.begin() + std::ptrdiff_t(from + rank),
                         scratch.begin() + std::ptrdiff_t(to));
        return scratch[from + rank];
    };
    const T q25 = pick(0, first, r25);
    const T q75 = b75 == b25 ? pick(0, first, r75) : pick(first, scratch.size(), r75);
    return {q25, q75};
}

// σ̂ of `count` (at most kLanes) voxels' series, series[v * n + t] (unscaled
// values, multiplied by `scale` as they are used), each -1 for a voxel whose
// robust standard deviation is at most 1e-7. The quartiles are selected among
// the series' own values: multiplying by a positive scale keeps their order,
// so they are the scaled quartiles exactly. The autocorrelations of the
// voxels are summed side by side, one lane each, every lane in time order as
// a single voxel's would be: the same bits, without waiting on each addition.
// A series of 16-bit integers gives the same bits as the same values held as
// floats: every value is exact in both, and all arithmetic is in double.
constexpr std::size_t kLanes = 8;

template <class T>
void sdHatOf(const T* series, std::size_t n, std::size_t count, double scale, double* sdHat, std::vector<T>& scratch,
             std::vector<std::uint8_t>& buckets, std::vector<double>& lanes)
{
    // Robust standard deviation: quartiles as the lower neighbouring samples.
    const std::size_t k75 = std::size_t(std::floor(0.75 * double(n - 1))), k25 = std::size_t(std::floor(0.25 * double(n - 1)));
    double sd[kLanes];
    for (std::size_t k = 0; k < kLanes; ++k) {
        if (k >= count) {
            sd[k] = sd[0];
            continue;
        }
        const auto [low, high] = quartileValues(series + k * n, n, k25, k75, scratch, buckets);
        const double q75 = double(high) * scale, q25 = double(low) * scale;
        sd[k] = (q75 - q25) / 1.349;
    }
    // The scaled values, a row of lanes per volume (missing voxels repeat the first).
    lanes.resize(n * kLanes);
    for (std::size_t k = 0; k < kLanes; ++k) {
        const T* x = series + (k < count ? k : 0) * n;
        for (std::size_t t = 0; t < n; ++t) lanes[t * kLanes + k] = double(x[t]) * scale;
    }
    // Lag-1 autocorrelation of the mean-removed series by Yule–Walker:
    // the biased autocovariance at lag 1 over that at lag 0.
    double mean[kLanes] = {}, c0[kLanes] = {}, c1[kLanes] = {};
    const double* y = lanes.data();
    for (std::size_t t = 0; t < n; ++t)
        for (std::size_t k = 0; k < kLanes; ++k) mean[k] += y[t * kLanes + k];
    for (std::size_t k = 0; k < kLanes; ++k) mean[k] /= double(n);
    for (std::size_t t = 0; t + 1 < n; ++t)
        for (std::size_t k = 0; k < kLanes; ++k) {
            const double d = y[t * kLanes + k] - mean[k];
            c0[k] += d * d;
            c1[k] += d * (y[(t + 1) * kLanes + k] - mean[k]);
        }
    for (std::size_t k = 0; k < kLanes; ++k) {
        const double d = y[(n - 1) * kLanes + k] - mean[k];
        c0[k] += d * d;
    }
    for (std::size_t k = 0; k < count; ++k) {
        if (!(sd[k] > 1e-7)) {
            sdHat[k] = -1.0;
            continue;
        }
        const double rho = c0[k] > 0.0 ? c1[k] / c0[k] : 0.0;
        // The standard deviation of the voxel's differences without artefacts.
        sdHat[k] = std::sqrt(2.0 * (1.0 - rho)) * sd[k];
    }
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
    template <class T>
    void add(const T* series, std::size_t count, double scale)
    {
        const std::size_t n = squares_.size();
        std::vector<double> sdHat(count);
        const int parts = int(std::min<std::size_t>(count, std::size_t(threads_) * 8));
        parallel::forEach(std::size_t(parts), threads_, [&](std::size_t p, int) {
            std::vector<T> scratch;
            std::vector<std::uint8_t> buckets;
            std::vector<double> lanes;
            const std::size_t end = count * (p + 1) / std::size_t(parts);
            for (std::size_t v = count * p / std::size_t(parts); v < end; v += kLanes)
                sdHatOf(series + v * n, n, std::min(kLanes, end - v), scale, &sdHat[v], scratch, buckets, lanes);
        });
        for (double s : sdHat) {
            if (s >= 0.0) sumSdHat_ += s, ++voxels_;
            else ++constant_;
        }
        // Each part owns a stretch of volumes and adds the voxels in order.
        const int stretches = int(std::min<std::size_t>(n, std::size_t(threads_)));
        parallel::forEach(std::size_t(stretches), threads_, [&](std::size_t p, int) {
            const std::size_t from = std::max<std::size_t>(1, n * p / std::size_t(stretches));
            const std::size_t to = n * (p + 1) / std::size_t(stretches);
            double* __restrict squares = squares_.data();
            double* __restrict standardized = standardized_.data();
            for (std::size_t v = 0; v < count; ++v) {
                if (sdHat[v] < 0.0) continue;
                const T* __restrict x = series + v * n;
                const double s = sdHat[v];
                for (std::size_t t = from; t < to; ++t) {
                    const double d = double(x[t]) * scale - double(x[t - 1]) * scale;
                    squares[t] += d * d;
                    standardized[t] += (d / s) * (d / s);
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

// The same from a run of 16-bit slice data, read slice by slice as it is
// stored: the series are gathered in the run's own type (half the memory of
// floats) and the median comes from a histogram of the 65536 values a voxel
// can hold. The voxels of a group lie in consecutive slices, so a group after
// the first reads only those. Same bits as from the float volumes.
DVARS fromStoredSlices(const FMR& run, const std::vector<int>& inside, std::size_t memoryBytes, int threads)
{
    const std::size_t nv = std::size_t(run.NrOfVolumes.value());
    const std::size_t image = std::size_t(run.ResolutionX.value()) * std::size_t(run.ResolutionY.value());
    const std::size_t group = std::max<std::size_t>(1, memoryBytes / (nv * sizeof(std::int16_t)));
    const std::size_t firstGroup = std::min(group, inside.size());
    const storage::Array<std::int16_t> series = storage::allocate<std::int16_t>(firstGroup * nv);
    std::vector<std::uint64_t> histogram(65536, 0);
    // Voxels [start, end) of `inside` found in slice z go to their series (those
    // before `keep`) and, when counted, to the histogram. The volumes are taken
    // in tiles that stay in the cache while each voxel's stretch is written.
    const auto gather = [&](std::size_t start, std::size_t end, std::size_t keep, bool count, int z, const std::int16_t* slice) {
        const int zFirst = int(std::size_t(z) * image);
        const auto first = std::lower_bound(inside.begin() + std::ptrdiff_t(start), inside.begin() + std::ptrdiff_t(end), zFirst);
        const auto last = std::lower_bound(first, inside.begin() + std::ptrdiff_t(end), zFirst + int(image));
        constexpr std::size_t kTile = 64;
        for (std::size_t t0 = 0; t0 < nv; t0 += kTile) {
            const std::size_t t1 = std::min(nv, t0 + kTile);
            for (auto it = first; it != last; ++it) {
                const std::int16_t* from = slice + std::size_t(*it - zFirst);
                const std::size_t v = std::size_t(it - inside.begin());
                if (count)
                    for (std::size_t t = t0; t < t1; ++t) ++histogram[std::size_t(from[t * image] + 32768)];
                if (v < keep) {
                    std::int16_t* to = &series[(v - start) * nv];
                    for (std::size_t t = t0; t < t1; ++t) to[t] = from[t * image];
                }
            }
        }
    };
    const auto sliceOf = [&](std::size_t v) { return int(std::size_t(inside[v]) / image); };
    run.ForEachStoredSlice(sliceOf(0), sliceOf(inside.size() - 1) + 1, [&](int z, const std::int16_t* slice) {
        gather(0, inside.size(), firstGroup, true, z, slice);
    });

    // The median: the middle value, or the mean of the two middle values.
    const std::uint64_t count = std::uint64_t(inside.size()) * std::uint64_t(nv);
    std::array<double, 2> middle{};
    const std::array<std::uint64_t, 2> ranks = {(count - 1) / 2, count / 2};
    for (int r = 0; r < 2; ++r) {
        std::uint64_t seen = 0;
        std::size_t b = 0;
        while (seen + histogram[b] <= ranks[std::size_t(r)]) seen += histogram[b++];
        middle[std::size_t(r)] = double(int(b) - 32768);
    }
    const double median = 0.5 * (middle[0] + middle[1]);
    const double scale = checkedScale(median);

    Sums sums(int(nv), threads);
    sums.add(series.get(), firstGroup, scale);
    for (std::size_t start = firstGroup; start < inside.size(); start += group) {
        const std::size_t end = std::min(inside.size(), start + group);
        run.ForEachStoredSlice(sliceOf(start), sliceOf(end - 1) + 1, [&](int z, const std::int16_t* slice) {
            gather(start, end, end, false, z, slice);
        });
        sums.add(series.get(), end - start, scale);
    }
    return sums.result(median);
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
    if (!run.floatData()) return fromStoredSlices(run, inside, memoryBytes, threads);

    // The voxels' time series, as many voxels at a time as the memory allows;
    // the first group is gathered in the pass that counts the values.
    const std::size_t perVoxel = std::size_t(volumes) * sizeof(float);
    const std::size_t group = std::max<std::size_t>(1, memoryBytes / perVoxel);
    // Every value of a group's series is written before it is read, so the
    // buffer is left uninitialised (zeroing it cost as much as a pass), in
    // huge pages; one buffer serves every group.
    const std::size_t firstGroup = std::min(group, inside.size());
    const storage::Array<float> series = storage::allocate<float>(firstGroup * std::size_t(volumes));
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
        for (std::size_t k = 0; k < firstGroup * std::size_t(volumes); ++k) countLow(series[k]);
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
    sums.add(series.get(), firstGroup, scale);
    for (std::size_t start = firstGroup; start < inside.size(); start += group) {
        const std::size_t n = std::min(group, inside.size() - start);
        run.ForEachVolumeBlock([&](const std::vector<Volume<float>>& block, int first) { gather(start, n, block, first); });
        sums.add(series.get(), n, scale);
    }
    return sums.result(median);
}

} // namespace qc
