// DVARS: how much the whole image changes from one volume to the next (Power
// et al. 2012), and its standardized forms (Nichols 2013), computed as
// fMRIPrep computes them:
//
//   - the masked time series are scaled so that the median of all masked
//     values (all voxels, all volumes) is 1000;
//   - voxels whose robust standard deviation σ̂ (interquartile range / 1.349,
//     each quartile taken as the lower neighbouring sample) is at most 1e-7
//     are left out, as a constant voxel says nothing about change;
//   - DVARS_t = √(mean over voxels of (x_t − x_{t−1})²);
//   - standardized: DVARS_t divided by the mean over voxels of √(2·(1 − ρ₁))·σ̂,
//     the standard deviation a voxel's differences would have without
//     artefacts, ρ₁ being the lag-1 autocorrelation (Yule–Walker) of the
//     voxel's mean-removed series;
//   - voxel-wise standardized: √(mean over voxels of ((x_t − x_{t−1}) / (√(2·(1 − ρ₁))·σ̂))²).
//
// Volume 0 has no predecessor: its elements are 0, as in the confounds table.
#pragma once

#include <cstddef>
#include <vector>

class FMR;

namespace qc {


struct DVARS {
    std::vector<double> dvars;        // scaled intensity units (median 1000)
    std::vector<double> standardized; // dimensionless
    std::vector<double> voxelwise;    // dimensionless
    double median = 0.0;              // of all masked values, before scaling
    int voxels = 0;                   // masked voxels that entered
    int constant = 0;                 // masked voxels left out for zero variance
};

// DVARS of the run over the voxels whose mask entry is nonzero (one entry per
// voxel, in volume order). The slice data are read from the run's STC file
// (the run's loaded volumes are released): 16-bit data a slice at a time and
// kept in their own type, float data a few volumes at a time. At most about
// `memoryBytes` of masked time series are held at once: one pass over the
// file when they all fit, else a pass for the median and one for each
// further group of voxels (of 16-bit data, over the group's slices alone). Throws
// std::invalid_argument for a mask of the wrong size or without voxels, and
// std::runtime_error when no masked voxel varies over the run or the median
// of the masked values is not positive. The voxels are shared among up to
// `threads` threads; the result is the same to the bit for any count.
DVARS computeDVARS(FMR& run, std::vector<unsigned char> const& mask, std::size_t memoryBytes = std::size_t(256) << 20,
                   int threads = 1);

// The same on time series held in memory: series[v][t] of each voxel. For
// tests and for callers that have the data at hand.
DVARS computeDVARS(std::vector<std::vector<float>> const& series);

} // namespace qc
