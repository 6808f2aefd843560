// tremora displacement: the plug-in's displacement task with friendly options.
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
#include "tasks.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

namespace {

namespace fs = std::filesystem;

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
