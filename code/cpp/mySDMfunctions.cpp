#include "mySDMfunctions.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <iomanip>
#include <string>

#include "TMZRPluginInterface.h"
#include "atomicfile.h"
#include "stringmanipulation.h"

namespace {

std::vector<float>& values(SDM& sdm, int i) { return sdm.Predictors[static_cast<std::size_t>(i)]; }
std::string& name(SDM& sdm, int i) { return sdm.PredictorNames[static_cast<std::size_t>(i)]; }

} // namespace

void detrendPredictor(SDM& sdm, int i)
{
    std::vector<float>& y = values(sdm, i);
    const std::size_t n = y.size();
    if (n >= 2) {
        // Least-squares line through (k, y_k), accumulated in one pass.
        float sx = 0.0f, sy = 0.0f, sxy = 0.0f, sxx = 0.0f;
        for (std::size_t k = 0; k < n; ++k) {
            const float x = static_cast<float>(k);
            sx += x;
            sy += y[k];
            sxy += x * y[k];
            sxx += static_cast<float>(static_cast<long long>(k) * static_cast<long long>(k));
        }
        const float fn = static_cast<float>(n);
        const float b = (fn * sxy - sx * sy) / (fn * sxx - sx * sx);
        const float a = (sy - b * sx) / fn;
        for (std::size_t k = 0; k < n; ++k) y[k] = y[k] - (b * static_cast<float>(k) + a);
    }
    name(sdm, i) += " detrended";
}

void derivativePredictor(SDM& sdm, int i)
{
    std::vector<float>& y = values(sdm, i);
    const std::vector<float> c = y;
    const std::size_t n = c.size();
    for (std::size_t k = 0; k < n; ++k) y[k] = (k == 0 || k + 1 == n) ? 0.0f : (c[k + 1] - c[k - 1]) * 0.5f;
    name(sdm, i) += " derivative";
}

void squarePredictor(SDM& sdm, int i)
{
    for (float& v : values(sdm, i)) v = v * v;
    name(sdm, i) += " squared";
}

void timeDelayPredictor(SDM& sdm, int i, unsigned int shift)
{
    std::vector<float>& y = values(sdm, i);
    const std::vector<float> c = y;
    for (std::size_t k = 0; k < c.size(); ++k) y[k] = k >= shift ? c[k - shift] : 0.0f;
    name(sdm, i) += " t-" + std::to_string(shift);
}

void zTransformPredictor(SDM& sdm, int i)
{
    std::vector<float>& y = values(sdm, i);
    const auto [m, sd] = meanANDstddev<float>(y);
    const float d = sd < 0.0001f ? 1.0f : sd;
    for (float& v : y) v = (v - m) / d;
}

namespace {
template <typename F>
void forAll(SDM& sdm, F transform)
{
    for (std::size_t i = 0; i < sdm.Predictors.size(); ++i) transform(sdm, static_cast<int>(i));
}
} // namespace

void detrendAllPredictors(SDM& sdm) { forAll(sdm, detrendPredictor); }
void derivativeAllPredictors(SDM& sdm) { forAll(sdm, derivativePredictor); }
void squareAllPredictors(SDM& sdm) { forAll(sdm, squarePredictor); }
void timeDelayAllPredictors(SDM& sdm, unsigned int shift)
{
    forAll(sdm, [shift](SDM& s, int i) { timeDelayPredictor(s, i, shift); });
}
void zTransformAllPredictors(SDM& sdm) { forAll(sdm, zTransformPredictor); }

SDM squaredDerivativeSet(const SDM& motion)
{
    SDM set(motion);
    detrendAllPredictors(set);
    derivativeAllPredictors(set);
    squareAllPredictors(set);
    zTransformAllPredictors(set);
    return set;
}

SDM spikeSet(const SDM& motion, const std::vector<int>& volumes)
{
    SDM spikes(motion);
    spikes.Clear();
    const auto points = static_cast<std::size_t>(std::max(spikes.NrOfDataPoints.value(), 0));
    for (const int k : volumes) {
        if (k < 0 || static_cast<std::size_t>(k) >= points)
            throw std::invalid_argument("Spike volume " + std::to_string(k) + " is not a volume of the " +
                                        std::to_string(points) + " data points");
        std::vector<float> predictor(points, 0.0f);
        predictor[static_cast<std::size_t>(k)] = 1.0f;
        spikes.AddPredictor(std::move(predictor), "Spike Volume " + std::to_string(k), 250, 250, 250);
    }
    return spikes;
}

template <typename T>
std::pair<T, T> meanANDstddev(const std::vector<T>& v)
{
    const std::size_t n = v.size();
    if (n == 0) return {T(0), T(0)};
    T sum = T(0);
    for (T x : v) sum += x;
    const T m = sum / static_cast<T>(n);
    if (n < 2) return {m, T(0)};
    T s = T(0);
    for (T x : v) s += (x - m) * (x - m);
    return {m, std::sqrt(s / static_cast<T>(n - 1))};
}

template <typename T>
T correlation(const std::vector<T>& a, const std::vector<T>& b)
{
    if (a.size() != b.size()) return T(0);
    const auto [ma, sa] = meanANDstddev<T>(a);
    const auto [mb, sb] = meanANDstddev<T>(b);
    if (sa < T(0.0001f) || sb < T(0.0001f)) return T(0);
    const T n = static_cast<T>(a.size());
    T sum = T(0);
    for (std::size_t k = 0; k < a.size(); ++k) sum += a[k] * b[k];
    return (sum - n * ma * mb) / ((n - T(1)) * sa * sb);
}

template <typename T>
std::vector<int> indicesGreaterThan(const std::vector<T>& v, T threshold)
{
    std::vector<int> found;
    for (std::size_t k = 0; k < v.size(); ++k)
        if (v[k] > threshold) found.push_back(static_cast<int>(k));
    return found;
}

template std::pair<float, float> meanANDstddev<float>(const std::vector<float>&);
template float correlation<float>(const std::vector<float>&, const std::vector<float>&);
template std::vector<int> indicesGreaterThan<float>(const std::vector<float>&, float);

SDM combine(const SDM& a, const SDM& b)
{
    SDM c(a);
    c.Append(b);
    return c;
}

void saveCorrelationMatrix(const SDM& sdm)
{
    const std::string path = removeExtension(sdm.FileName) + ".csv";
    saveTextAtomically(path, [&sdm](std::ostream& out) {
        out << std::fixed << std::setprecision(2);
        for (const auto& n : sdm.PredictorNames) out << " ; " << n;
        out << "\n" << std::flush;
        const int count = sdm.NrOfPredictors.value();
        for (int i = 0; i < count; ++i) {
            out << sdm.PredictorNames[static_cast<std::size_t>(i)];
            for (int j = 0; j < count; ++j)
                out << " ; "
                    << std::fabs(correlation<float>(sdm.Predictors[static_cast<std::size_t>(i)],
                                                    sdm.Predictors[static_cast<std::size_t>(j)]));
            out << "\n" << std::flush;
        }
    });
}

void plot(SDM& sdm, int lineSize, int legendA, int legendB)
{
    const int n = sdm.NrOfDataPoints.value();
    const int predictors = sdm.NrOfPredictors.value();
    if (n < 1 || predictors < 1 || sdm.Predictors.empty()) return;
    std::vector<float> x(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) x[static_cast<std::size_t>(k)] = static_cast<float>(k + 1);

    const int handle = zrPlotLine(n, x.data(), sdm.Predictors[0].data(), sdm.PredictorNames[0].c_str());
    zrSetPlotColorTheme(handle, 1);
    int bound = 0;
    for (int i = 0; i < predictors; ++i) {
        std::vector<float>& y = sdm.Predictors[static_cast<std::size_t>(i)];
        if (i > 0) zrAddLineToPlot(handle, n, x.data(), y.data(), sdm.PredictorNames[static_cast<std::size_t>(i)].c_str());
        zrSetPlotLineSizeAndColor(handle, i, lineSize, sdm.ColorR[static_cast<std::size_t>(i)],
                                  sdm.ColorG[static_cast<std::size_t>(i)], sdm.ColorB[static_cast<std::size_t>(i)], 0);
        // The axis reaches beyond the largest absolute value, symmetric about 0.
        float lo = y[0], hi = y[0];
        for (float v : y) {
            if (v < lo) lo = v;
            if (v > hi) hi = v;
        }
        const int candidate = static_cast<int>((hi > -lo ? hi : -lo) + 1.0f);
        if (candidate > bound) bound = candidate;
    }
    zrShowPlotLegend(handle, legendA, legendB);
    zrSetPlotTitle(handle, getFileName(sdm.FileName).c_str());
    zrResizePlot(handle, 800, 350);
    zrSetPlotYAxisRange(handle, -static_cast<float>(bound), static_cast<float>(bound));
    zrShowPlotAtPosition(handle, 50, 50);
}
