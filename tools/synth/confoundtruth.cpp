#include "confoundtruth.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

#include "bidsconfounds.h"
#include "confoundmodels.h"

namespace tool {

namespace {

constexpr double kNoise = 4.0;

} // namespace

const std::vector<std::string>& confoundTruths()
{
    static const std::vector<std::string> names = {"6p", "24p", "wmcsf"};
    return names;
}

std::vector<double> tissueSignal(int volumes, std::uint64_t seed)
{
    std::mt19937_64 random(seed);
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_real_distribution<double> phase(0.0, 6.283185307179586);
    const double p1 = phase(random), p2 = phase(random);
    std::vector<double> x(static_cast<std::size_t>(volumes));
    double walk = 0;
    for (int t = 0; t < volumes; ++t) {
        walk += 0.3 * step(random);
        x[std::size_t(t)] = std::sin(0.11 * t + p1) + 0.6 * std::sin(0.37 * t + p2) + walk;
    }
    double mean = 0, ss = 0;
    for (double v : x) mean += v / volumes;
    for (double v : x) ss += (v - mean) * (v - mean);
    for (double& v : x) v = (v - mean) / std::sqrt(ss / volumes);
    return x;
}

void addConfoundTruth(SyntheticRun& run, const std::vector<float>& mask, const qc::FMRIPrepTable& table,
                      const std::string& truth, const std::vector<std::vector<double>>& task, std::uint64_t seed)
{
    const std::vector<std::string>& sequence = models::defaultSequence();
    const auto end = std::find(sequence.begin(), sequence.end(), truth);
    if (end == sequence.end()) throw std::invalid_argument("no confound truth " + truth);
    const models::Additions additions = models::additionsFrom(table, std::vector<std::string>(sequence.begin(), end + 1));
    if (additions.steps.empty() || additions.steps.back().family != truth)
        throw std::runtime_error("the synthetic confounds table cannot supply " + truth);

    // The columns in the order the models grow, made orthonormal in that
    // order (modified Gram-Schmidt): each confound column keeps only what the
    // columns before it do not explain.
    const int n = run.volumes;
    std::vector<std::vector<double>> basis;
    std::vector<bool> confound;
    const auto add = [&](std::vector<double> x, bool isConfound) {
        for (const auto& q : basis) {
            double dot = 0;
            for (int t = 0; t < n; ++t) dot += q[std::size_t(t)] * x[std::size_t(t)];
            for (int t = 0; t < n; ++t) x[std::size_t(t)] -= dot * q[std::size_t(t)];
        }
        double norm = 0;
        for (double v : x) norm += v * v;
        if (norm < 1e-10) return; // nothing of its own
        for (double& v : x) v /= std::sqrt(norm);
        basis.push_back(std::move(x));
        confound.push_back(isConfound);
    };
    add(std::vector<double>(std::size_t(n), 1.0), false);
    for (const auto& column : task) add(column, false);
    for (const auto& step : additions.steps)
        for (const auto& column : step.values) add(column, true);

    std::mt19937_64 random(seed);
    std::normal_distribution<double> noise(0.0, kNoise);
    std::uniform_real_distribution<double> size(4.0, 6.0);
    const std::size_t volume = std::size_t(run.nx) * run.ny * run.nz;
    const double unitRms = std::sqrt(double(n));
    for (std::size_t i = 0; i < volume; ++i) {
        if (!(mask[i] > 0)) continue;
        double mean = 0;
        for (int t = 0; t < n; ++t) mean += run.voxels[std::size_t(t) * volume + i] / n;
        std::vector<double> y(std::size_t(n), 1000.0 + mean);
        for (const auto& column : task)
            if (&column != &task.back())
                for (int t = 0; t < n; ++t) y[std::size_t(t)] += 20.0 * column[std::size_t(t)];
        for (std::size_t b = 0; b < basis.size(); ++b) {
            if (!confound[b]) continue;
            const double weight = (random() % 2 ? 1.0 : -1.0) * size(random) * kNoise * unitRms;
            for (int t = 0; t < n; ++t) y[std::size_t(t)] += weight * basis[b][std::size_t(t)];
        }
        for (int t = 0; t < n; ++t) run.voxels[std::size_t(t) * volume + i] = static_cast<float>(y[std::size_t(t)] + noise(random));
    }
}

} // namespace tool
