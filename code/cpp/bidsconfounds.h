// A run's motion confounds as a BIDS derivatives table
// ("<stem>_desc-confounds_timeseries.tsv") with its JSON sidecar, for SPM,
// nilearn and the other tools that read fMRIPrep-style confounds.
//
// The columns: the six motion parameters (trans_x, trans_y, trans_z in mm,
// rot_x, rot_y, rot_z in radians), the predictor sets (z-scored, six columns
// each), framewise displacement, DVARS and standardized DVARS when the run's
// DVARS is given, the RMS displacement the task judges spikes by, and one
// motion_outlierNN column per censored volume. Every cell is a number: the first row of a difference is 0, never
// n/a, because an empty or NaN cell breaks the designs of SPM and nilearn.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "motionmeasures.h"

class SDM;
struct DVARS;

// ---- Names ------------------------------------------------------------------

// The run's name: the motion SDM's path without "_3DMC.sdm" (any case), else
// without its extension; a trailing "_bold" is dropped too, since a BIDS
// confounds file carries the run's entities but not the image's suffix.
std::string confoundsStem(const std::string& motionPath);
// stem + "_desc-confounds_timeseries.tsv" and stem + "_desc-confounds_timeseries.json".
std::string confoundsTablePath(const std::string& motionPath);
std::string confoundsSidecarPath(const std::string& motionPath);

// The column suffix of a set of the confound task: "detr" → "_detrended",
// "deriv" → "_derivative1", "sqr" → "_power2", "t1" → "_lag1", "t2" → "_lag2",
// "t1sqr" → "_lag1_power2", "t2sqr" → "_lag2_power2", "derivsqr" →
// "_derivative1_power2" (a set the program writes, see squaredDerivativeSet). Throws
// std::invalid_argument for any other name ("spikes" included: spikes become
// outlier columns).
std::string confoundSetSuffix(const std::string& set);

// ---- Spikes -----------------------------------------------------------------

// The displacement the confound task judges spikes by, computed as the task
// computes it (single precision): the volume-to-volume RMS displacement over
// a 65 mm ball of the linearly detrended motion parameters; element 0 is 0.
std::vector<float> spikeDetectionDisplacement(const SDM& motion);
// The volumes (from 0) whose displacement is strictly above the threshold.
std::vector<int> spikeVolumes(const std::vector<float>& displacement, float threshold);
// The spike volumes a spike SDM of the task holds: for each predictor, the
// one data point that is 1. Throws std::runtime_error for a predictor that
// is not a single 1 among zeros.
std::vector<int> spikeVolumesOfSDM(const SDM& spikes);

// ---- Outliers ---------------------------------------------------------------

// What marks a volume as an outlier: any of the chosen measures above its
// threshold. fd: framewise displacement (Power et al. 2012); dvars:
// standardized DVARS (Nichols 2013); rmsd: the task's relative RMS
// displacement (the spikes).
struct OutlierRule {
    bool fd = false, dvars = false, rmsd = true;
    bool operator==(const OutlierRule&) const = default;
};
// From names such as {"fd", "dvars"}; throws std::invalid_argument for an
// unknown name or an empty list.
OutlierRule outlierRuleFromNames(const std::vector<std::string>& names);
// The chosen names in the order fd, dvars, rmsd.
std::vector<std::string> outlierRuleNames(const OutlierRule& rule);

// ---- The table --------------------------------------------------------------

// A set the confound task wrote: its name ("detr", ...) and the SDM file as read.
struct ConfoundSetFile {
    std::string set;
    const SDM* sdm = nullptr;
};

struct ConfoundsOptions {
    double fdRadius = 50.0;     // mm, sphere for framewise displacement
    float spikeThreshold = 0.5f; // mm, as the confound task was given it
    bool outliers = true;       // outlier columns (the spike set was asked for)
    int censorBefore = 0;       // volumes flagged before each spike
    int censorAfter = 0;        // and after it
    // The motion framewise displacement is computed from, when not the SDM's
    // own rows: the package's own parameters of an imported run (see
    // packageParameterRows), named in the sidecar by fdSource.
    const MotionParameters* fdMotion = nullptr;
    std::string fdSource;
    // The run's DVARS (dvars.h), for the dvars and std_dvars columns, and how
    // its mask was made (for the sidecar); none: no DVARS columns.
    const DVARS* dvars = nullptr;
    std::string dvarsMask;
    // Voxels the mask left out for a non-finite value in some volume (named in
    // the sidecar when there are any).
    int dvarsNonFinite = 0;
    // What makes an outlier, with the thresholds of framewise displacement
    // (mm) and of standardized DVARS; spikeThreshold is that of rmsd.
    OutlierRule outliersBy;
    double fdThreshold = 0.5;
    double dvarsThreshold = 1.5;
};

// The volumes (from 0, ascending) each measure flags and those the chosen
// rule flags (any of its measures), with the framewise displacement and the
// relative RMS displacement they were judged by.
struct OutlierVolumes {
    std::vector<int> fd, dvars, rmsd, chosen;
    std::vector<double> framewise;
    std::vector<float> displacement;
};
// Throws std::invalid_argument when the rule takes DVARS and none is given,
// std::runtime_error when the DVARS or the motion for framewise displacement
// has another number of volumes than the motion SDM.
OutlierVolumes outlierVolumes(const SDM& motion, const ConfoundsOptions& options);

// A further sidecar value of a column: a text, a number, a whole number (a
// volume, a count), a list of volumes, a list of names, or named texts (the levels of a column
// of flags).
using SidecarValue =
    std::variant<std::string, double, int, std::vector<int>, std::vector<std::string>, std::map<std::string, std::string>>;

struct ConfoundsColumn {
    std::string name;
    std::vector<double> values;
    // The values are single-precision numbers of the task or of an SDM: they
    // are written as the shortest text that reads back as the same float.
    bool single = false;
    std::string description;
    std::string units;
    // Further sidecar keys of this column, in the order they are written.
    std::vector<std::pair<std::string, SidecarValue>> extra;
};

struct ConfoundsTable {
    int rows = 0;
    std::vector<ConfoundsColumn> columns;
    // The column of that name, or null.
    const ConfoundsColumn* find(const std::string& name) const;
};

// Builds the table of one run from its motion SDM and the sets written for it
// (in the order given; a "spikes" entry is not a column but is checked
// against the outliers the chosen rule flags, which must agree).
//
// Outlier columns: censoring an outlier's neighbours flags the volumes
// censoredVolumes(outliers, rows, censorBefore, censorAfter) lists, and each of
// them gets a column of its own that is 1 at that volume and 0 elsewhere.
// Such columns remove exactly those volumes from a least-squares fit, and
// never repeat one another, however the spikes' neighbourhoods overlap (a
// volume two spikes censor is one column, which names both spikes): a design
// with them stays of full rank unless every volume is censored.
//
// Throws std::runtime_error for an SDM with fewer than six predictors or
// another number of data points than the motion SDM, for a value that is not
// finite, and for a spike set that disagrees with the spikes found.
ConfoundsTable buildConfoundsTable(const SDM& motion, const std::vector<ConfoundSetFile>& sets,
                                   const ConfoundsOptions& options);

// The table as tab-separated text: a header line of the column names, then
// one line per volume, "\n" line ends, every cell a number.
std::string confoundsTSV(const ConfoundsTable& table);
// The sidecar: one object per column, in column order, with its
// "Description" and "Units" and the column's further keys; every number reads
// back as the value given (a float threshold as the same float). Bytes of a
// text that are not UTF-8 (a file name in another encoding) become U+FFFD, so
// that the sidecar stays valid JSON.
std::string confoundsJSON(const ConfoundsTable& table);

// Writes both files beside the motion SDM, each replaced atomically.
// Throws WriteFileError "Cannot Create file: " + path when one cannot be written.
void saveConfounds(const ConfoundsTable& table, const std::string& motionPath);

// ---- Text helpers -----------------------------------------------------------

// The shortest decimal text that reads back as the same double (or float);
// -0 is written as 0. Throws std::invalid_argument for a value that is not finite.
std::string roundTripNumber(double value);
std::string roundTripNumber(float value);
