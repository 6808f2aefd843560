// The confound model comparison of one run: the task design from its events,
// the additions from its confounds table, the library's analysis over the
// run's brain mask, and per model the maps, the BIC and the numbers a study's
// choice is made from.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tool::models {

struct ComparisonRequest {
    std::string fmr;            // the run document (its slice data beside it)
    std::string confoundsTable; // the run's drop-in confounds table (its sidecar beside it)
    std::string events;         // the run's events table, "" for a run without (rest)
    std::string mask;           // a brain mask NIfTI on the run's grid, "" for the bright voxels
    std::vector<std::string> families;
    int threads = 0;
    // The path of an output, from its desc label, suffix and extension
    // (desc "bic6p", suffix "statmap", ".nii.gz").
    std::function<std::string(const std::string&, const std::string&, const std::string&)> outputPath;
};

// One model: the task design and the additions up to and including `model`.
struct ModelRow {
    std::string model;      // "task" or the family of its last addition
    int columns = 0;        // independent columns, constant and censoring columns included
    int columnsAdded = 0;   // by its addition (0 for the task alone)
    int volumes = 0;
    double medianTsnr = 0;  // of the residuals of the confounds so far (the data's for the task alone)
    double medianTsnrGainPercent = 0, medianR2adjGain = 0, shareFSignificant = 0; // NaN for the task alone
    double shareBicWins = 0;
    double meanFD = 0;      // of the run (NaN without framewise_displacement)
};

struct ComparisonResult {
    std::vector<ModelRow> rows;
    std::vector<std::string> messages; // additions left out, and why
    std::vector<std::string> files;    // every file written
};

// Writes, through outputPath: the design (desc "taskdesign": .sdm and .tsv),
// per addition its five maps (desc <family>{Tsnr,TsnrGain,R2adj,R2adjGain,Fstat},
// suffix statmap), at the first the data's tSNR and the task's R2adj, per model
// its BIC map, the label map of the lowest BIC (desc "bestmodel", suffix dseg),
// each NIfTI with its .json, and the run's table (desc "models", suffix
// "summary", .tsv). Voxels outside the mask are 0. Throws std::runtime_error
// when a file cannot be read or written or no addition is left.
ComparisonResult compareModels(const ComparisonRequest& request);

// The events table of a run folder: the one *_events.tsv whose name, without
// "_events.tsv", begins the run's name (fMRIPrep's "_bold" and our "_3DMC"
// aside), else the folder's only *_events.tsv; "" when there is none.
std::string folderEvents(const std::string& folder, const std::string& runName);

// The columns of the run's table, in order.
const std::vector<std::string>& summaryColumns();

} // namespace tool::models
