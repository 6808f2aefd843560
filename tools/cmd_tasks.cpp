// tremora select, confound and displacement: the plug-in's three tasks with
// friendly options, mapped onto the host script's parameters.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>

#include "bidsconfounds.h"
#include "commands.h"
#include "host.h"
#include "importedmotion.h"
#include "inputs.h"
#include "myFMR.h"
#include "myMDM.h"
#include "mySDM.h"
#include "options.h"
#include "pluginhost.h"
#include "runmask.h"
#include "stringmanipulation.h"

namespace tool {

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kConfoundSets = {"detr", "deriv", "sqr", "t1", "t2", "t1sqr", "t2sqr", "spikes"};
const std::vector<std::string> kDisplacementMaps = {"max-abs", "mean-abs", "max-rel", "mean-rel",
                                                   "max-abs-x", "max-abs-y", "max-abs-z"};

bool contains(const std::vector<std::string>& words, const std::string& word)
{
    return std::find(words.begin(), words.end(), word) != words.end();
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

// The BIDS confounds table of every motion SDM the task worked on, from the
// sets it has just written (files of an earlier call are never read).
void writeConfoundTables(const std::string& motion, const std::vector<std::string>& sets,
                         const std::set<std::string>& written, const ConfoundsOptions& tableOptions)
{
    for (const auto& path : motionFiles(motion)) {
        try {
            const SDM motionSdm(path);
            std::vector<SDM> files;
            std::vector<std::string> names;
            for (const auto& set : kConfoundSets) {
                if (!contains(sets, set)) continue;
                const std::string file = addToFileName(path, "_" + set);
                // No spike file is written when there is no spike.
                if (set == "spikes" && written.count(file) == 0) continue;
                if (written.count(file) == 0) throw cli::RunError("the confound task did not write " + file);
                files.emplace_back(file);
                names.push_back(set);
            }
            std::vector<ConfoundSetFile> setFiles;
            for (std::size_t k = 0; k < files.size(); ++k) setFiles.push_back({names[k], &files[k]});
            // Framewise displacement of an imported run is the package's own.
            ConfoundsOptions options = tableOptions;
            const auto own = packageMotionOf(path, std::size_t(std::max(0, motionSdm.NrOfDataPoints.value())));
            if (own) {
                options.fdMotion = &own->rows;
                options.fdSource = own->source;
            }
            const ConfoundsTable table = buildConfoundsTable(motionSdm, setFiles, options);
            saveConfounds(table, path);
            int outliers = 0;
            for (const auto& column : table.columns) outliers += column.name.rfind("motion_outlier", 0) == 0;
            std::cout << "wrote " << confoundsTablePath(path) << "  (BIDS confounds: " << table.columns.size()
                      << " columns, " << table.rows << " volumes, " << outliers << " outlier columns)\n";
            std::cout << "wrote " << confoundsSidecarPath(path) << "  (its sidecar: units, radii, threshold)\n";
            if (outliers > 0 && outliers == table.rows)
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
    const bool tsv = args.has("--tsv");
    ConfoundsOptions tableOptions;
    for (const char* option : {"--censor-before", "--censor-after", "--radius-fd"})
        if (!tsv && args.has(option)) throw cli::UsageError(std::string(option) + " is only used with --tsv");
    tableOptions.censorBefore = static_cast<int>(args.integer("--censor-before"));
    tableOptions.censorAfter = static_cast<int>(args.integer("--censor-after"));
    tableOptions.fdRadius = args.number("--radius-fd");
    // The threshold as the task reads it from its text.
    tableOptions.spikeThreshold = std::strtof(args.text("--spike-threshold").c_str(), nullptr);
    TaskOptions options;
    commonTaskOptions(options, args);
    if (!options.fmr) options.emptyRun = true;
    const auto sets = args.list("--sets");
    tableOptions.outliers = contains(sets, "spikes");
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
    if (status == 0 && tsv) writeConfoundTables(motion, sets, written, tableOptions);
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
            "(run_3DMC.sdm gives run_3DMC_detr.sdm, ...). Every set but the spikes is z-scored. A spike\n"
            "predictor marks each volume whose volume-to-volume RMS displacement (of the detrended\n"
            "parameters, on a 65 mm sphere) is above the threshold. --fmr is optional: the task reads no\n"
            "run data.\n\n"
            "With --tsv the sets are also written as one BIDS confounds table per motion SDM,\n"
            "STEM_desc-confounds_timeseries.tsv with its .json sidecar (STEM: the SDM's name without\n"
            "_3DMC.sdm): trans_x..rot_z (mm, rad), six columns per set asked for (trans_x_detrended,\n"
            "_derivative1, _power2, _lag1, _lag2, _lag1_power2, _lag2_power2; z-scored as in the SDMs),\n"
            "framewise_displacement (--radius-fd), rmsd (the displacement spikes are judged by) and, with\n"
            "the spike set, one motion_outlierNN column per censored volume: each spike and the\n"
            "--censor-before/--censor-after volumes around it. Every cell is a number (no n/a).",
        .options = {motionOption().mandatory(),
                    runOption("the run (the task reads no run data)"),
                    spikeThresholdOption(),
                    cli::list("--sets", "SETS", "which sets to write", kConfoundSets).byDefault("all"),
                    plotOption(),
                    plotsOption(),
                    pluginOption(),
                    cli::flag("--tsv", "also write STEM_desc-confounds_timeseries.tsv and .json (BIDS confounds) beside each motion SDM"),
                    censorOption("--censor-before", "before"),
                    censorOption("--censor-after", "after"),
                    fdRadiusOption("with --tsv: ")},
        .examples = {"tremora confound --sdm run1_3DMC.sdm",
                     "tremora confound --sdm sub-01_task-rest_3DMC.sdm --tsv --censor-before 1 --censor-after 2",
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
