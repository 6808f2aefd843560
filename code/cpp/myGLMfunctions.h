// General linear models over a functional run: design matrices from SDMs,
// the voxel-wise comparison of confound models, and its map writer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <glm/glm.hpp>

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

// The time courses of a run: volumes[t] points to the dims.x*dims.y*dims.z
// values of volume t, in the voxel order of Volume. fileName is the run
// document, after which the maps of the data themselves are named.
struct RunTimeCourses {
    float* const* volumes = nullptr;
    int count = 0;
    glm::tvec3<int> dims{0, 0, 0};
    std::string fileName;
};

// A result volume with what the host needs to save it as a map.
struct ConfoundMap {
    std::string fileName;
    Volume<float> volume;
    int mapType = 0;
    float threshold1 = 0.0f, threshold2 = 0.0f;
    int df1 = 0, df2 = 0;
};

// One step of the analysis: the maps in the order they are saved, and a
// warning for each design that holds columns adding nothing.
// The residual sums of squares of the models before and after the addition
// (0 outside the analysed voxels) and their independent columns, constant
// included, for criteria that weigh fit against size.
struct ConfoundStep {
    std::vector<std::string> warnings;
    std::vector<ConfoundMap> maps;
    Volume<float> sseBefore, sseAfter;
    int columnsBefore = 0, columnsAfter = 0;
};

// For each confound set in turn, what adding it to the task design gains,
// voxel by voxel over a run (voxels whose time course stays above 100.0):
// tSNR of the data and of the data once the confounds so far are regressed
// out, adjusted R^2 of the task model before and after the addition, their
// difference and the F value of the addition. Columns that are combinations
// of others (to the precision of the arithmetic) are left out of the fits and
// of the degrees of freedom.
class ConfoundAnalysis {
public:
    // Gathers the analysed voxels' time courses. Throws std::runtime_error
    // when the run has no data or an SDM does not hold one value per volume.
    // The voxels are shared among `threads` worker threads (0: the library's
    // count, see setPluginThreads); each voxel's numbers are computed in the
    // same order whatever the count, so they are the same bits.
    ConfoundAnalysis(const SDM& taskSdm, std::vector<SDM> confounds, const RunTimeCourses& run, int threads = 0);
    ~ConfoundAnalysis();
    ConfoundAnalysis(const ConfoundAnalysis&) = delete;
    ConfoundAnalysis& operator=(const ConfoundAnalysis&) = delete;

    // True once every confound set has been added.
    bool done() const;
    // Adds the next confound set and returns the step's maps (seven at the
    // first step, five after). Throws std::runtime_error "Matrix inversion
    // failed" when a design cannot be decomposed, and a message naming the
    // set when it adds no column independent of the model before it (the F
    // value of its addition is then undefined).
    ConfoundStep next();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The analysis over the current run of the host: each step logs "Testing
// Addition of " and the set's file and then its warnings, and its maps are
// saved through the host. Nothing happens without confound sets. Throws as
// ConfoundAnalysis does, and when the host has no run data; maps of earlier
// steps stay saved.
void analyzeConfounds(const SDM& taskSdm, const std::vector<SDM>& confounds, const FMR_Header& header, TMZRLog& log);
