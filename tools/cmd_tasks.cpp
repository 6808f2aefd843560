// tremora select, confound and displacement: the plug-in's three tasks with
// friendly options, mapped onto the host script's parameters.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <set>

#include "commands.h"
#include "host.h"
#include "inputs.h"
#include "myFMR.h"
#include "myMDM.h"
#include "pluginhost.h"
#include "stringmanipulation.h"

namespace tool {

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kConfoundSets = {"detr", "deriv", "sqr", "t1", "t2", "t1sqr", "t2sqr", "spikes"};
const std::vector<std::string> kDisplacementMaps = {"max-abs", "mean-abs", "max-rel", "mean-rel",
                                                   "max-abs-x", "max-abs-y", "max-abs-z"};
const std::vector<std::string> kPlots = {"regular", "detrended"};

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

cli::Option pluginOption()
{
    return {"--plugin", cli::Kind::Path, "PATH", "the plug-in library to load (default: libtremora.so beside the program, or $TREMORA_PLUGIN)"};
}

cli::Option plotsOption()
{
    return {"--plots", cli::Kind::Path, "DIR", "folder for the plot pictures (default: the folder of the run)"};
}

cli::Option plotOption()
{
    cli::Option o{"--plot", cli::Kind::List, "WHICH", "plot the motion parameters as read (regular) and detrended with the relative RMS displacement (detrended)"};
    o.choices = kPlots;
    o.defaultText = "";
    return o;
}

// ---------------------------------------------------------------- select

int select(const cli::Args& args)
{
    const std::string motion = args.positionals().at(0);
    requireMotionFile("MOTION", motion);
    TaskOptions options;
    options.plugin = args.text("--plugin");
    if (!args.has("--fmr")) throw cli::UsageError("--fmr is required: the motion file is checked against the run");
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

int confound(const cli::Args& args)
{
    const std::string motion = args.text("--sdm");
    requireMotionFile("--sdm", motion);
    TaskOptions options;
    commonTaskOptions(options, args);
    if (!options.fmr) options.emptyRun = true;
    const auto sets = args.list("--sets");
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
    for (const auto& c : candidates) {
        std::error_code ec;
        if (fs::exists(c.path, ec) && (!c.existed || fs::last_write_time(c.path, ec) != c.time))
            std::cout << "wrote " << c.path << "  (" << describeSuffix(c.suffix) << ")\n";
    }
    printPlots();
    return status;
}

// ---------------------------------------------------------------- displacement

// A threshold between background and head: a tenth of the 98th percentile of
// the first volume's intensities (robust against a few very bright voxels).
float defaultThreshold(const std::string& fmrPath)
{
    FMR fmr(fmrPath, false);
    fmr.LoadSTCVolume(0);
    const Volume<float>& first = fmr.Volumes.at(0);
    std::vector<float> values(first.data(), first.data() + first.size());
    if (values.empty()) return 0.0f;
    const std::size_t at = static_cast<std::size_t>(0.98 * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return 0.1f * values[at];
}

int displacement(const cli::Args& args)
{
    const std::string motion = args.text("--sdm");
    requireMotionFile("--sdm", motion);
    TaskOptions options;
    commonTaskOptions(options, args);
    if (!options.fmr) throw cli::UsageError("--fmr is required: the maps are made on the run's grid");
    std::string threshold = args.text("--threshold");
    if (!args.has("--threshold")) {
        const float chosen = defaultThreshold(*options.fmr);
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
    const int status = runTask("displacement", options);
    for (const auto& map : host::state().savedMaps)
        if (!map.file.empty()) std::cout << "wrote " << map.file << "\n";
    printPlots();
    return status;
}

} // namespace

cli::Command selectCommand()
{
    cli::Command c;
    c.name = "select";
    c.summary = "check a motion SDM (or MDM) against a run and print the path the script keeps";
    c.description = "Runs the selection task with MOTION as the file dialog's answer. The first SDM's row\n"
                    "count is compared with the run's volumes (a warning on standard error when they differ).";
    c.positionals = {{"MOTION", "the run's _3DMC.sdm, or an .mdm listing such files", true, false, cli::Kind::Path}};
    c.options = {{"--fmr", cli::Kind::Path, "RUN.fmr", "the run (required)"}, pluginOption()};
    c.examples = {"tremora select --fmr run1.fmr run1_3DMC.sdm"};
    c.run = select;
    return c;
}

cli::Command confoundCommand()
{
    cli::Command c;
    c.name = "confound";
    c.summary = "write confound predictor sets (detrended, derivative, squared, delayed, spikes) as SDMs";
    c.description =
        "Each set is written beside the motion SDM, named by a suffix before its extension\n"
        "(run_3DMC.sdm gives run_3DMC_detr.sdm, ...). Every set but the spikes is z-scored. A spike\n"
        "predictor marks each volume whose volume-to-volume RMS displacement (of the detrended\n"
        "parameters, on a 65 mm sphere) is above the threshold. --fmr is optional: the task reads no\n"
        "run data.";
    cli::Option sets{"--sets", cli::Kind::List, "SETS", "which sets to write"};
    sets.choices = kConfoundSets;
    sets.defaultText = "all";
    cli::Option threshold{"--spike-threshold", cli::Kind::Number, "MM", "a volume is a spike when its relative RMS displacement is above this"};
    threshold.defaultText = "0.5";
    threshold.meaning = "a number of millimetres";
    c.options = {{"--sdm", cli::Kind::Path, "MOTION", "the run's _3DMC.sdm, or an .mdm listing such files (required)"},
                 {"--fmr", cli::Kind::Path, "RUN.fmr", "the run (optional)"},
                 threshold, sets, plotOption(), plotsOption(), pluginOption()};
    c.examples = {"tremora confound --sdm run1_3DMC.sdm",
                  "tremora confound --sdm run1_3DMC.sdm --sets detr,deriv,spikes --spike-threshold 0.3 --plot regular,detrended --plots figures"};
    c.run = [](const cli::Args& args) {
        if (!args.has("--sdm")) throw cli::UsageError("--sdm is required");
        return confound(args);
    };
    return c;
}

cli::Command displacementCommand()
{
    cli::Command c;
    c.name = "displacement";
    c.summary = "write voxel-wise displacement maps (max/mean absolute and relative, max along x, y, z)";
    c.description =
        "For every voxel brighter than the threshold in the run's first volume, how far it moved\n"
        "(mm): from its reference position (absolute) and from its position in the previous volume\n"
        "(relative). Maps are written beside the motion SDM as NIfTI (.nii.gz). Without --threshold\n"
        "the threshold is a tenth of the 98th percentile of the first volume's intensities, which\n"
        "separates head from background in typical runs.";
    cli::Option maps{"--maps", cli::Kind::List, "MAPS", "which maps to write"};
    maps.choices = kDisplacementMaps;
    maps.defaultText = "all";
    cli::Option threshold{"--threshold", cli::Kind::Number, "T", "intensity threshold for the voxel mask (first volume)"};
    threshold.meaning = "an intensity";
    c.options = {{"--fmr", cli::Kind::Path, "RUN.fmr", "the run (required)"},
                 {"--sdm", cli::Kind::Path, "MOTION", "the run's _3DMC.sdm, or an .mdm listing such files (required)"},
                 threshold, maps, plotOption(), plotsOption(), pluginOption()};
    c.examples = {"tremora displacement --fmr run1.fmr --sdm run1_3DMC.sdm",
                  "tremora displacement --fmr run1.fmr --sdm run1_3DMC.sdm --maps max-abs,mean-rel --threshold 120"};
    c.run = [](const cli::Args& args) {
        if (!args.has("--sdm")) throw cli::UsageError("--sdm is required");
        return displacement(args);
    };
    return c;
}

} // namespace tool
