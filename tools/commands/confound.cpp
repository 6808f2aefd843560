// tremora confound: the plug-in's confound task with friendly options, and
// what the program adds to its sets (the BIDS table, other outlier rules).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>

#include "bidsconfounds.h"
#include "dvars.h"
#include "commands.h"
#include "host.h"
#include "importedmotion.h"
#include "inputs.h"
#include "myFMR.h"
#include "myMDM.h"
#include "mySDM.h"
#include "mySDMfunctions.h"
#include "options.h"
#include "rundvars.h"
#include "pluginhost.h"
#include "runmask.h"
#include "stringmanipulation.h"
#include "tasks.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- confound

// What the program adds to the task's sets for each motion SDM it worked on:
// the squared derivatives, the spike SDM of another outlier rule than the
// task's, and the BIDS confounds table (from the sets just written; files of
// an earlier call are never read).
struct ConfoundExtras {
    std::vector<std::string> sets;
    bool tsv = false;
    ConfoundsOptions table;
    std::optional<DVARS> dvars; // of the run, when it was computed
    std::optional<FMRIPrepTable> fmriprepTable; // --fmriprep-confounds: fMRIPrep's table to carry through
};

void writeConfoundExtras(const std::string& motion, std::set<std::string>& written, const ConfoundExtras& extras)
{
    for (const auto& path : motionFiles(motion)) {
        try {
            const SDM motionSdm(path);
            ConfoundsOptions options = extras.table;
            if (extras.dvars) options.dvars = &*extras.dvars;
            // Framewise displacement of an imported run is the package's own.
            const std::size_t rows = std::size_t(std::max(0, motionSdm.NrOfDataPoints.value()));
            const auto own = packageMotionOf(path, rows);
            if (own) {
                options.fdMotion = &own->rows;
                options.fdSource = own->source;
            }
            // The table's fMRIPrep columns: fMRIPrep's own table carried
            // through, else the package's own numbers in its layout.
            std::optional<FMRIPrepTable> fmriprep;
            std::optional<LayoutMotion> layout;
            std::error_code ec;
            if (extras.fmriprepTable) {
                options.fmriprep = &*extras.fmriprepTable;
            } else if (const auto imported = importedMotion(path); imported && imported->rows.size() == rows) {
                if (imported->format == MotionFormat::FMRIPrep && fs::is_regular_file(imported->source, ec)) {
                    fmriprep = readFMRIPrepTable(imported->source);
                    options.fmriprep = &*fmriprep;
                } else {
                    if (imported->format == MotionFormat::FMRIPrep)
                        std::cerr << "warning: fMRIPrep's table " << imported->source << " is not at hand (--fmriprep-confounds "
                                  << "names it): the table holds its motion columns only, not its other columns\n";
                    layout = LayoutMotion{fmriprepLayout(imported->rows, imported->format), imported->source,
                                          fmriprepLayoutConvention(imported->format)};
                    options.motion = &*layout;
                }
            }
            if (contains(extras.sets, "derivsqr")) {
                const std::string file = addToFileName(path, "_derivsqr");
                if (!squaredDerivativeSet(motionSdm).SaveAs(file)) throw cli::RunError("Cannot Create file: " + file);
                std::cout << "wrote " << file << "  (" << describeSuffix("_derivsqr") << ")\n";
                written.insert(file);
            }
            // The task marks spikes by rmsd; another rule's outliers replace its file.
            if (contains(extras.sets, "spikes") && !(options.outliersBy == OutlierRule{})) {
                const std::string file = addToFileName(path, "_spikes");
                const std::vector<int> outliers = outlierVolumes(motionSdm, options).chosen;
                const std::string rule = joined(outlierRuleNames(options.outliersBy), ",");
                if (!outliers.empty()) {
                    if (!spikeSet(motionSdm, outliers).SaveAs(file)) throw cli::RunError("Cannot Create file: " + file);
                    std::cout << "wrote " << file << "  (one predictor per outlier by " << rule << ": " << outliers.size()
                              << ")\n";
                    written.insert(file);
                } else if (written.count(file)) {
                    // As the task does: no spike file without a spike.
                    std::error_code ec;
                    fs::remove(file, ec);
                    written.erase(file);
                    std::cout << "removed " << file << "  (no outlier by " << rule << ")\n";
                }
            }
            if (!extras.tsv) continue;
            std::vector<SDM> files;
            std::vector<std::string> names;
            for (const auto& set : kConfoundSets) {
                if (!contains(extras.sets, set)) continue;
                const std::string file = addToFileName(path, "_" + set);
                // No spike file is written when there is no spike.
                if (set == "spikes" && written.count(file) == 0) continue;
                if (written.count(file) == 0) throw cli::RunError("the confound task did not write " + file);
                files.emplace_back(file);
                names.push_back(set);
            }
            std::vector<ConfoundSetFile> setFiles;
            for (std::size_t k = 0; k < files.size(); ++k) setFiles.push_back({names[k], &files[k]});
            const ConfoundsTable table = buildConfoundsTable(motionSdm, setFiles, options);
            saveConfounds(table, path);
            int censored = 0, carried = 0;
            for (const auto& column : table.columns) {
                censored += column.name.rfind(std::string(kOwnPrefix) + "censor", 0) == 0;
                carried += !column.cells.empty();
            }
            std::cout << "wrote " << confoundsTablePath(path) << "  (BIDS confounds: " << table.columns.size() << " columns";
            if (fmriprep) std::cout << ", " << carried << " of them fMRIPrep's";
            std::cout << ", " << table.rows << " volumes, " << censored << " censoring columns)\n";
            std::cout << "wrote " << confoundsSidecarPath(path) << "  (its sidecar: units, radii, thresholds, outlier rule)\n";
            if (censored > 0 && censored == table.rows)
                std::cerr << "warning: every volume of " << path << " is censored; a design with an intercept "
                          << "and these outlier columns has no degrees of freedom left\n";
        } catch (const cli::RunError&) {
            throw;
        } catch (const std::exception& e) {
            throw cli::RunError(e.what());
        }
    }
}

int confound(const cli::Args& args)
{
    const std::string motion = args.text("--sdm");
    requireMotionFile("--sdm", motion);
    ConfoundExtras extras;
    extras.tsv = args.has("--tsv");
    ConfoundsOptions& tableOptions = extras.table;
    for (const char* option : {"--censor-before", "--censor-after", "--radius-fd", "--min-segment", "--na-as-zero"})
        if (!extras.tsv && args.has(option)) throw cli::UsageError(std::string(option) + " is only used with --tsv");
    tableOptions.censorBefore = static_cast<int>(args.integer("--censor-before"));
    tableOptions.censorAfter = static_cast<int>(args.integer("--censor-after"));
    tableOptions.minSegment = static_cast<int>(args.integer("--min-segment"));
    tableOptions.naAsZero = args.has("--na-as-zero");
    if (args.has("--fmriprep-confounds")) {
        if (!extras.tsv) throw cli::UsageError("--fmriprep-confounds is only used with --tsv");
        requireFile("--fmriprep-confounds", args.text("--fmriprep-confounds"));
        if (motionFiles(motion).size() != 1)
            throw cli::UsageError("--fmriprep-confounds names the table of one run; " + motion + " lists several motion SDMs");
        // Read before the task runs, so that a table that is no table stops the command before anything is written.
        try {
            extras.fmriprepTable = readFMRIPrepTable(args.text("--fmriprep-confounds"));
            const int rows = SDM(motion).NrOfDataPoints.value();
            if (extras.fmriprepTable->rows() != rows)
                throw std::runtime_error("fMRIPrep's table " + args.text("--fmriprep-confounds") + " has " +
                                         std::to_string(extras.fmriprepTable->rows()) + " rows; the motion SDM " + motion + " has " +
                                         std::to_string(rows) + " data points");
        } catch (const std::runtime_error& e) {
            throw cli::RunError(e.what());
        }
    }
    tableOptions.fdRadius = args.number("--radius-fd");
    // The threshold as the task reads it from its text.
    tableOptions.spikeThreshold = std::strtof(args.text("--spike-threshold").c_str(), nullptr);
    tableOptions.outliersBy = outlierRuleFromNames(args.list("--outliers-by"));
    tableOptions.fdThreshold = args.number("--fd-threshold");
    tableOptions.dvarsThreshold = args.number("--dvars-threshold");
    if (tableOptions.outliersBy.dvars && !args.has("--fmr"))
        throw cli::UsageError("--outliers-by dvars needs the run (--fmr): DVARS is taken from its intensities");
    if (args.has("--mask") && !(args.has("--fmr") && (extras.tsv || tableOptions.outliersBy.dvars)))
        throw cli::UsageError("--mask is only used with --fmr, for DVARS (--tsv or --outliers-by dvars)");
    if (args.has("--mask")) requireFile("--mask", args.text("--mask"));
    TaskOptions options;
    commonTaskOptions(options, args);
    if (!options.fmr) options.emptyRun = true;
    const auto sets = args.list("--sets");
    extras.sets = sets;
    tableOptions.outliers = contains(sets, "spikes");

    // DVARS of the run, for the table and the dvars rule: before the task, so
    // that a mask that does not fit stops the command before anything is written.
    if (options.fmr && (extras.tsv || tableOptions.outliersBy.dvars)) {
        const std::size_t runs = motionFiles(motion).size();
        if (runs == 1) {
            RunMask mask;
            try {
                mask = dvarsMask(*options.fmr, args.text("--mask"), args.text("--mask-off-grid") == "bright");
            } catch (const std::exception& e) {
                throw cli::RunError(e.what());
            }
            if (!mask.fallback.empty())
                std::cerr << "warning: " << mask.fallback << ": DVARS is taken over the bright voxels of the first volume\n";
            if (mask.nonFinite > 0)
                std::cerr << "warning: " << mask.nonFinite << " voxel" << (mask.nonFinite == 1 ? "" : "s") << " of " << *options.fmr
                          << " held a non-finite value (NaN or infinite) in some volume: left out of DVARS\n";
            try {
                FMR run(*options.fmr, false);
                extras.dvars = runDVARS(run, mask.voxels);
                tableOptions.dvarsMask = mask.description;
                tableOptions.dvarsNonFinite = int(mask.nonFinite);
                std::cout << "DVARS over " << extras.dvars->voxels << " voxels (" << mask.description << ")\n";
            } catch (const std::invalid_argument& e) {
                throw cli::RunError(e.what());
            } catch (const std::runtime_error& e) {
                // A run without change (a still synthetic head) has no DVARS; only the dvars rule needs it.
                if (tableOptions.outliersBy.dvars) throw cli::RunError(e.what());
                std::cerr << "warning: no DVARS columns: " << e.what() << "\n";
            }
        } else if (tableOptions.outliersBy.dvars) {
            throw cli::RunError("--outliers-by dvars takes one run; " + motion + " lists " + std::to_string(runs) + " motion SDMs");
        } else {
            std::cerr << "note: no DVARS columns: " << motion << " lists " << runs << " motion SDMs, --fmr gives one run\n";
        }
    }
    options.parameters = {
        {"spike_threshold", args.text("--spike-threshold")},
        {"create_detrended", contains(sets, "detr") ? "1" : "0"},
        {"create_derivative", contains(sets, "deriv") ? "1" : "0"},
        {"create_spikes", contains(sets, "spikes") ? "1" : "0"},
        {"create_squared", contains(sets, "sqr") ? "1" : "0"},
        {"create_delayed1", contains(sets, "t1") ? "1" : "0"},
        {"create_delayed1sq", contains(sets, "t1sqr") ? "1" : "0"},
        {"create_delayed2", contains(sets, "t2") ? "1" : "0"},
        {"create_delayed2sq", contains(sets, "t2sqr") ? "1" : "0"},
    };
    plotParameters(options, args);
    options.parameters.emplace_back("sdmfile", motion);

    // The task writes its sets itself: note what is there before, to tell
    // afterwards which files it wrote.
    struct Candidate {
        std::string path, suffix;
        bool existed;
        fs::file_time_type time;
    };
    std::vector<Candidate> candidates;
    for (const auto& sdm : motionFiles(motion)) {
        for (const auto& set : kConfoundSets) {
            if (set == "derivsqr") continue; // the program's own set
            Candidate c;
            c.suffix = "_" + set;
            try {
                c.path = addToFileName(sdm, c.suffix);
            } catch (const std::exception&) {
                continue;
            }
            std::error_code ec;
            c.existed = fs::exists(c.path, ec);
            if (c.existed) c.time = fs::last_write_time(c.path, ec);
            candidates.push_back(c);
        }
    }
    const int status = runTask("confound", options);
    std::set<std::string> written;
    for (const auto& c : candidates) {
        std::error_code ec;
        if (fs::exists(c.path, ec) && (!c.existed || fs::last_write_time(c.path, ec) != c.time)) {
            std::cout << "wrote " << c.path << "  (" << describeSuffix(c.suffix) << ")\n";
            written.insert(c.path);
        }
    }
    printPlots();
    if (status == 0) writeConfoundExtras(motion, written, extras);
    return status;
}

} // namespace

cli::Command confoundCommand()
{
    return {
        .name = "confound",
        .summary = "write confound predictor sets (detrended, derivative, squared, delayed, spikes) as SDMs",
        .description =
            "Each set is written beside the motion SDM, named by a suffix before its extension\n"
            "(run_3DMC.sdm gives run_3DMC_detr.sdm, ...). Every set but the spikes is z-scored. The\n"
            "squared derivatives (derivsqr: the temporal derivative of the detrended parameters, squared;\n"
            "the derivative1_power2 terms of the 36-parameter model) go to NAME_3DMC_derivsqr.sdm. A spike\n"
            "predictor marks each outlier volume: by default (--outliers-by rmsd) each volume whose\n"
            "volume-to-volume RMS displacement (of the detrended parameters, on a 65 mm sphere) is above\n"
            "--spike-threshold; with --outliers-by fd, dvars (or a list: any of them) the spike SDM is\n"
            "written again from that rule, in the same layout. --fmr is needed for DVARS only.\n\n"
            "With --tsv a BIDS confounds table is written per motion SDM beside it,\n"
            "STEM_desc-confounds_timeseries.tsv with its .json sidecar (STEM: the SDM's name without\n"
            "_3DMC.sdm), a drop-in for fMRIPrep's: a column with an fMRIPrep name holds what fMRIPrep\n"
            "puts there. A run imported from fMRIPrep's table carries all its columns and sidecar\n"
            "entries through as written; otherwise trans_x..rot_z hold the package's own numbers (mm,\n"
            "rad). fMRIPrep's expansions it lacks follow: *_derivative1 (backward difference),\n"
            "*_derivative1_power2, *_power2, framewise_displacement (50 mm), with --fmr dvars and\n"
            "std_dvars, and motion_outlierNN (FD above --fd-threshold or standardized DVARS above\n"
            "--dvars-threshold), n/a in the first row of a difference as fMRIPrep writes it. Our own\n"
            "columns begin with tremora_: the sets (tremora_trans_x_detr, ..._deriv, _sqr, _t1, _t2,\n"
            "_t1sqr, _t2sqr, _derivsqr; z-scored as in the SDMs), tremora_rmsd (the displacement\n"
            "spikes are judged by), tremora_outlier (1 for the outliers of --outliers-by and fMRIPrep's\n"
            "non-steady-state volumes) and, with the spike set, one tremora_censorNN column per\n"
            "censored volume: each outlier, the --censor-before/--censor-after volumes around it, and\n"
            "kept stretches shorter than --min-segment. The sidecar records the rule, the thresholds\n"
            "and the volumes each measure flags.",
        .options = {motionOption().mandatory(),
                    runOption("the run (read for DVARS only)"),
                    spikeThresholdOption(),
                    cli::list("--sets", "SETS", "which sets to write", kConfoundSets).byDefault("all"),
                    outliersByOption(),
                    fdThresholdOption(),
                    dvarsThresholdOption(),
                    brainMaskOption(),
                    maskOffGridOption(),
                    plotOption(),
                    plotsOption(),
                    pluginOption(),
                    cli::flag("--tsv", "also write STEM_desc-confounds_timeseries.tsv and .json (BIDS confounds) beside each motion SDM"),
                    censorOption("--censor-before", "before"),
                    censorOption("--censor-after", "after"),
                    minSegmentOption(),
                    naAsZeroOption(),
                    cli::path("--fmriprep-confounds", "FILE",
                              "with --tsv: fMRIPrep's confounds table of the run, carried through into ours")
                        .byDefaultNote("the table the run was imported from, when it is still there"),
                    fdRadiusOption("with --tsv: ")},
        .examples = {"tremora confound --sdm run1_3DMC.sdm",
                     "tremora confound --sdm sub-01_task-rest_3DMC.sdm --tsv --censor-before 1 --censor-after 2",
                     "tremora confound --sdm run1_3DMC.sdm --fmr run1.fmr --tsv --outliers-by fd,dvars --mask brain_mask.nii.gz",
                     "tremora confound --sdm run1_3DMC.sdm --sets detr,deriv,spikes --spike-threshold 0.3 --plot regular,detrended --plots figures"},
        .run = confound,
    };
}

} // namespace tool
