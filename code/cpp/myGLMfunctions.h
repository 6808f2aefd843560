// General linear models over a functional run: design matrices from SDMs,
// the voxel-wise comparison of confound models, and its map writer.
#pragma once

#include <string>
#include <vector>

#include "TMZRPluginInterface.h"
#include "matrix.h"
#include "mySDM.h"
#include "volume.h"

class TMZRLog;

// The design matrix of an SDM: one row per data point, one column per
// predictor, plus a last column of 1.0 when the SDM has no constant predictor
// of its own, so that every model holds a constant.
Matrix<float> getDesignMatrix(const SDM& sdm);
// One design matrix per SDM, in the same order.
std::vector<Matrix<float>> getDesignMatrices(const std::vector<SDM>& sdms);
// For each design matrix X, in order, the inverse of X^T * X; throws
// std::runtime_error "Matrix inversion failed".
std::vector<Matrix<float>> getInverseDMDMs(const std::vector<Matrix<float>>& xs);

// Hands vol to the host as a new map of the current run of the given type
// and thresholds; the degrees of freedom are set only when not 0. Throws
// std::logic_error (assertion message) when the host's map does not fit.
void saveMap(Volume<float> const& vol, int mapType, float threshold1, float threshold2, int df1, int df2,
             std::string const& fileName);

// For each confound set in turn, what adding it to the task design gains,
// voxel by voxel over the current run (voxels whose time course stays above
// 100.0): tSNR of the data and of the data once the confounds so far are
// regressed out, adjusted R^2 of the task model before and after the addition,
// their difference and the F value of the addition, saved as maps through
// the host. Throws std::runtime_error when the host has no run data or an
// inversion fails (maps of earlier steps stay saved).
void analyzeConfounds(const SDM& taskSdm, const std::vector<SDM>& confounds, const FMR_Header& header, TMZRLog& log);
