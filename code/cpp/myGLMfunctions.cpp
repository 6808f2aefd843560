#include "myGLMfunctions.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "assertion.h"
#include "elementstorage.h"
#include "matrixfunctions.h"
#include "parallel.h"
#include "stringmanipulation.h"
#include "tremora.h"

// ---------------------------------------------------------------- design matrices

Matrix<float> getDesignMatrix(const SDM& sdm)
{
    // A model without a constant would force the fit through zero intensity;
    // the constant column carries the voxel's mean signal.
    const int predictors = sdm.NrOfPredictors;
    const int rows = sdm.NrOfDataPoints;
    const int columns = predictors + (sdm.HasBaseline() ? 0 : 1);
    Matrix<float> x(rows, columns, 1.0f);
    for (int p = 0; p < predictors; ++p) {
        const std::vector<float>& values = sdm.Predictors[static_cast<std::size_t>(p)];
        for (int t = 0; t < rows; ++t) x.at(t, p) = values[static_cast<std::size_t>(t)];
    }
    return x;
}

std::vector<Matrix<float>> getDesignMatrices(const std::vector<SDM>& sdms)
{
    std::vector<Matrix<float>> xs;
    xs.reserve(sdms.size());
    for (const SDM& sdm : sdms) xs.push_back(getDesignMatrix(sdm));
    return xs;
}

std::vector<Matrix<float>> getInverseDMDMs(const std::vector<Matrix<float>>& xs)
{
    std::vector<Matrix<float>> inverses;
    inverses.reserve(xs.size());
    for (const Matrix<float>& x : xs) inverses.push_back(getInverseMatrix(x.transpose() * x));
    return inverses;
}

// ---------------------------------------------------------------- map output

void saveMap(Volume<float> const& vol, int mapType, float threshold1, float threshold2, int df1, int df2,
             std::string const& fileName)
{
    zrCreateMAPForCurrentFMR();
    MAP_Header header{};
    float** slices = zrGetMAPOfCurrentFMR(&header);
    TREMORA_ASSERT(slices != nullptr);
    const auto dim = vol.dimensions();
    TREMORA_ASSERT(dim.z == header.DimZ);
    TREMORA_ASSERT(dim.y == header.DimY);
    TREMORA_ASSERT(dim.x == header.DimX);

    // A slice buffer holds rows of DimX values, as a volume's slice does.
    const std::size_t sliceSize = static_cast<std::size_t>(dim.x) * static_cast<std::size_t>(dim.y);
    for (int z = 0; z < dim.z; ++z)
        if (sliceSize > 0) std::memcpy(slices[z], vol.data() + sliceSize * static_cast<std::size_t>(z), sliceSize * sizeof(float));

    header.MapType = mapType;
    header.Threshold1 = threshold1;
    header.Threshold2 = threshold2;
    header.Field28 = 0;
    if (df1 != 0) header.DF1 = df1;
    if (df2 != 0) header.DF2 = df2;
    zrSetMAPParametersOfCurrentFMR(&header);
    zrSaveMAPsOfCurrentFMR(fileName.c_str());
}

// ---------------------------------------------------------------- confound model analysis

namespace {

// The analysed voxels' time courses are gathered into panels of kLanes voxels;
// a panel stores, for each time point, the kLanes values side by side, so one
// model is fitted to kLanes voxels at once with SIMD arithmetic across voxels.
// Each voxel's sums still run over time (or over predictors) in order, exactly
// as the one-voxel formulas do, so the results do not depend on the panel
// width or the instruction set.
constexpr int kLanes = 32;
using Pack = float __attribute__((vector_size(64)));
constexpr int kPackLanes = static_cast<int>(sizeof(Pack) / sizeof(float));
constexpr int kPacks = kLanes / kPackLanes;
static_assert(kLanes % kPackLanes == 0);

struct AlignedFree {
    void operator()(float* p) const { ::operator delete[](p, std::align_val_t(64)); }
};
using AlignedFloats = std::unique_ptr<float[], AlignedFree>;

AlignedFloats allocateAligned(std::size_t count)
{
    return AlignedFloats(static_cast<float*>(::operator new[](count * sizeof(float), std::align_val_t(64))));
}

// A large block that the kernel may back with huge pages: one page fault per
// 2 MiB instead of one per 4 KiB when the block is first written.
struct HugeFree {
    void operator()(float* p) const { std::free(p); }
};
using HugeFloats = std::unique_ptr<float[], HugeFree>;

HugeFloats allocateHuge(std::size_t count)
{
    constexpr std::size_t huge = storage::kHugePageBytes;
    const std::size_t bytes = (count * sizeof(float) + huge - 1) / huge * huge;
    void* p = std::aligned_alloc(huge, bytes);
    if (p == nullptr) throw std::bad_alloc();
    storage::adviseHugePages(p, bytes);
    return HugeFloats(static_cast<float*>(p));
}

[[gnu::always_inline]] inline void loadPack(Pack& v, const float* p) { std::memcpy(&v, p, sizeof v); }

[[gnu::always_inline]] inline void storePack(float* p, const Pack& v) { std::memcpy(p, &v, sizeof v); }

// One model fitted to a panel.
struct Model {
    const float* pinv;   // P = (X^T X)^-1 X^T, p x N, column-major: P(j, t) at t*p + j
    const float* design; // X, N x p, column-major: X(t, j) at j*N + t
    int p;
};

// Weights b_j = sum over t of P(j, t) * y[t] for predictors j0 .. j0+JB-1 of
// every voxel of the panel. The panel's values are read once for JB weights.
template <int JB>
[[gnu::always_inline]] inline void panelWeights(const Model& model, int j0, const float* panel, int n, float* weights)
{
    Pack acc[JB][kPacks];
#pragma GCC unroll 16
    for (int jj = 0; jj < JB; ++jj)
#pragma GCC unroll 4
        for (int q = 0; q < kPacks; ++q) acc[jj][q] = Pack{};
    const float* pinv = model.pinv + j0;
    for (int t = 0; t < n; ++t) {
        Pack y[kPacks];
#pragma GCC unroll 4
        for (int q = 0; q < kPacks; ++q) loadPack(y[q], panel + static_cast<std::ptrdiff_t>(t) * kLanes + q * kPackLanes);
        const float* pt = pinv + static_cast<std::ptrdiff_t>(t) * model.p;
#pragma GCC unroll 16
        for (int jj = 0; jj < JB; ++jj) {
            const float s = pt[jj];
#pragma GCC unroll 4
            for (int q = 0; q < kPacks; ++q) acc[jj][q] += s * y[q];
        }
    }
#pragma GCC unroll 16
    for (int jj = 0; jj < JB; ++jj)
#pragma GCC unroll 4
        for (int q = 0; q < kPacks; ++q) storePack(weights + (j0 + jj) * kLanes + q * kPackLanes, acc[jj][q]);
}

// Fitted values X(t, :) * b for time points t0 .. t0+TB-1, the residuals
// y - fit, their running sum of squares, and (when residuals is not null)
// the residuals themselves.
template <int TB>
[[gnu::always_inline]] inline void panelResiduals(const Model& model, int t0, const float* panel, int n,
                                                  const float* weights, Pack (&sse)[kPacks], float* residuals)
{
    Pack fit[TB][kPacks];
#pragma GCC unroll 16
    for (int tt = 0; tt < TB; ++tt)
#pragma GCC unroll 4
        for (int q = 0; q < kPacks; ++q) fit[tt][q] = Pack{};
    for (int j = 0; j < model.p; ++j) {
        Pack b[kPacks];
#pragma GCC unroll 4
        for (int q = 0; q < kPacks; ++q) loadPack(b[q], weights + j * kLanes + q * kPackLanes);
        const float* xj = model.design + static_cast<std::ptrdiff_t>(j) * n + t0;
#pragma GCC unroll 16
        for (int tt = 0; tt < TB; ++tt) {
            const float s = xj[tt];
#pragma GCC unroll 4
            for (int q = 0; q < kPacks; ++q) fit[tt][q] += s * b[q];
        }
    }
#pragma GCC unroll 16
    for (int tt = 0; tt < TB; ++tt) {
        const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(t0 + tt) * kLanes;
#pragma GCC unroll 4
        for (int q = 0; q < kPacks; ++q) {
            Pack r;
            loadPack(r, panel + row + q * kPackLanes);
            r -= fit[tt][q];
            sse[q] += r * r;
            if (residuals != nullptr) storePack(residuals + row + q * kPackLanes, r);
        }
    }
}

// Fits one model to one panel: weights (p x kLanes scratch), the sum of
// squared residuals per voxel into sse, and the residuals (N x kLanes) when
// residuals is not null. Compiled for several instruction sets, chosen when
// the library is loaded.
[[gnu::target_clones("avx512f", "avx2", "default")]] void fitPanel(const Model& model, const float* panel, int n,
                                                                   float* weights, float* sse, float* residuals)
{
    constexpr int JB = 8; // weights per pass over the panel
    constexpr int TB = 8; // time points per pass over the weights
    int j0 = 0;
    for (; j0 + JB <= model.p; j0 += JB) panelWeights<JB>(model, j0, panel, n, weights);
    switch (model.p - j0) {
    case 7: panelWeights<7>(model, j0, panel, n, weights); break;
    case 6: panelWeights<6>(model, j0, panel, n, weights); break;
    case 5: panelWeights<5>(model, j0, panel, n, weights); break;
    case 4: panelWeights<4>(model, j0, panel, n, weights); break;
    case 3: panelWeights<3>(model, j0, panel, n, weights); break;
    case 2: panelWeights<2>(model, j0, panel, n, weights); break;
    case 1: panelWeights<1>(model, j0, panel, n, weights); break;
    default: break;
    }
    Pack sums[kPacks];
    for (int q = 0; q < kPacks; ++q) sums[q] = Pack{};
    int t0 = 0;
    for (; t0 + TB <= n; t0 += TB) panelResiduals<TB>(model, t0, panel, n, weights, sums, residuals);
    for (; t0 < n; ++t0) panelResiduals<1>(model, t0, panel, n, weights, sums, residuals);
    for (int q = 0; q < kPacks; ++q) storePack(sse + q * kPackLanes, sums[q]);
}

// Mean and sample standard deviation of each lane's N values, as
// Vector<float>::mean and Vector<float>::std compute them: a float sum in
// time order, then the sum of squared deviations, with a standard deviation
// of 0 when that sum is not above 0.0001.
void laneMeanAndStd(const float* values, int n, float* mean, float* std, float* squares)
{
    float sum[kLanes] = {};
    for (int t = 0; t < n; ++t)
        for (int l = 0; l < kLanes; ++l) sum[l] += values[static_cast<std::ptrdiff_t>(t) * kLanes + l];
    for (int l = 0; l < kLanes; ++l) mean[l] = sum[l] / static_cast<float>(n);
    float ss[kLanes] = {};
    for (int t = 0; t < n; ++t)
        for (int l = 0; l < kLanes; ++l) {
            const float d = values[static_cast<std::ptrdiff_t>(t) * kLanes + l] - mean[l];
            ss[l] += d * d;
        }
    for (int l = 0; l < kLanes; ++l) {
        squares[l] = ss[l];
        std[l] = ss[l] > 0.0001f ? std::sqrt(ss[l] / static_cast<float>(n - 1)) : 0.0f;
    }
}

// The run's time courses of the voxels to analyse (smallest value above
// 100.0, which leaves out the background outside the head), gathered into
// panels. The last panel is padded with copies of the last voxel.
struct Panels {
    std::vector<int> voxels; // linear voxel index of each lane, padding included
    int analysed = 0;        // voxels really analysed (lanes beyond are padding)
    int count = 0;           // number of panels
    HugeFloats values;       // count x N x kLanes
};

Panels gatherPanels(float* const* data, int n, int voxelCount, int threads)
{
    Panels panels;
    if (n < 1 || voxelCount < 1) return panels;
    // Each voxel's smallest value, over stretches of voxels on the workers.
    constexpr int stretch = 4096;
    std::vector<float> lowest(static_cast<std::size_t>(voxelCount));
    parallel::forEach(static_cast<std::size_t>((voxelCount + stretch - 1) / stretch), threads, [&](std::size_t part, int) {
        const int v0 = static_cast<int>(part) * stretch, v1 = std::min(voxelCount, v0 + stretch);
        float* low = lowest.data();
        std::copy(data[0] + v0, data[0] + v1, low + v0);
        for (int t = 1; t < n; ++t) {
            const float* volume = data[t];
            for (int v = v0; v < v1; ++v) low[v] = volume[v] < low[v] ? volume[v] : low[v];
        }
    });
    for (int v = 0; v < voxelCount; ++v)
        if (lowest[static_cast<std::size_t>(v)] > 100.0f) panels.voxels.push_back(v);
    panels.analysed = static_cast<int>(panels.voxels.size());
    if (panels.analysed == 0) return panels;
    panels.count = (panels.analysed + kLanes - 1) / kLanes;
    panels.voxels.resize(static_cast<std::size_t>(panels.count) * kLanes, panels.voxels.back());

    const std::size_t panelSize = static_cast<std::size_t>(n) * kLanes;
    panels.values = allocateHuge(panelSize * static_cast<std::size_t>(panels.count));
    // Groups of panels on the workers; in each, a few volumes at a time, so
    // that the reads stay sequential in each volume and the writes fill whole
    // rows of a panel.
    constexpr int panelsPerGroup = 16;
    constexpr int volumesPerPass = 8;
    const int groups = (panels.count + panelsPerGroup - 1) / panelsPerGroup;
    parallel::forEach(static_cast<std::size_t>(groups), threads, [&](std::size_t group, int) {
        const int k0 = static_cast<int>(group) * panelsPerGroup, k1 = std::min(panels.count, k0 + panelsPerGroup);
        for (int t0 = 0; t0 < n; t0 += volumesPerPass) {
            const int t1 = std::min(n, t0 + volumesPerPass);
            for (int k = k0; k < k1; ++k) {
                const int* lanes = panels.voxels.data() + static_cast<std::ptrdiff_t>(k) * kLanes;
                float* panel = panels.values.get() + panelSize * static_cast<std::size_t>(k);
                for (int t = t0; t < t1; ++t) {
                    const float* volume = data[t];
                    float* row = panel + static_cast<std::ptrdiff_t>(t) * kLanes;
                    for (int l = 0; l < kLanes; ++l) row[l] = volume[lanes[l]];
                }
            }
        }
    });
    return panels;
}

// combine(a, b): a copy of a with b's predictors appended.
SDM combined(const SDM& a, const SDM& b)
{
    SDM result(a);
    result.Append(b);
    return result;
}

// "_" and the part after the last underscore of the name without extension:
// the tag a derived confound file carries ("_detr", "_deriv", ...).
std::string tagOf(const std::string& fileName)
{
    std::string tag(1, '_');
    tag += getPartAfterLastUnderscore(removeExtension(fileName));
    return tag;
}

// p counts the independent columns of the model, its constant included.
float adjustedR2(float sse, float sst, float n, int p)
{
    const float r2 = 1.0f - sse / sst;
    const float scaled = (1.0f - r2) * (n - 1.0f);
    return 1.0f - scaled / (n - static_cast<float>(p) - 1.0f);
}

// "Warning: 2 of the 6 columns of <what> add nothing (...)".
std::string redundancyWarning(int redundant, int columns, const std::string& what, const char* combinationOf)
{
    return "Warning: " + std::to_string(redundant) + " of the " + std::to_string(columns) + " columns of " + what +
           (redundant == 1 ? " adds" : " add") + " nothing (a combination of " + combinationOf +
           "); adjusted R2 and F count only the independent columns";
}

} // namespace

// ---------------------------------------------------------------- the analysis, step by step

struct ConfoundAnalysis::State {
    std::vector<SDM> confounds;
    std::size_t next = 0; // the confound set the next step adds
    int n = 0;            // volumes
    glm::tvec3<int> dims{0, 0, 0};
    std::string taskName, runBase;

    // M0: the task and the confound sets before the one being added;
    // M1: the confound sets only, up to the one being added;
    // M2: the task and the confound sets up to the one being added.
    SDM m0, m1, m2;

    Panels panels;
    std::size_t panelSize = 0;
    // Per analysed voxel (padding lanes included): statistics of the data,
    // the same at every step, and of the current step's fits.
    std::vector<float> meanY, stdY, sst, sse0, sse2, stdR1;
    Matrix<float> previousX2;
    int threads = 0; // as given; resolved at each step
};

ConfoundAnalysis::ConfoundAnalysis(const SDM& taskSdm, std::vector<SDM> confounds, const RunTimeCourses& run,
                                   int threads)
    : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.threads = threads;
    s.n = run.count;
    s.dims = run.dims;
    s.taskName = taskSdm.FileName;
    s.runBase = removeExtension(run.fileName);
    s.confounds = std::move(confounds);
    if (s.confounds.empty()) return;
    if (run.volumes == nullptr && s.n > 0)
        throw std::runtime_error("The run " + run.fileName + " has no time courses to analyse");
    // An SDM of another length would be left out of the models without a word.
    const auto requireLength = [&](const SDM& sdm) {
        if (sdm.NrOfDataPoints.value() != s.n)
            throw std::runtime_error("The design " + sdm.FileName + " has " + std::to_string(sdm.NrOfDataPoints.value()) +
                                     " data points but the run has " + std::to_string(s.n) + " volumes");
    };
    requireLength(taskSdm);
    for (const SDM& set : s.confounds) requireLength(set);

    s.m0 = taskSdm;
    s.m1 = s.confounds[0];
    s.m2 = combined(taskSdm, s.confounds[0]);

    s.panels = gatherPanels(run.volumes, s.n, s.dims.x * s.dims.y * s.dims.z, threads);
    s.panelSize = static_cast<std::size_t>(s.n) * kLanes;
    const std::size_t lanes = static_cast<std::size_t>(s.panels.count) * kLanes;
    s.meanY.resize(lanes);
    s.stdY.resize(lanes);
    s.sst.resize(lanes);
    parallel::forEach(static_cast<std::size_t>(s.panels.count), threads, [&](std::size_t k, int) {
        const std::size_t first = k * kLanes;
        laneMeanAndStd(s.panels.values.get() + s.panelSize * k, s.n, s.meanY.data() + first, s.stdY.data() + first,
                       s.sst.data() + first);
    });
    s.sse0.resize(lanes);
    s.sse2.resize(lanes);
    s.stdR1.resize(lanes);
}

ConfoundAnalysis::~ConfoundAnalysis() = default;

bool ConfoundAnalysis::done() const { return state_->next >= state_->confounds.size(); }

ConfoundStep ConfoundAnalysis::next()
{
    TREMORA_ASSERT(!done());
    State& s = *state_;
    const std::size_t c = s.next++;
    const SDM& added = s.confounds[c];
    if (c > 0) {
        s.m0.Append(s.confounds[c - 1]);
        s.m1.Append(added);
        s.m2.Append(added);
    }
    const std::vector<Matrix<float>> xs = getDesignMatrices({s.m0, s.m1, s.m2});
    const PseudoInverse pinvs[3] = {getPseudoInverse(xs[0]), getPseudoInverse(xs[1]), getPseudoInverse(xs[2])};
    const int p0 = xs[0].columns(), p2 = xs[2].columns();
    // The degrees of freedom are those of the independent columns.
    const int r0 = pinvs[0].rank, r2 = pinvs[2].rank;

    ConfoundStep step;
    if (c == 0 && r0 < p0)
        step.warnings.push_back(
            redundancyWarning(p0 - r0, p0, "the task design " + s.taskName + " (its constant included)", "the others"));
    if (r2 <= r0)
        throw std::runtime_error("The confound set " + added.FileName + " adds no column independent of the task design" +
                                 (c > 0 ? " and the sets before it" : "") +
                                 ": the F value of its addition is undefined. Leave it out, or give another set.");
    if (r2 - r0 < p2 - p0)
        step.warnings.push_back(redundancyWarning(p2 - p0 - (r2 - r0), p2 - p0, "the confound set " + added.FileName,
                                                  "columns already in the model"));

    const Model models[3] = {{pinvs[0].inverse.data(), xs[0].data(), p0},
                             {pinvs[1].inverse.data(), xs[1].data(), xs[1].columns()},
                             {pinvs[2].inverse.data(), xs[2].data(), p2}};
    // The panels are shared among the workers, each with scratch space of its
    // own; a panel's results depend on its own values alone.
    const std::size_t panelCount = static_cast<std::size_t>(s.panels.count);
    const int workers = parallel::workersFor(panelCount, s.threads);
    const std::size_t weightSize = static_cast<std::size_t>(std::max({p0, xs[1].columns(), p2, 1})) * kLanes;
    const std::size_t residualSize = std::max<std::size_t>(s.panelSize, 1);
    std::vector<AlignedFloats> weights, residuals;
    for (int w = 0; w < workers; ++w) {
        weights.push_back(allocateAligned(weightSize));
        residuals.push_back(allocateAligned(residualSize));
    }

    // The model before this addition is the model after the previous one:
    // its residuals are already known.
    const bool reuseM0 = c > 0 && xs[0] == s.previousX2;
    if (reuseM0) s.sse0.swap(s.sse2);
    parallel::forEach(panelCount, s.threads, [&](std::size_t k, int worker) {
        const float* panel = s.panels.values.get() + s.panelSize * k;
        const std::size_t first = k * kLanes;
        float* weight = weights[static_cast<std::size_t>(worker)].get();
        float* residual = residuals[static_cast<std::size_t>(worker)].get();
        if (!reuseM0) fitPanel(models[0], panel, s.n, weight, s.sse0.data() + first, nullptr);
        float ss1[kLanes];
        fitPanel(models[1], panel, s.n, weight, ss1, residual);
        float meanR1[kLanes], squaresR1[kLanes];
        laneMeanAndStd(residual, s.n, meanR1, s.stdR1.data() + first, squaresR1);
        fitPanel(models[2], panel, s.n, weight, s.sse2.data() + first, nullptr);
    });
    s.previousX2 = xs[2];

    const float nf = static_cast<float>(s.n);
    Volume<float> tsnrData(s.dims, 0.0f), tsnrResiduals(s.dims, 0.0f), tsnrChange(s.dims, 0.0f), r2adj0(s.dims, 0.0f),
        r2adj2(s.dims, 0.0f), r2adjDiff(s.dims, 0.0f), fValue(s.dims, 0.0f);
    step.sseBefore = Volume<float>(s.dims, 0.0f);
    step.sseAfter = Volume<float>(s.dims, 0.0f);
    step.columnsBefore = r0;
    step.columnsAfter = r2;
    for (int a = 0; a < s.panels.analysed; ++a) {
        const std::size_t i = static_cast<std::size_t>(a);
        const int v = s.panels.voxels[i];
        const float dataSNR = s.meanY[i] / s.stdY[i];
        // The temporal SNR once the confounds are regressed out: the data's
        // mean over the residuals' standard deviation (the residuals of a
        // model with a constant have no mean of their own).
        const float residualSNR = s.meanY[i] / s.stdR1[i];
        tsnrData[v] = dataSNR;
        tsnrResiduals[v] = residualSNR;
        tsnrChange[v] = (residualSNR - dataSNR) / dataSNR * 100.0f;
        const float adj0 = adjustedR2(s.sse0[i], s.sst[i], nf, r0);
        const float adj2 = adjustedR2(s.sse2[i], s.sst[i], nf, r2);
        r2adj0[v] = adj0;
        r2adj2[v] = adj2;
        r2adjDiff[v] = adj2 - adj0;
        step.sseBefore[v] = s.sse0[i];
        step.sseAfter[v] = s.sse2[i];
        fValue[v] = ((s.sse0[i] - s.sse2[i]) / static_cast<float>(r2 - r0)) / (s.sse2[i] / (nf - static_cast<float>(r2)));
    }

    std::string base = removeExtension(s.confounds[0].FileName);
    for (std::size_t k = 1; k <= c; ++k) base += tagOf(s.confounds[k].FileName);
    std::string tag;
    if (c == 0) {
        tag = "task";
    } else {
        for (std::size_t k = 0; k < c; ++k) tag += tagOf(s.confounds[k].FileName);
    }
    const float largestF = fValue.max();
    if (c == 0) {
        step.maps.push_back({s.runBase + "_tSNR_data.map", std::move(tsnrData), 0, 5.0f, 100.0f, 0, 0});
        step.maps.push_back({s.runBase + "_task_R2adj.map", std::move(r2adj0), 0, 0.1f, 0.5f, 0, 0});
    }
    step.maps.push_back({base + "_tSNR_residuals.map", std::move(tsnrResiduals), 0, 5.0f, 100.0f, 0, 0});
    step.maps.push_back({base + "_tSNR_perc_increase.map", std::move(tsnrChange), 0, 1.0f, 20.0f, 0, 0});
    step.maps.push_back({base + "_R2adj.map", std::move(r2adj2), 0, 0.1f, 0.5f, 0, 0});
    step.maps.push_back({base + "_R2adj_diff" + tag + ".map", std::move(r2adjDiff), 0, 0.05f, 0.5f, 0, 0});
    // The F of the addition has (columns added, volumes - columns of the model
    // after it) degrees of freedom, counted by rank, which is what a viewer
    // needs to turn the map into p-values.
    step.maps.push_back({base + "_Fval_diff" + tag + ".map", std::move(fValue), 4, 2.0f, largestF / 2.0f, r2 - r0, s.n - r2});
    return step;
}

// ---------------------------------------------------------------- the analysis through the host

void analyzeConfounds(const SDM& taskSdm, const std::vector<SDM>& confounds, const FMR_Header& header, TMZRLog& log)
{
    if (confounds.empty()) return;
    float** data = zrGetSTCFloatDataOfCurrentFMR();
    if (data == nullptr)
        throw std::runtime_error("The current run has no slice data: the confound models need the run's time courses");
    const RunTimeCourses run{data, header.NrOfVolumes, {header.DimX, header.DimY, header.DimZ},
                             std::string(header.FileName, strnlen(header.FileName, sizeof header.FileName))};
    ConfoundAnalysis analysis(taskSdm, confounds, run);
    for (const SDM& set : confounds) {
        log << "Testing Addition of " << set.FileName << std::flush;
        const ConfoundStep step = analysis.next();
        for (const std::string& warning : step.warnings) log << warning << std::flush;
        for (const ConfoundMap& map : step.maps)
            saveMap(map.volume, map.mapType, map.threshold1, map.threshold2, map.df1, map.df2, map.fileName);
    }
}
