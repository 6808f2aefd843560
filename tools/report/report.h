// The motion quality report of one run: a self-contained HTML page (inline
// SVG plots, map slices as PNG data URIs, no script, no external file).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "carpet.h"
#include "motionmeasures.h"
#include "volume.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

struct RunReport {
    std::string title;
    std::string fmrPath, motionPath;
    int runVolumes = 0; // as the run document says
    int dims[3] = {0, 0, 0};
    float voxel[3] = {0, 0, 0}; // mm
    int tr = 0;                 // ms
    // The world direction (scanner RAS+ mm, from the source NIfTI's sform,
    // else qform) of each voxel axis i, j, k: the map slices are labelled
    // with anatomical directions from it; none for a run without an affine.
    std::optional<std::array<std::array<double, 3>, 3>> axes;
    std::vector<std::string> warnings;
    // How tremora import read the package's motion, when it did: the
    // convention, the reference and the centre of rotation; and what
    // framewise displacement was computed from.
    std::string motionConvention, motionReference, motionCentre;
    std::string fdSource;

    MotionParameters motion; // mm and degrees, one row per volume
    // Framewise displacement with its sphere and the threshold it is summarised with.
    std::vector<double> fd;
    double fdRadius = 50.0, fdThreshold = 0.5;
    MotionSeriesSummary fdSummary;
    // The relative RMS displacement the spikes are judged by, its threshold and the spikes.
    std::vector<double> rmsd;
    double spikeThreshold = 0.5;
    MotionSeriesSummary rmsdSummary; // rmsdSummary.above are the spike volumes

    // The maps of the displacement task and the voxels they cover.
    Volume<float> maxAbsolute, meanRelative;
    std::vector<unsigned char> mask; // 1 for a voxel in the mask, per voxel index
    float maskThreshold = 0.0f;
    int maskVoxels = 0;

    // The carpet plot over the masked voxels (the --mask brain mask, or the
    // maps' mask), standardized DVARS over the same voxels, and what the
    // mask was; an empty carpet leaves the section out.
    Carpet carpet;
    std::vector<double> dvars;
    std::string carpetMask;
    // The outlier rule the carpet marks (any of "fd", "dvars", "rmsd"), as
    // the confounds table's --outliers-by; empty: the spike volumes and
    // those above the framewise displacement threshold.
    std::vector<std::string> outliersBy;
    double dvarsThreshold = 1.5;
};

std::string reportHtml(const RunReport& report);

// The anatomical direction a world vector (RAS+) points to most: "R" or
// "L", "A" or "P", "S" or "I", by its largest component (as an oblique axis
// is named by the direction it is closest to).
std::string anatomicalDirection(const std::array<double, 3>& world);

// The volumes marked on the carpet, in order, each once: those the report's
// outlier rule flags (standardized DVARS strictly above its threshold for
// "dvars"), or without a rule the spike volumes and those with framewise
// displacement above its threshold.
std::vector<int> carpetOutliers(const RunReport& report);

// The carpet figure: framewise displacement (with its threshold) and
// standardized DVARS above the carpet, all on one time axis (volume t is
// column t of the carpet), the outlier volumes marked above and below the
// carpet and behind the traces. Rows are z-scores clipped to [−2, 2] on a
// grey scale from black to white. One self-contained <figure> (inline SVG
// holding the carpet as a PNG) between the comments "<!-- carpet -->" and
// "<!-- /carpet -->", so that another page can carry it as it is.
std::string carpetFigure(const Carpet& carpet, const std::vector<double>& fd, double fdThreshold,
                         const std::vector<double>& dvars, const std::vector<int>& outliers, const std::string& maskText);

// The carpet figure of a page carpetFigure wrote into, or "" when it has none.
std::string carpetFigureOf(const std::string& html);

// An 8-bit RGB picture (rows top to bottom, 3 bytes per pixel) as PNG bytes.
std::string pngRGB(int width, int height, const std::vector<unsigned char>& rgb);
std::string base64(const std::string& bytes);

} // namespace tool
