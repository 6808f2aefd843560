#include "options.h"

#include <algorithm>

namespace tool {

cli::Option pluginOption()
{
    return cli::path("--plugin", "PATH", "the plug-in library to load")
        .byDefaultNote("libtremora.so beside the program, or $TREMORA_PLUGIN");
}

cli::Option runOption(std::string help) { return cli::path("--fmr", "RUN.fmr", std::move(help)); }

cli::Option motionOption(std::string help) { return cli::path("--sdm", "MOTION", std::move(help)); }

// Displacements are millimetres of a head: a threshold beyond a metre is a typing error.
cli::Option spikeThresholdOption()
{
    return cli::number("--spike-threshold", "MM",
                       "a volume is a spike when its relative RMS displacement (of the detrended parameters) is above this")
        .means("a number of millimetres")
        .from(0)
        .to(1000)
        .byDefault("0.5");
}

cli::Option fdRadiusOption(const std::string& context)
{
    return cli::number("--radius-fd", "MM", context + "sphere radius of the framewise displacement")
        .means("a number of millimetres")
        .above(0)
        .byDefault("50");
}

namespace {

// A count of volumes, 0 by default.
cli::Option volumeCountOption(const std::string& name, const std::string& value, const std::string& help)
{
    return cli::integer(name, value, help)
        .means("a whole number of volumes")
        .from(0)
        .to(100000)
        .byDefault("0");
}

} // namespace

cli::Option censorOption(const std::string& name, const std::string& side)
{
    return volumeCountOption(name, "K", "with --tsv: also censor K volumes " + side + " each spike");
}

cli::Option minSegmentOption()
{
    return volumeCountOption("--min-segment", "N",
                             "with --tsv: after censoring, also censor every kept stretch shorter than N volumes, at "
                             "the run's ends too (Power et al. 2014 use 5)");
}

cli::Option naAsZeroOption()
{
    return cli::flag("--na-as-zero", "with --tsv: write 0 instead of n/a, for tools that refuse n/a (SPM); the "
                                     "table then differs from fMRIPrep's in those cells");
}

cli::Option outliersByOption()
{
    return cli::list("--outliers-by", "RULES",
                     "what marks an outlier volume (outlier columns, spike SDM): framewise displacement above "
                     "--fd-threshold, standardized DVARS above --dvars-threshold (needs --fmr), relative RMS "
                     "displacement above --spike-threshold; with several, any of them",
                     {"fd", "dvars", "rmsd"})
        .byDefault("rmsd");
}

cli::Option fdThresholdOption()
{
    return cli::number("--fd-threshold", "MM", "outliers by fd: framewise displacement above this")
        .means("a number of millimetres")
        .from(0)
        .to(1000)
        .byDefault("0.5");
}

cli::Option dvarsThresholdOption()
{
    return cli::number("--dvars-threshold", "Z", "outliers by dvars: standardized DVARS above this")
        .means("a standardized DVARS (about 1 for a clean volume)")
        .from(0)
        .byDefault("1.5");
}

cli::Option brainMaskOption()
{
    return cli::path("--mask", "FILE", "brain mask NIfTI on the run's grid, the voxels DVARS is taken over")
        .byDefaultNote("the voxels above a tenth of the first volume's 98th percentile");
}

cli::Option maskOffGridOption()
{
    return cli::text("--mask-off-grid", "WHAT",
                     "a --mask not on the run's grid (other dimensions or affine): refuse it, or take the bright voxels "
                     "in its place, said on standard error and in the outputs")
        .oneOf({"refuse", "bright"})
        .byDefault("refuse");
}

cli::Option maskThresholdOption()
{
    return cli::number("--threshold", "T", "intensity threshold of the mapped voxels (in the first volume)")
        .means("an intensity")
        .byDefaultNote("a tenth of the first volume's 98th percentile");
}

cli::Option plotsOption()
{
    return cli::path("--plots", "DIR", "folder for the plot pictures").byDefaultNote("the folder of the run");
}

cli::Option plotOption()
{
    return cli::list("--plot", "WHICH",
                     "plot the motion parameters as read (regular) and detrended with the relative RMS displacement (detrended)",
                     {"regular", "detrended"})
        .byDefaultNote("no plot");
}

cli::Option outFolderOption()
{
    return cli::path("--out", "DIR", "the folder to write into, created when missing").mandatory();
}

cli::Option nameOption(const std::string& defaultText, const std::string& defaultNote)
{
    return cli::text("--name", "NAME", "base name of the files")
        .means("a file name without folder separators or quotes")
        .only(isPlainFileName)
        .byDefault(defaultText)
        .byDefaultNote(defaultNote);
}

cli::Option jobsOption()
{
    return cli::integer("--jobs", "N", "how many runs to process at once")
        .means("a whole number of processes")
        .from(1)
        .to(1024)
        .byDefaultNote("the cores this process may use (its CPU affinity), at most 1024");
}

cli::Option threadsOption(std::string help, std::string defaultNote)
{
    return cli::integer("--threads", "N", std::move(help))
        .means("a whole number of threads")
        .from(1)
        .to(1024)
        .byDefaultNote(std::move(defaultNote));
}

int threadsOf(const cli::Args& args) { return args.has("--threads") ? static_cast<int>(args.integer("--threads")) : 0; }

int threadsPerRun(int cores, long jobs, std::size_t runs)
{
    const long atOnce = std::max(1L, std::min<long>(jobs, static_cast<long>(std::max<std::size_t>(runs, 1))));
    return static_cast<int>(std::max(1L, cores / atOnce));
}

bool isPlainFileName(const std::string& name)
{
    return !name.empty() && name[0] != '.' && name.find_first_of("/\\\"\n\r") == std::string::npos;
}

} // namespace tool
