// BIDS datasets as tremora bids reads and writes them: file names as entities,
// the runs of a raw dataset paired with their motion estimates (fMRIPrep's
// confounds table and boldref, or another package's motion file), and the
// names of the derivatives written for each run.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "motionfiles.h"

using namespace qc; // the quality-control library (code/qc)

namespace tool::bids {

namespace fs = std::filesystem;

// A file name split into its entities (key-value pairs, in the order
// written), its suffix and its extension: "sub-01_task-rest_bold.nii.gz" has
// entities sub=01, task=rest, suffix "bold" and extension ".nii.gz".
struct Name {
    std::vector<std::pair<std::string, std::string>> entities;
    std::string suffix;
    std::string extension;
    std::string get(const std::string& key) const; // "" when absent
    // The entities joined again: "sub-01_task-rest".
    std::string stem() const;
};

// Nothing when the name has no entity, or a part that is neither key-value
// nor the last (the suffix).
std::optional<Name> parseName(std::string_view fileName);

// Whether two files are of the same run: the same entities, desc aside,
// index entities (run, echo) compared as numbers (run-01 is run-1).
bool sameRun(const Name& a, const Name& b);

// A label as the options take it, without its "sub-" or "ses-" prefix.
std::string label(const std::string& text, const std::string& prefix);

// Which runs to take; an empty list takes all.
struct Filters {
    std::vector<std::string> participants, sessions, tasks, runs;
    std::vector<std::string> bolds; // raw file names without _bold.nii[.gz]
    bool accepts(const Name& bold) const;
};

// One functional run of the raw dataset and what its processing needs.
struct Run {
    Name name;             // of the raw *_bold.nii[.gz]
    std::string bold;      // the raw file
    fs::path folder;       // sub-X[/ses-Y]/func, relative to the dataset
    std::string motion;    // its motion estimates; empty when there are none
    MotionFormat format = MotionFormat::FMRIPrep;
    std::string boldref;   // fMRIPrep's reference image of the motion; may be empty
    std::string brainMask; // fMRIPrep's brain mask of the run (no space entity); may be empty
    std::string skipped;   // why the run cannot be processed, or ""
    std::string stem() const { return name.stem(); }
};

struct Dataset {
    fs::path root;                  // the raw dataset
    std::optional<fs::path> derivatives; // fMRIPrep's (or the motion's) derivatives, when there are any
    std::vector<Run> runs;          // sorted by their path
};

// Every sub-*/[ses-*/]func/*_bold.nii[.gz] the filters accept, each paired
// with its motion: for fmriprep (the default) the confounds table and boldref
// of the same entities in the derivatives' folder of the run; for fsl, spm
// and afni the one motion file of the same entities (*.par, rp_*.txt, *.1D)
// beside the run or in the derivatives. The derivatives are the given folder
// (or its fmriprep/ subfolder when only that holds participants), else
// root/derivatives/fmriprep when there is one. Only the folders of the
// participants the filters name are read. Throws std::runtime_error for a
// dataset that cannot be read.
Dataset discover(const fs::path& root, const std::optional<fs::path>& derivatives,
                 std::optional<MotionFormat> format, const Filters& filters);

// An output of a run: "<stem>_desc-<label>_<suffix><extension>" in the run's folder.
fs::path outputName(const Run& run, const std::string& desc, const std::string& suffix, const std::string& extension);

// The record that says a run's outputs are complete: written last.
fs::path recordName(const Run& run);

// A path inside a dataset as a BIDS URI ("bids:raw:sub-01/func/..."), or
// the absolute path when it lies in neither.
std::string uri(const fs::path& file, const Dataset& dataset);

} // namespace tool::bids
