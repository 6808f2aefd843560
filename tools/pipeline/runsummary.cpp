#include "runsummary.h"

#include "pluginhost.h"

namespace tool {

const std::vector<std::string> kSummaryColumnNames = {"run",   "status",         "volumes",       "mean_fd",      "max_fd",
                                                      "spikes", "max_displacement_mm", "error",        "mean_std_dvars",
                                                      "max_std_dvars", "outlier_share"};

const char* const kFolderRules =
    "A run folder holds either NAME.fmr with NAME_3DMC.sdm beside it (one such pair), or one NIfTI\n"
    "run (*.nii or *.nii.gz; among several, the one named *_bold) with one motion file whose name\n"
    "gives its format: *.par (fsl), rp_*.txt (spm), *.1D (afni), *_desc-confounds_timeseries.tsv\n"
    "(fmriprep). The NIfTI is imported into the folder as NAME.fmr, NAME.stc and NAME_3DMC.sdm (NAME\n"
    "= its name without .nii[.gz]; see tremora import --help) unless NAME.fmr with NAME_3DMC.sdm\n"
    "is there already. Then confound (all sets, and the BIDS table with --tsv, outliers by\n"
    "--outliers-by; DVARS over fMRIPrep's brain mask, *_desc-brain_mask.nii[.gz] without a space, when\n"
    "the folder holds one; the bright voxels, said so, in place of one on another grid), displacement\n"
    "(all maps) and report (NAME_report.html)\n"
    "run on it; their files land beside the motion SDM. A BIDS table of the name confound --tsv would\n"
    "write that is older than NAME.fmr is an input and is kept (no table is written then).";

const char* const kSummaryColumns =
    "Summary columns: run, status (ok or failed), volumes, mean_fd and max_fd (framewise\n"
    "displacement after Power et al., 50 mm sphere, in mm; the mean over the volumes from the second\n"
    "on), spikes (volumes whose relative RMS displacement of the detrended parameters is above\n"
    "--spike-threshold, as the confound task finds them), max_displacement_mm (the largest voxel of\n"
    "the maximum absolute displacement map), error, then mean_std_dvars and max_std_dvars\n"
    "(standardized DVARS, Nichols 2013; the mean over the volumes from the second on) and\n"
    "outlier_share (the share of the volumes --outliers-by flags, before censoring neighbours); n/a\n"
    "where a failed run has no value, or where the run's BIDS table was an input and kept.";

namespace {

// Tabs and line breaks would break the table's columns.
std::string cell(std::string text)
{
    for (char& c : text)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return text.empty() ? "n/a" : text;
}

} // namespace

std::string summaryLine(const std::vector<std::string>& cells)
{
    std::string line;
    for (std::size_t k = 0; k < cells.size(); ++k) {
        if (k) line += '\t';
        line += cell(cells[k]);
    }
    line += '\n';
    return line;
}

void checkRunOptions(const cli::Args& args)
{
    if (args.has("--plugin")) checkPlugin("--plugin", args.text("--plugin"));
}

} // namespace tool
