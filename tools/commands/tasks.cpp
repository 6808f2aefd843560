// What the plug-in's task commands share.
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

namespace fs = std::filesystem;

const std::vector<std::string> kConfoundSets = {"detr", "deriv", "sqr", "t1", "t2", "t1sqr", "t2sqr", "derivsqr", "spikes"};
const std::vector<std::string> kOutlierRules = {"fd", "dvars", "rmsd"};
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

} // namespace tool
