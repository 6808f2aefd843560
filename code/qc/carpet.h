// The carpet plot's rows (Power 2017, "A simple but useful way to assess fMRI
// scan qualities"): the time series of masked voxels, one row per voxel and
// one column per volume, each linearly detrended and z-scored, so that a
// volume where the whole image jumps shows as a vertical band and a drifting
// or noisy voxel as a horizontal streak.
//
// At most `maxRows` voxels are kept, taken evenly from the masked voxels
// ordered by their mean intensity over the run (brightest first), or by
// label and then mean intensity when a segmentation gives each voxel a label.
#pragma once

#include <cstddef>
#include <vector>

class FMR;

namespace qc {


struct Carpet {
    int volumes = 0;
    int candidates = 0;         // masked voxels the rows were chosen from
    std::vector<int> voxels;    // voxel index of each row, top row first
    std::vector<double> means;  // each row's mean intensity over the run
    std::vector<int> labels;    // each row's label; empty without a segmentation
    std::vector<float> values;  // rows × volumes, row by row: detrended, z-scored

    int rows() const { return int(voxels.size()); }
    float at(int row, int volume) const { return values[std::size_t(row) * std::size_t(volumes) + std::size_t(volume)]; }
};

// k of n positions spread evenly over 0 .. n−1 (the middle of each of k equal
// stretches); all n when k ≥ n.
std::vector<int> evenlySpaced(int n, int k);

// Removes the least-squares straight line over time from the series and
// divides by the residuals' standard deviation (n − 1 in the denominator).
// A series without variation around its line becomes all zeros.
void detrendAndStandardize(std::vector<double>& series);

// The carpet of the run over the voxels whose mask entry is nonzero (one
// entry per voxel, in volume order). `labels`, when not empty, holds one
// label per voxel and orders the rows by label first. The run is read twice
// (its loaded volumes are released): once for the voxels' means, once for
// the chosen rows; 16-bit slice data a slice at a time in their own type,
// float data a few volumes at a time. Only the chosen rows' series are kept. Throws std::invalid_argument for a mask or labels of the wrong size,
// an empty mask, no volume, or maxRows < 1.
Carpet computeCarpet(FMR& run, std::vector<unsigned char> const& mask, int maxRows = 1000,
                     std::vector<int> const& labels = {});

} // namespace qc
