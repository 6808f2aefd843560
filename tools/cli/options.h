// Options that several subcommands take, declared once: the same name, value,
// default and range wherever they appear.
#pragma once

#include <string>

#include "cli.h"

namespace tool {

// --plugin PATH: the plug-in library to load.
cli::Option pluginOption();
// --fmr RUN.fmr: the run, an FMR document with its slice data.
cli::Option runOption(std::string help = "the run: an FMR document with its slice data");
// --sdm MOTION: the run's motion parameters.
cli::Option motionOption(std::string help = "the run's _3DMC.sdm, or an .mdm listing such files");
// --spike-threshold MM: the relative RMS displacement above which a volume is a spike.
cli::Option spikeThresholdOption();
// --radius-fd MM: the sphere of the framewise displacement.
cli::Option fdRadiusOption(const std::string& context = "");
// --censor-before K and --censor-after K: volumes censored around each spike.
cli::Option censorOption(const std::string& name, const std::string& side);
// --outliers-by RULES, --fd-threshold MM and --dvars-threshold Z: what marks
// an outlier volume (any of fd, dvars, rmsd above its threshold).
// --min-segment N and --na-as-zero of the confounds table.
cli::Option minSegmentOption();
cli::Option naAsZeroOption();
cli::Option outliersByOption();
cli::Option fdThresholdOption();
cli::Option dvarsThresholdOption();
// --mask FILE: the brain mask DVARS is taken over.
cli::Option brainMaskOption();
// What to do with a --mask that does not lie on the run's grid: refuse it, or
// take the bright voxels of the first volume in its place (and say so).
cli::Option maskOffGridOption();
// --threshold T: the intensity of the first volume above which a voxel is mapped.
cli::Option maskThresholdOption();
// --plots DIR and --plot WHICH: the motion plots of the tasks.
cli::Option plotsOption();
cli::Option plotOption();
// --out DIR: a folder the command writes into, created when missing.
cli::Option outFolderOption();
// --name NAME: the base name of the files a command writes.
cli::Option nameOption(const std::string& defaultText, const std::string& defaultNote);
// --jobs N: how many processes at once.
cli::Option jobsOption();
// --threads N: how many threads a run's computations (and its map writing) use.
cli::Option threadsOption(std::string help = "threads of the computations and of the map writing",
                          std::string defaultNote = "the cores this process may use (its CPU affinity)");
// The --threads value, or 0 (the cores the process may use) without it.
int threadsOf(const cli::Args& args);

// How many threads each of the runs going at once is given: the cores
// divided among them (at least one each). jobs is --jobs, runs the number of
// runs in all.
int threadsPerRun(int cores, long jobs, std::size_t runs);

// A name that can stand for files beside each other: no folder separators,
// quotes or line breaks, not hidden.
bool isPlainFileName(const std::string& name);

} // namespace tool
