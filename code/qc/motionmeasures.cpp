#include "motionmeasures.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "mySDM.h"

namespace qc {

namespace {

constexpr double kDegree = std::numbers::pi / 180.0;

using Matrix3 = std::array<std::array<double, 3>, 3>;

// The rotation of a parameter row in the plug-in's convention (see
// getTrfMatrix): angles about x, y and z, applied as one matrix.
Matrix3 rotation(MotionRow const& p)
{
    const double a = p[3] * kDegree, b = p[4] * kDegree, c = p[5] * kDegree;
    const double sa = std::sin(a), ca = std::cos(a), sb = std::sin(b), cb = std::cos(b);
    const double sc = std::sin(c), cc = std::cos(c);
    // Rows of the matrix acting on column vectors.
    return {{{cb * cc, sa * sb * cc - ca * sc, ca * sb * cc + sa * sc},
             {cb * sc, sa * sb * sc + ca * cc, ca * sb * sc - sa * cc},
             {-sb, sa * cb, ca * cb}}};
}

std::array<double, 3> translation(MotionRow const& p) { return {p[0], p[1], p[2]}; }

// RMS over a ball of radius r of |(R - I)x + t|: the mean of the square is
// r²/5 · |R - I|²_F + |t|² (the cross term averages to 0).
double ballRMS(Matrix3 const& R, std::array<double, 3> const& t, double radius)
{
    double s = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const double e = R[i][j] - (i == j ? 1.0 : 0.0);
            s += e * e;
        }
    const double d2 = t[0] * t[0] + t[1] * t[1] + t[2] * t[2];
    return std::sqrt(0.2 * radius * radius * s + d2);
}

void requireRadius(double radius)
{
    if (!(radius > 0.0) || !std::isfinite(radius))
        throw std::invalid_argument("The radius for motion measures must be a positive number of mm, not " +
                                    std::to_string(radius));
}

} // namespace

MotionParameters motionParametersFromSDM(SDM const& sdm)
{
    const int n = sdm.NrOfDataPoints.value();
    if (sdm.Predictors.size() < 6)
        throw std::runtime_error("The motion SDM " + sdm.FileName + " has " + std::to_string(sdm.Predictors.size()) +
                                 " predictors; the six motion parameters are needed");
    MotionParameters rows(static_cast<std::size_t>(std::max(n, 0)));
    for (int k = 0; k < 6; ++k) {
        if (static_cast<int>(sdm.Predictors[k].size()) < n)
            throw std::runtime_error("The motion SDM " + sdm.FileName + " has predictor " + std::to_string(k + 1) +
                                     " with " + std::to_string(sdm.Predictors[k].size()) + " values for " +
                                     std::to_string(n) + " data points");
        for (int t = 0; t < n; ++t) rows[t][k] = sdm.Predictors[k][t];
    }
    return rows;
}

std::vector<double> framewiseDisplacement(MotionParameters const& motion, double radius)
{
    requireRadius(radius);
    std::vector<double> fd(motion.size(), 0.0);
    for (std::size_t t = 1; t < motion.size(); ++t) {
        double sum = 0.0;
        for (int k = 0; k < 3; ++k) sum += std::fabs(motion[t][k] - motion[t - 1][k]);
        for (int k = 3; k < 6; ++k) sum += radius * kDegree * std::fabs(motion[t][k] - motion[t - 1][k]);
        fd[t] = sum;
    }
    return fd;
}

std::vector<double> absoluteRMSDisplacement(MotionParameters const& motion, double radius)
{
    requireRadius(radius);
    std::vector<double> rms(motion.size(), 0.0);
    for (std::size_t t = 0; t < motion.size(); ++t) rms[t] = ballRMS(rotation(motion[t]), translation(motion[t]), radius);
    return rms;
}

std::vector<double> relativeRMSDisplacement(MotionParameters const& motion, double radius)
{
    requireRadius(radius);
    std::vector<double> rms(motion.size(), 0.0);
    for (std::size_t t = 1; t < motion.size(); ++t) {
        // As the plug-in composes them: the rotation from volume t - 1 to t is
        // Raᵀ·Rb and the shift is the difference of the translations.
        const Matrix3 Ra = rotation(motion[t - 1]), Rb = rotation(motion[t]);
        Matrix3 D{};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 3; ++k) D[i][j] += Ra[k][i] * Rb[k][j];
        const std::array<double, 3> d{motion[t][0] - motion[t - 1][0], motion[t][1] - motion[t - 1][1],
                                      motion[t][2] - motion[t - 1][2]};
        rms[t] = ballRMS(D, d, radius);
    }
    return rms;
}

MotionSeriesSummary summarizeSeries(std::vector<double> const& values, double threshold)
{
    MotionSeriesSummary s;
    if (values.empty()) return s;
    double sum = 0.0;
    s.max = values[0];
    for (std::size_t t = 0; t < values.size(); ++t) {
        sum += values[t];
        s.max = std::max(s.max, values[t]);
        if (values[t] > threshold) s.above.push_back(static_cast<int>(t));
    }
    s.mean = sum / static_cast<double>(values.size());
    s.percentAbove = 100.0 * static_cast<double>(s.above.size()) / static_cast<double>(values.size());
    return s;
}

std::vector<int> censoredVolumes(std::vector<int> const& spikes, int volumes, int before, int after)
{
    if (before < 0 || after < 0) throw std::invalid_argument("Censoring counts must not be negative");
    std::vector<bool> marked(static_cast<std::size_t>(std::max(volumes, 0)), false);
    for (const int s : spikes) {
        const long lo = std::max<long>(0, static_cast<long>(s) - before);
        const long hi = std::min<long>(volumes - 1L, static_cast<long>(s) + after);
        for (long t = lo; t <= hi; ++t) marked[static_cast<std::size_t>(t)] = true;
    }
    std::vector<int> result;
    for (int t = 0; t < volumes; ++t)
        if (marked[t]) result.push_back(t);
    return result;
}

double meanFramewiseDisplacement(std::vector<double> const& fd)
{
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t t = 1; t < fd.size(); ++t)
        if (!std::isnan(fd[t])) sum += fd[t], ++count;
    return count > 0 ? sum / double(count) : 0.0;
}

std::vector<int> censorShortSegments(std::vector<int> const& censored, int volumes, int minimum)
{
    std::vector<bool> marked(static_cast<std::size_t>(std::max(volumes, 0)), false);
    for (const int t : censored)
        if (t >= 0 && t < volumes) marked[static_cast<std::size_t>(t)] = true;
    // Each stretch of kept volumes [start, t) is measured when it ends.
    for (int t = 0, start = 0; t <= volumes; ++t) {
        if (t < volumes && !marked[static_cast<std::size_t>(t)]) continue;
        if (t - start < minimum)
            for (int k = start; k < t; ++k) marked[static_cast<std::size_t>(k)] = true;
        start = t + 1;
    }
    std::vector<int> result;
    for (int t = 0; t < volumes; ++t)
        if (marked[static_cast<std::size_t>(t)]) result.push_back(t);
    return result;
}

} // namespace qc
