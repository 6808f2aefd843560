// The plug-in's three tasks as commands (select, confound, displacement):
// what they share in mapping friendly options onto the host script's
// parameters.
#pragma once

#include <string>
#include <vector>

#include "pluginhost.h"
#include "cli.h"

namespace tool {

extern const std::vector<std::string> kConfoundSets;
extern const std::vector<std::string> kOutlierRules;
extern const std::vector<std::string> kDisplacementMaps;

bool contains(const std::vector<std::string>& words, const std::string& word);
// The motion SDMs a path names: itself, or the SDMs its MDM lists.
std::vector<std::string> motionFiles(const std::string& path);
// What a confound set's file suffix (as "_detr") holds, for the listing.
std::string describeSuffix(const std::string& suffix);
// "wrote FILE (plot: TITLE)" for every plot the task saved.
void printPlots();
// --plugin, --plots and --fmr (checked) into the task's options.
void commonTaskOptions(TaskOptions& options, const cli::Args& args);
// --plot regular,detrended as the script's two switches.
void plotParameters(TaskOptions& options, const cli::Args& args);

} // namespace tool
