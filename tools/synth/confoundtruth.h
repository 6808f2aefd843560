// A synthetic study whose right confound model is known: every brain voxel's
// time course is driven by exactly one model of the default sequence (the task
// design and the additions up to and including the truth's family), plus
// Gaussian noise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "synthrun.h"

namespace qc {
struct FMRIPrepTable;
}

namespace tool {

// The families a study can be made to need.
const std::vector<std::string>& confoundTruths();

// A slow tissue signal (white matter, CSF) with a random walk in it, of unit
// size: independent of the phantom, so that the table can hold it before the
// voxels carry it.
std::vector<double> tissueSignal(int volumes, std::uint64_t seed);

// Replaces the time course of every voxel of mask by 1000 plus its mean plus
// the truth's model: the task design (columns, constant last) at 20 per unit,
// and for every confound column of the truth's additions from table its part
// not explained by the columns before it, scaled to unit RMS, with a weight of
// 4 to 6 noise SDs and a random sign (each addition thus clearly earns its
// columns), plus noise of SD 4.
void addConfoundTruth(SyntheticRun& run, const std::vector<float>& mask, const qc::FMRIPrepTable& table,
                      const std::string& truth, const std::vector<std::vector<double>>& task, std::uint64_t seed);

} // namespace tool
