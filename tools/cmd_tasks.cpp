// tremora select, confound and displacement: the plug-in's three tasks with
// friendly options, mapped onto the host script's parameters.
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
#include "pluginhost.h"
#include "runmask.h"
#include "stringmanipulation.h"

namespace tool {

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kConfoundSets = {"detr", "deriv", "sqr", "t1", "t2", "t1sqr", "t2sqr", "derivsqr", "spikes"};
const std::vector<std::string> kOutlierRules = {"fd", "dvars", "rmsd"};
const std::vector<std::string> kDisplacementMaps = {"max-abs", "mean-abs", "max-rel", "mean-rel",
                                                   "max-abs-x", "max-abs-y", "max-abs-z"};

bool contains(const std::vector<std::string>& words, const std::string& word)
{
    return std::find(words.begin(), words.end(), word) != words.end();
}

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const auto& w : words) text += (text.empty() ? "" : ",") + w;
    return text;
}

// The motion SDMs a path names: itself, or the SDMs its MDM lists.
std::vector<std::string> motionFiles(const std::string& path)
{
    if (hasExtension(path, "mdm")) {
        try {
            return MDM(path).SDMPaths;
        } catch (const std::exception&) {
            return {};
        }
    }
    return {path};
}

std::string describeSuffix(const std::string& suffix)
{
    static const std::map<std::string, std::string> text = {
        {"_detr", "detrended motion parameters, z-scored"},
        {"_deriv", "temporal derivative of the detrended parameters, z-scored"},
        {"_sqr", "squares of the detrended parameters, z-scored"},
        {"_t1", "detrended parameters delayed by one volume, z-scored"},
        {"_t2", "detrended parameters delayed by two volumes, z-scored"},
        {"_t1sqr", "squares of the parameters delayed by one volume, z-scored"},
        {"_t2sqr", "squares of the parameters delayed by two volumes, z-scored"},
        {"_derivsqr", "squares of the temporal derivative of the detrended parameters, z-scored"},
        {"_spikes", "one spike predictor per volume above the spike threshold"},
    };
    auto it = text.find(suffix);
    return it == text.end() ? std::string() : it->second;
}

void printPlots()
{
    for (const auto& [handle, plot] : host::state().plots)
        if (!plot.file.empty()) std::cout << "wrote " << plot.file << "  (plot: " << plot.title << ")\n";
}

void commonTaskOptions(TaskOptions& options, const cli::Args& args)
{
    options.plugin = args.text("--plugin");
    options.plotFolder = args.text("--plots");
    if (args.has("--fmr")) {
        requireRunDocument("--fmr", args.text("--fmr"));
        options.fmr = args.text("--fmr");
    }
}

void plotParameters(TaskOptions& options, const cli::Args& args)
{
    const auto plots = args.has("--plot") ? args.list("--plot") : std::vector<std::string>{};
    options.parameters.emplace_back("plot_regular", contains(plots, "regular") ? "1" : "0");
    options.parameters.emplace_back("plot_detrended", contains(plots, "detrended") ? "1" : "0");
}

// ---------------------------------------------------------------- select

int select(const cli::Args& args)
{
    const std::string motion = args.positionals().at(0);
    requireMotionFile("MOTION", motion);
    TaskOptions options;
    options.plugin = args.text("--plugin");
    requireRunDocument("--fmr", args.text("--fmr"));
    options.fmr = args.text("--fmr");
    options.choose = {motion};
    const int status = runTask("select_3dmcsdm", options);
    auto it = host::state().parameters.find("sdmfile");
    if (status == 0 && it != host::state().parameters.end()) {
        std::cout << it->second << "\n";
        return 0;
    }
    return status == 0 ? 1 : status;
}

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
                const std::string rule = joined(outlierRuleNames(options.outliersBy));
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
                extras.dvars = computeDVARS(run, mask.voxels);
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

// ---------------------------------------------------------------- displacement

int displacement(const cli::Args& args)
{
    const std::string motion = args.text("--sdm");
    requireMotionFile("--sdm", motion);
    TaskOptions options;
    commonTaskOptions(options, args);
    std::string threshold = args.text("--threshold");
    if (!args.has("--threshold")) {
        const float chosen = defaultMaskThreshold(*options.fmr);
        threshold = std::to_string(chosen);
        // With the results on standard output: standard error is kept for the one line of a failure.
        std::cout << "intensity threshold " << chosen << " (a tenth of the first volume's 98th percentile)\n";
    }
    const auto maps = args.list("--maps");
    options.parameters = {
        {"fmr_threshold", threshold},
        {"map_max_abs", contains(maps, "max-abs") ? "1" : "0"},
        {"map_mean_abs", contains(maps, "mean-abs") ? "1" : "0"},
        {"map_max_rel", contains(maps, "max-rel") ? "1" : "0"},
        {"map_mean_rel", contains(maps, "mean-rel") ? "1" : "0"},
        {"map_max_abs_x", contains(maps, "max-abs-x") ? "1" : "0"},
        {"map_max_abs_y", contains(maps, "max-abs-y") ? "1" : "0"},
        {"map_max_abs_z", contains(maps, "max-abs-z") ? "1" : "0"},
    };
    plotParameters(options, args);
    options.parameters.emplace_back("sdmfile", motion);
    options.threads = threadsOf(args);
    const int status = runTask("displacement", options);
    for (const auto& map : host::state().savedMaps)
        if (!map.file.empty()) std::cout << "wrote " << map.file << "\n";
    printPlots();
    return status;
}

} // namespace

cli::Command selectCommand()
{
    return {
        .name = "select",
        .summary = "check a motion SDM (or MDM) against a run and print the path the script keeps",
        .description = "Runs the selection task with MOTION as the file dialog's answer. The first SDM's row\n"
                       "count is compared with the run's volumes (a warning on standard error when they differ).",
        .positionals = {{"MOTION", "the run's _3DMC.sdm, or an .mdm listing such files", true, false, cli::Kind::Path}},
        .options = {runOption().mandatory(), pluginOption()},
        .examples = {"tremora select --fmr run1.fmr run1_3DMC.sdm"},
        .run = select,
    };
}

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

cli::Command displacementCommand()
{
    return {
        .name = "displacement",
        .summary = "write voxel-wise displacement maps (max/mean absolute and relative, max along x, y, z)",
        .description =
            "For every voxel brighter than the threshold in the run's first volume, how far it moved\n"
            "(mm): from its reference position (absolute) and from its position in the previous volume\n"
            "(relative). Maps are written beside the motion SDM as NIfTI (.nii.gz). Without --threshold\n"
            "the threshold is a tenth of the 98th percentile of the first volume's intensities, which\n"
            "separates head from background in typical runs. The voxels are shared among --threads\n"
            "threads, and as many maps are compressed at once; the maps are the same for any count.",
        .options = {runOption().mandatory(),
                    motionOption().mandatory(),
                    maskThresholdOption(),
                    cli::list("--maps", "MAPS", "which maps to write", kDisplacementMaps).byDefault("all"),
                    plotOption(),
                    plotsOption(),
                    pluginOption(),
                    threadsOption()},
        .examples = {"tremora displacement --fmr run1.fmr --sdm run1_3DMC.sdm",
                     "tremora displacement --fmr run1.fmr --sdm run1_3DMC.sdm --maps max-abs,mean-rel --threshold 120",
                     "tremora displacement --fmr run1.fmr --sdm run1_3DMC.sdm --threads 1"},
        .run = displacement,
    };
}

} // namespace tool
