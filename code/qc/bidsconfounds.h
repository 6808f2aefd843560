// A run's confounds as a BIDS derivatives table
// ("<stem>_desc-confounds_timeseries.tsv") with its JSON sidecar: a drop-in for
// fMRIPrep's table, for nilearn, SPM and the other tools that read it.
//
// A column that bears an fMRIPrep name holds what fMRIPrep puts there. Given
// fMRIPrep's own table of the run, every one of its columns comes first, in its
// order and with its cells as written, and every entry of its sidecar is kept.
// Otherwise the table starts with the six motion parameters in fMRIPrep's
// layout (trans_* in mm, rot_* in rad, the package's own numbers). fMRIPrep's
// expansions the table does not hold yet follow, computed as fMRIPrep computes
// them: *_derivative1 (backward difference), *_derivative1_power2, *_power2,
// framewise_displacement (Power et al. 2012, 50 mm), dvars and std_dvars, and
// motion_outlierNN (framewise displacement or standardized DVARS above their
// thresholds); n/a where fMRIPrep writes n/a (the first row of a difference).
// Our own quantities come last and all begin with "tremora_" (no fMRIPrep name
// does): the z-scored sets of the confound task, the relative RMS displacement
// the task judges spikes by, the outlier mask of our rule and one censoring
// column per censored volume.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "motionmeasures.h"

class SDM;

namespace qc {

struct DVARS;

// ---- Names ------------------------------------------------------------------

// The run's name: the motion SDM's path without "_3DMC.sdm" (any case), else
// without its extension; a trailing "_bold" is dropped too, since a BIDS
// confounds file carries the run's entities but not the image's suffix.
std::string confoundsStem(const std::string& motionPath);
// stem + "_desc-confounds_timeseries.tsv" and stem + "_desc-confounds_timeseries.json".
std::string confoundsTablePath(const std::string& motionPath);
std::string confoundsSidecarPath(const std::string& motionPath);

// The prefix of every column of ours: fMRIPrep uses no name that begins so.
inline constexpr const char* kOwnPrefix = "tremora_";
// Our column of one motion parameter (0..5: trans_x ... rot_z) in a set of the
// confound task ("detr", "deriv", "sqr", "t1", "t2", "t1sqr", "t2sqr",
// "derivsqr"): "tremora_" + parameter + "_" + set, e.g. "tremora_rot_y_t1sqr".
// Throws std::invalid_argument for any other set ("spikes" included: spikes
// become censoring columns).
std::string confoundSetColumn(int parameter, const std::string& set);

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

// ---- fMRIPrep's table ------------------------------------------------------

// fMRIPrep's confounds table of a run (any release, "_timeseries" or the older
// "_regressors" naming) as written: its column names, its cells as text, and
// its sidecar (the JSON object beside it; empty when there is none).
struct FMRIPrepTable {
    std::string path;
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> cells; // [column][row]
    std::string sidecar;                          // JSON text, or empty
    int rows() const { return cells.empty() ? 0 : static_cast<int>(cells[0].size()); }
    // The column's values, n/a as NaN; null when there is no such column.
    std::optional<std::vector<double>> values(const std::string& name) const;
};
// Reads the table and the .json beside it. Throws std::runtime_error naming
// the file and line for a table that cannot be read, has no header or no
// rows, a row with another number of cells than the header, a repeated
// column name, a cell that is neither a number nor "n/a", or a sidecar that is
// not a JSON object.
FMRIPrepTable readFMRIPrepTable(const std::string& path);

// ---- The table --------------------------------------------------------------

// A set the confound task wrote: its name ("detr", ...) and the SDM file as read.
struct ConfoundSetFile {
    std::string set;
    const SDM* sdm = nullptr;
};

// The motion parameters in fMRIPrep's layout (trans_x ... rot_z, mm and rad)
// as the package wrote them (motionfiles.h: fmriprepLayout), with where they
// come from, for the sidecar.
struct LayoutMotion {
    std::vector<std::array<double, 6>> rows;
    std::string source;     // the package's file
    std::string convention; // how its numbers were read
};

struct ConfoundsOptions {
    double fdRadius = 50.0;     // mm, sphere for framewise displacement
    float spikeThreshold = 0.5f; // mm, as the confound task was given it
    bool outliers = true;       // censoring columns (the spike set was asked for)
    int censorBefore = 0;       // volumes flagged before each spike
    int censorAfter = 0;        // and after it
    int minSegment = 0;         // kept stretches shorter than this are censored too
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
    // (mm) and of standardized DVARS; spikeThreshold is that of rmsd. The two
    // thresholds are also those of the motion_outlierNN columns (fMRIPrep's
    // --fd-spike-threshold and --dvars-spike-threshold).
    OutlierRule outliersBy;
    double fdThreshold = 0.5;
    double dvarsThreshold = 1.5;
    // fMRIPrep's table of the run, carried through; else the package's own
    // motion in fMRIPrep's layout; else the SDM's parameters (rotations
    // turned into radians).
    const FMRIPrepTable* fmriprep = nullptr;
    const LayoutMotion* motion = nullptr;
    // Write 0 instead of n/a (for tools that refuse n/a); the table is then no
    // longer identical to fMRIPrep's in those cells.
    bool naAsZero = false;
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
    // NaN stands for n/a, allowed only where `na` is set.
    std::vector<double> values;
    bool na = false;
    // Cells carried from fMRIPrep's table, written as they were; when
    // present they are the column's text.
    std::vector<std::string> cells;
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
    std::string carriedSidecar; // fMRIPrep's sidecar, written first
    bool naAsZero = false;
    // The column of that name, or null.
    const ConfoundsColumn* find(const std::string& name) const;
};

// Builds the table of one run from its motion SDM and the sets written for it
// (in the order given; a "spikes" entry is not a column but is checked
// against the outliers the chosen rule flags, which must agree).
//
// Censoring columns: the volumes our rule flags and those fMRIPrep marked as
// non-steady-state are outliers; censoring their neighbours flags the volumes
// censoredVolumes(outliers, rows, censorBefore, censorAfter) lists, and
// censorShortSegments(…, minSegment) adds the kept stretches too short to use.
// Each censored volume gets a column of its own that is 1 at that volume and
// 0 elsewhere. Such columns remove exactly those volumes from a least-squares
// fit and never repeat one another: a design with them stays of full rank
// unless every volume is censored.
//
// Throws std::runtime_error for an SDM with fewer than six predictors or
// another number of data points than the motion SDM, for fMRIPrep's table or
// the layout motion with another number of rows, for a value that is not
// finite, and for a spike set that disagrees with the spikes found.
ConfoundsTable buildConfoundsTable(const SDM& motion, const std::vector<ConfoundSetFile>& sets,
                                   const ConfoundsOptions& options);

// The table as tab-separated text: a header line of the column names, then
// one line per volume, "\n" line ends, every cell a number or n/a.
std::string confoundsTSV(const ConfoundsTable& table);
// The sidecar: fMRIPrep's entries as it wrote them, then one object per
// further column, in column order, with its "Description" and "Units" and the
// column's further keys; every number reads
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

} // namespace qc
