// tremora select: the plug-in's selection task, with MOTION as the file
// dialog's answer.
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

} // namespace tool
