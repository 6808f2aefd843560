// tremora report: one self-contained HTML page on a run's head motion: the
// parameters, framewise and relative RMS displacement with the spikes, their
// summary figures, and mid slices of two voxel displacement maps.
#include <nifti1_io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "atomicfile.h"
#include "bidsconfounds.h"
#include "carpet.h"
#include "commands.h"
#include "dvars.h"
#include "host.h"
#include "importedmotion.h"
#include "inputs.h"
#include "myFMR.h"
#include "mySDM.h"
#include "options.h"
#include "report.h"
#include "run.h"
#include "rundvars.h"
#include "runmask.h"
#include "sourcespace.h"
#include "stringmanipulation.h"
#include "tremora.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

namespace {

namespace fs = std::filesystem;

std::string shortNumber(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// The voxel axes' world directions of an imported run, from its source
// NIfTI's sform when its code is set, else its qform.
std::optional<std::array<std::array<double, 3>, 3>> axesOf(const std::optional<host::SourceSpace>& space)
{
    if (!space || (space->sformCode <= 0 && space->qformCode <= 0)) return std::nullopt;
    std::array<std::array<double, 3>, 3> axes{};
    if (space->sformCode > 0) {
        for (std::size_t j = 0; j < 3; ++j)
            for (std::size_t i = 0; i < 3; ++i) axes[j][i] = space->srow[i][j];
    } else {
        const auto& p = space->pixdim;
        const mat44 m = nifti_quatern_to_mat44(space->quatern[0], space->quatern[1], space->quatern[2], space->qoffset[0],
                                               space->qoffset[1], space->qoffset[2], p[1], p[2], p[3], p[0] < 0 ? -1.0f : 1.0f);
        for (std::size_t j = 0; j < 3; ++j)
            for (std::size_t i = 0; i < 3; ++i) axes[j][i] = m.m[i][j];
    }
    return axes;
}

// Paths in the page's texts under a dataset of --dataset NAME=DIR written as
// BIDS URIs (bids:NAME:relative/path), the longest folder first, so that a
// page made in a work folder names its inputs as the dataset does.
class Names {
public:
    explicit Names(const std::vector<std::string>& datasets)
    {
        for (const auto& d : datasets) {
            const auto eq = d.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == d.size())
                throw cli::UsageError("--dataset takes NAME=DIR, e.g. raw=/data/study, got '" + d + "'");
            std::string dir = fs::absolute(d.substr(eq + 1)).lexically_normal().string();
            if (dir.empty() || dir.back() != '/') dir += '/';
            roots_.emplace_back(dir, "bids:" + d.substr(0, eq) + ":");
        }
        std::sort(roots_.begin(), roots_.end(), [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    }
    bool any() const { return !roots_.empty(); }
    std::string operator()(std::string text) const
    {
        for (const auto& [dir, uri] : roots_)
            for (std::size_t at; (at = text.find(dir)) != std::string::npos;) text.replace(at, dir.size(), uri);
        return text;
    }

private:
    std::vector<std::pair<std::string, std::string>> roots_;
};

// The figures of the page: the run, its motion, both displacement measures,
// the maps and the carpet, worked out as the tasks work them out.
RunReport gatherFigures(const cli::Args& args)
{
    const std::string fmrPath = args.text("--fmr"), motionPath = args.text("--sdm");
    const Names names(args.all("--dataset"));
    RunReport r;
    r.fdRadius = args.number("--radius-fd");
    r.fdThreshold = args.number("--fd-threshold");
    if (args.has("--outliers-by")) r.outliersBy = args.list("--outliers-by");
    r.dvarsThreshold = args.number("--dvars-threshold");
    // The spike threshold as the confound task reads it from its text.
    const float spikeThreshold = std::strtof(args.text("--spike-threshold").c_str(), nullptr);
    r.spikeThreshold = spikeThreshold;
    r.fmrPath = fmrPath;
    r.motionPath = motionPath;
    r.title = args.has("--title") ? args.text("--title") : "Head motion of " + getFileName(fmrPath);

    try {
        const SDM motion(motionPath);
        r.motion = motionParametersFromSDM(motion);
        if (r.motion.empty()) throw cli::RunError("the motion SDM " + motionPath + " has no data points");

        // The run as the host presents it to the plug-in.
        host::State& state = host::state();
        host::openRun(state, fmrPath);
        const FMR_Header& header = state.run.header;
        r.dims[0] = header.DimX, r.dims[1] = header.DimY, r.dims[2] = header.DimZ;
        r.axes = axesOf(state.run.space);
        r.voxel[0] = header.VoxelSizeX, r.voxel[1] = header.VoxelSizeY, r.voxel[2] = header.VoxelSizeZ;
        // The brain mask and the segmentation of the carpet, read before any
        // work so that a file that does not fit is found now.
        std::vector<unsigned char> brain;
        std::vector<int> labels;
        const Grid grid = runGrid(fmrPath);
        std::string offGrid; // the mask given, when the bright voxels stand in for it
        if (args.has("--mask")) {
            try {
                brain = niftiMask(args.text("--mask"), grid);
                r.carpetMask = "the mask " + getFileName(args.text("--mask"));
            } catch (const OffGrid& e) {
                if (args.text("--mask-off-grid") != "bright") throw cli::RunError(std::string("--mask: ") + e.what());
                const std::string warning = std::string(e.what()) + ": the carpet and DVARS are taken over the bright voxels";
                std::cerr << "warning: " << warning << "\n";
                r.warnings.push_back(warning);
                offGrid = getFileName(args.text("--mask"));
            } catch (const std::exception& e) {
                throw cli::RunError(std::string("--mask: ") + e.what());
            }
        }
        if (args.has("--segmentation")) {
            try {
                labels = niftiLabels(args.text("--segmentation"), grid);
            } catch (const std::exception& e) {
                throw cli::RunError(std::string("--segmentation: ") + e.what());
            }
        }
        FMR fmr(fmrPath, false);
        r.runVolumes = fmr.NrOfVolumes.value();
        r.tr = fmr.TR.value();
        if (r.runVolumes != static_cast<int>(r.motion.size())) {
            const std::string warning = "The motion SDM has " + std::to_string(r.motion.size()) + " volumes, the run " +
                                        std::to_string(r.runVolumes) + ": are they of the same run?";
            std::cerr << "warning: " << warning << "\n";
            r.warnings.push_back(warning);
        }

        // An imported run: how its motion was read, and the package's own
        // framewise displacement.
        const auto imported = importedMotion(motionPath);
        if (imported) {
            r.motionConvention = names(imported->convention);
            r.motionReference = names(imported->reference);
            r.motionCentre = names(imported->centre);
        }
        // An imported run is named by the files it was imported from; within
        // a dataset not by the intermediate files.
        if (state.run.space && !state.run.space->source.empty())
            r.fmrPath = names(state.run.space->source) + (names.any() ? "" : " (imported as " + fmrPath + ")");
        if (imported && !imported->source.empty())
            r.motionPath = names(imported->source) + (names.any() ? "" : " (imported as " + motionPath + ")");
        const auto own = packageMotionOf(motionPath, r.motion.size());
        r.fdSource = own ? names(own->source) : "the motion SDM's parameters";
        r.fd = framewiseDisplacement(own ? own->rows : r.motion, r.fdRadius);
        r.fdSummary = summarizeSeries(r.fd, r.fdThreshold);
        r.fdSummary.mean = meanFramewiseDisplacement(r.fd); // the one mean FD: volumes 2..n
        const std::vector<float> d = spikeDetectionDisplacement(motion);
        r.rmsd.assign(d.begin(), d.end());
        r.rmsdSummary = summarizeSeries(r.rmsd, static_cast<double>(spikeThreshold));

        // The maps exactly as the displacement task makes them: its mask of
        // bright voxels in the first volume and its displacement function.
        fmr.LoadSTCVolume(0);
        const Volume<float>& first = fmr.Volumes.at(0);
        r.maskThreshold = args.has("--threshold") ? std::strtof(args.text("--threshold").c_str(), nullptr)
                                                  : defaultMaskThreshold(first);
        if (first.nx() != r.dims[0] || first.ny() != r.dims[1] || first.nz() != r.dims[2])
            throw cli::RunError("the slice data of " + fmrPath + " do not have the run's dimensions");
        r.mask = voxelsAbove(first, r.maskThreshold);
        std::vector<int> mask;
        for (std::size_t i = 0; i < r.mask.size(); ++i)
            if (r.mask[i]) mask.push_back(static_cast<int>(i));
        r.maskVoxels = static_cast<int>(mask.size());
        fmr.UnloadSTC();
        const glm::tvec3<int> dims(header.DimX, header.DimY, header.DimZ);
        const glm::tvec3<float> extent(static_cast<float>(header.DimX) * header.VoxelSizeX,
                                       static_cast<float>(header.DimY) * header.VoxelSizeY,
                                       static_cast<float>(header.DimZ) * header.VoxelSizeZ);
        DisplacementMaps maps = computeDisplacementMaps(motion, dims, extent, mask, threadsOf(args));
        r.maxAbsolute = std::move(maps.maxAbsolute);
        r.meanRelative = std::move(maps.meanRelative);

        // The carpet and standardized DVARS over the brain mask when one is
        // given, else over the maps' voxels.
        if (brain.empty()) {
            brain = r.mask;
            r.carpetMask = "voxels brighter than " + shortNumber(r.maskThreshold) + " in the first volume";
            if (!offGrid.empty()) r.carpetMask += ", in place of " + offGrid + ", which is not on the run's grid";
        }
        // Voxels that were not finite in some volume say nothing about change.
        if (const std::size_t left = leaveOutNonFinite(brain, fmrPath); left > 0) {
            r.carpetMask += "; " + std::to_string(left) + " voxel" + (left == 1 ? "" : "s") + " with a non-finite value left out";
            std::cerr << "warning: " << left << " voxel" << (left == 1 ? "" : "s") << " of " << fmrPath
                      << " held a non-finite value (NaN or infinite) in some volume: left out of the carpet and DVARS\n";
        }
        const bool anyVoxel = std::find(brain.begin(), brain.end(), 1) != brain.end();
        std::vector<unsigned char> rows = brain;
        if (!labels.empty() && anyVoxel) {
            // Voxels of no region are left out of the carpet, not of DVARS.
            for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = rows[i] && labels[i] > 0;
            if (std::find(rows.begin(), rows.end(), 1) == rows.end())
                throw cli::RunError("--segmentation: no labelled voxel of " + args.text("--segmentation") + " lies in " +
                                    r.carpetMask);
            r.carpetMask += ", labelled in " + getFileName(args.text("--segmentation"));
        }
        if (anyVoxel) {
            r.carpet = computeCarpet(fmr, rows, 1000, labels);
            try {
                r.dvars = runDVARS(fmr, brain).standardized;
            } catch (const std::exception& e) {
                r.warnings.push_back(std::string("No DVARS trace on the carpet plot: ") + e.what());
            }
        } else {
            r.warnings.push_back("No carpet plot: no voxel is brighter than " + shortNumber(r.maskThreshold) +
                                 " in the first volume");
        }
    } catch (const cli::RunError&) {
        throw;
    } catch (const cli::UsageError&) {
        throw;
    } catch (const std::exception& e) {
        throw cli::RunError(e.what());
    }

    return r;
}

int report(const cli::Args& args)
{
    const std::string fmrPath = args.text("--fmr"), motionPath = args.text("--sdm"), out = args.text("--out");
    requireRunDocument("--fmr", fmrPath);
    requireMotionFile("--sdm", motionPath);
    if (args.has("--mask")) requireFile("--mask", args.text("--mask"));
    if (args.has("--segmentation")) requireFile("--segmentation", args.text("--segmentation"));
    // The page's folders are made when missing; anything else in the way is
    // found now, not after the maps are computed.
    requireOutputFile("--out", out, true);
    if (hasExtension(motionPath, "mdm") || hasExtension(motionPath, "MDM"))
        throw cli::UsageError("--sdm must be one run's _3DMC.sdm (a report covers one run), got the MDM " + motionPath);

    const RunReport r = gatherFigures(args);
    const std::string html = reportHtml(r);
    try {
        const fs::path folder = fs::path(out).parent_path();
        std::error_code ec;
        if (!folder.empty()) fs::create_directories(folder, ec);
        saveTextAtomically(out, [&](std::ostream& os) { os << html; });
    } catch (const std::exception& e) {
        throw cli::RunError(std::string("--out: ") + e.what());
    }
    std::cout << "wrote " << out << "  (report: " << r.motion.size() << " volumes, " << r.rmsdSummary.above.size()
              << " spike volumes, mean FD " << r.fdSummary.mean << " mm)\n";
    return 0;
}

} // namespace

cli::Command reportCommand()
{
    return {
        .name = "report",
        .summary = "write a self-contained HTML page on a run's head motion",
        .description =
            "One page, with no external file or script: the six motion parameters (mm and degrees on\n"
            "their own axes), framewise displacement (Power et al. 2012, on a sphere of --radius-fd)\n"
            "and the relative RMS displacement the confound task judges spikes by (detrended\n"
            "parameters, 65 mm ball), with their thresholds and the spike volumes marked, the list and\n"
            "share of spike volumes, mean and maximum of both measures, and mid slices of the maximum\n"
            "absolute and mean relative displacement maps (the displacement task's maps, over the\n"
            "voxels brighter than --threshold in the first volume) with a colour bar, and a carpet plot\n"
            "(Power 2017): up to 1000 voxels of --mask (or of the maps' voxels) as rows, taken evenly\n"
            "in the order of their mean intensity, each detrended and z-scored, grey from -2 to 2,\n"
            "volumes as columns, under framewise displacement and standardized DVARS on the same time\n"
            "axis, with the outlier volumes marked: by --outliers-by as in the confounds table, else the\n"
            "spike volumes and those above --fd-threshold. With --segmentation\n"
            "the rows are the labelled voxels of the mask, ordered by label and then intensity, each\n"
            "region marked beside them. Nothing else is written.",
        .options = {runOption().mandatory(),
                    motionOption("the run's _3DMC.sdm").mandatory(),
                    cli::path("--out", "FILE", "the page to write, e.g. report.html").mandatory(),
                    spikeThresholdOption(),
                    fdRadiusOption(),
                    cli::number("--fd-threshold", "MM", "framewise displacement shown and counted above this")
                        .means("a number of millimetres")
                        .from(0)
                        .byDefault("0.5"),
                    [] {
                        cli::Option o = outliersByOption();
                        o.help = "the outlier volumes the carpet plot marks: framewise displacement above --fd-threshold, "
                                 "standardized DVARS above --dvars-threshold, relative RMS displacement above "
                                 "--spike-threshold; with several, any of them";
                        o.defaultText.clear();
                        return o.byDefaultNote("the spike volumes and those above --fd-threshold");
                    }(),
                    dvarsThresholdOption(),
                    maskThresholdOption(),
                    cli::path("--mask", "MASK.nii", "brain mask on the run's grid for the carpet plot and DVARS (nonzero voxels)")
                        .byDefaultNote("the voxels brighter than --threshold in the first volume"),
                    maskOffGridOption(),
                    cli::path("--segmentation", "LABELS.nii",
                              "labels on the run's grid (whole numbers, 0 none): the carpet's rows by region, then intensity"),
                    cli::text("--title", "TEXT", "the page's title").byDefaultNote("Head motion of RUN.fmr"),
                    cli::text("--dataset", "NAME=DIR",
                              "name the files under DIR as BIDS URIs bids:NAME:path (repeatable), and an imported run and "
                              "its motion only by the files they were imported from")
                        .many(),
                    threadsOption("threads of the displacement computation")},
        .examples = {"tremora report --fmr run1.fmr --sdm run1_3DMC.sdm --out report.html",
                     "tremora report --fmr run1.fmr --sdm run1_3DMC.sdm --out qc/run1.html --spike-threshold 0.3 --title 'sub-01 rest'",
                     "tremora report --fmr run1.fmr --sdm run1_3DMC.sdm --out report.html --mask run1_brainmask.nii.gz"},
        .run = report,
    };
}

} // namespace tool
