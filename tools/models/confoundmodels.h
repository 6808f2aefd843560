// Confound models by name: the families of columns a study's confound model
// is built from, taken from a run's confounds table (fMRIPrep's column names)
// and added one after the other to the task design.
#pragma once

#include <string>
#include <vector>

namespace qc {
struct FMRIPrepTable;
}

namespace tool::models {

// The families, each the whole of its columns (an addition adds those the
// model does not hold yet, so "24p" after "12p" adds the 12 squares):
//   6p        trans_x/y/z, rot_x/y/z
//   12p       6p and their *_derivative1
//   24p       12p and the *_power2 of both
//   wmcsf     white_matter and csf, each with derivative and squares (8)
//   gsr       global_signal with derivative and squares (4)
//   acompcor  the a_comp_cor_NN the sidecar marks as aCompCor over the combined
//             WM+CSF mask (and retained, when it says so)
//   cosine    cosineNN, the discrete cosine drift basis
//   scrub     the run's censoring columns (one per censored volume)
const std::vector<std::string>& familyNames();
// The sequence taken when none is given.
const std::vector<std::string>& defaultSequence();
// Throws std::invalid_argument naming an unknown family or one given twice.
void checkSequence(const std::vector<std::string>& families);

// One addition: its family, its columns and their values ([column][volume],
// n/a as 0: the first row of a difference has nothing before it).
struct Addition {
    std::string family;
    std::vector<std::string> columns;
    std::vector<std::vector<double>> values;
};

struct Additions {
    std::vector<Addition> steps;
    std::vector<std::string> skipped; // "wmcsf: the table has no white_matter, csf, ..." for each left out
};

// The additions of the sequence the table can supply, in order; an addition
// the table cannot supply (a column missing, nothing left to add, no volume
// censored) is skipped with a message. The table's sidecar tells aCompCor's
// components apart.
Additions additionsFrom(const qc::FMRIPrepTable& table, const std::vector<std::string>& families);

} // namespace tool::models
