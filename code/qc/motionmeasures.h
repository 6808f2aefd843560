// Summary measures of head motion for quality control, beside the plug-in's
// own tasks: framewise displacement, absolute and relative RMS displacement,
// and the volumes above a threshold.
//
// Motion parameters are in the order of a 3DMC SDM: translations along x, y
// and z in mm, then rotations about x, y and z in degrees; one row per volume.
#pragma once

#include <array>
#include <string>
#include <vector>

class SDM;

namespace qc {


using MotionRow = std::array<double, 6>;
using MotionParameters = std::vector<MotionRow>;

// The first six predictors of a 3DMC SDM as rows. Throws std::runtime_error
// for fewer than six predictors or predictors shorter than NrOfDataPoints.
MotionParameters motionParametersFromSDM(SDM const& sdm);

// Framewise displacement after Power et al. (2012): the sum of the absolute
// backward differences of the six parameters, rotations turned into arc
// length on a sphere of the given radius (mm). Element 0 is 0.
std::vector<double> framewiseDisplacement(MotionParameters const& motion, double radius = 50.0);
// The run's one mean framewise displacement: the mean over the volumes from
// the second on (the first has no predecessor), as MRIQC's fd_mean; 0 for a
// run of fewer than two volumes. Values that are not numbers (n/a) are skipped.
double meanFramewiseDisplacement(std::vector<double> const& fd);

// Root-mean-square displacement over a solid ball of the given radius (mm)
// about the origin, as the plug-in measures it for spike detection.
// Absolute: of each volume from the reference position (all parameters 0).
std::vector<double> absoluteRMSDisplacement(MotionParameters const& motion, double radius = 65.0);
// Relative: from the previous volume; element 0 is 0.
std::vector<double> relativeRMSDisplacement(MotionParameters const& motion, double radius = 65.0);

// Mean, maximum and the volumes (0-based) whose value exceeds a threshold.
struct MotionSeriesSummary {
    double mean = 0.0;
    double max = 0.0;
    std::vector<int> above;
    // Share of the volumes in `above`, in percent.
    double percentAbove = 0.0;
};
MotionSeriesSummary summarizeSeries(std::vector<double> const& values, double threshold);

// Marks volumes to censor: each index in `spikes` together with `before`
// volumes before it and `after` volumes after it, clipped to [0, volumes).
// The result is sorted and free of repeats.
std::vector<int> censoredVolumes(std::vector<int> const& spikes, int volumes, int before, int after);
// Power et al. (2014)'s minimum segment: after censoring, every stretch of
// kept volumes shorter than minimum (at the run's ends too) is censored as
// well, since so few volumes in a row carry no usable temporal information.
// `censored` is sorted; the result is sorted and free of repeats; minimum
// 0 or 1 changes nothing.
std::vector<int> censorShortSegments(std::vector<int> const& censored, int volumes, int minimum);

} // namespace qc
