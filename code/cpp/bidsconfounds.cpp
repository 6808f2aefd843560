#include "bidsconfounds.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <map>
#include <numbers>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "atomicfile.h"
#include "dvars.h"
#include "gridtransformations.h"
#include "mySDM.h"
#include "mySDMfunctions.h"
#include "stringmanipulation.h"

namespace {

constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;
constexpr float kSpikeRadius = 65.0f; // the sphere of the task's RMS displacement (mm)

const char* const kParameterNames[6] = {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"};
const char* const kParameterWords[6] = {"translation along x", "translation along y", "translation along z",
                                        "rotation about x",    "rotation about y",    "rotation about z"};

struct SetInfo {
    const char* suffix;
    const char* what; // how the set derives from the detrended parameters
    const char* file; // the task's file suffix
};

const std::map<std::string, SetInfo>& setInfos()
{
    static const std::map<std::string, SetInfo> infos = {
        {"detr", {"_detrended", "linearly detrended", "_detr"}},
        {"deriv", {"_derivative1",
                   "linearly detrended, then its temporal derivative (central difference, 0 in the first and last "
                   "volume before z-scoring)",
                   "_deriv"}},
        {"sqr", {"_power2", "linearly detrended, then squared", "_sqr"}},
        {"t1", {"_lag1", "linearly detrended, then delayed by one volume (0 in the first volume before z-scoring)", "_t1"}},
        {"t2", {"_lag2", "linearly detrended, then delayed by two volumes (0 in the first two volumes before z-scoring)",
                "_t2"}},
        {"t1sqr", {"_lag1_power2", "linearly detrended, delayed by one volume, then squared", "_t1sqr"}},
        {"t2sqr", {"_lag2_power2", "linearly detrended, delayed by two volumes, then squared", "_t2sqr"}},
        {"derivsqr", {"_derivative1_power2",
                      "linearly detrended, then its temporal derivative (central difference, 0 in the first and last "
                      "volume), then squared",
                      "_derivsqr"}},
    };
    return infos;
}

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string integerList(const std::vector<int>& values)
{
    std::string out = "[";
    for (std::size_t k = 0; k < values.size(); ++k) out += (k ? ", " : "") + std::to_string(values[k]);
    return out + "]";
}

// Checks that an SDM can give the table six columns of `rows` values.
void requireColumns(const SDM& sdm, int rows, const std::string& what)
{
    const std::string name = sdm.FileName.empty() ? what : sdm.FileName;
    if (sdm.NrOfDataPoints.value() != rows)
        throw std::runtime_error("The " + what + " " + name + " has " + std::to_string(sdm.NrOfDataPoints.value()) +
                                 " data points; the motion SDM has " + std::to_string(rows));
    if (sdm.Predictors.size() < 6)
        throw std::runtime_error("The " + what + " " + name + " has " + std::to_string(sdm.Predictors.size()) +
                                 " predictors; six are needed");
    for (std::size_t k = 0; k < 6; ++k)
        if (static_cast<int>(sdm.Predictors[k].size()) < rows)
            throw std::runtime_error("The " + what + " " + name + " has predictor " + std::to_string(k + 1) +
                                     " with " + std::to_string(sdm.Predictors[k].size()) + " values for " +
                                     std::to_string(rows) + " data points");
}

void requireFinite(const ConfoundsColumn& column)
{
    for (std::size_t t = 0; t < column.values.size(); ++t)
        if (!std::isfinite(column.values[t]))
            throw std::runtime_error("The confounds column " + column.name + " is not a number in volume " +
                                     std::to_string(t) + "; a table with NaN or infinite cells is not written");
}

// "fd, dvars or rmsd" style: the rule's names as a phrase.
std::string joinedNames(const std::vector<std::string>& names)
{
    std::string text;
    for (std::size_t k = 0; k < names.size(); ++k)
        text += (k == 0 ? "" : k + 1 == names.size() ? " or " : ", ") + names[k];
    return text;
}

template <typename T>
std::string shortest(T value)
{
    if (!std::isfinite(value)) throw std::invalid_argument("a number that is not finite has no text in the table");
    if (value == 0) return "0"; // also -0
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// The double nearest the float's shortest decimal text: written to the sidecar
// as that text (0.3, not 0.30000001192092896), it reads back as the same float.
double sidecarNumber(float value) { return std::strtod(shortest(value).c_str(), nullptr); }

} // namespace

// ---- Names ------------------------------------------------------------------

std::string confoundsStem(const std::string& motionPath)
{
    const std::size_t slash = motionPath.find_last_of("/\\");
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string folder = motionPath.substr(0, nameStart), name = motionPath.substr(nameStart);
    if (endsWith(lower(name), "_3dmc.sdm")) {
        name.resize(name.size() - 9);
    } else if (const std::size_t dot = name.find_last_of('.'); dot != std::string::npos && dot > 0) {
        name.resize(dot);
    }
    if (endsWith(name, "_bold") && name.size() > 5) name.resize(name.size() - 5);
    if (name.empty()) name = "run";
    return folder + name;
}

std::string confoundsTablePath(const std::string& motionPath)
{
    return confoundsStem(motionPath) + "_desc-confounds_timeseries.tsv";
}

std::string confoundsSidecarPath(const std::string& motionPath)
{
    return confoundsStem(motionPath) + "_desc-confounds_timeseries.json";
}

std::string confoundSetSuffix(const std::string& set)
{
    const auto it = setInfos().find(set);
    if (it == setInfos().end()) throw std::invalid_argument("'" + set + "' is not a confound set with columns");
    return it->second.suffix;
}

// ---- Spikes -----------------------------------------------------------------

std::vector<float> spikeDetectionDisplacement(const SDM& motion)
{
    SDM detrended(motion);
    detrendAllPredictors(detrended);
    return getDistanceRMSfrom3DMCSDM(detrended);
}

std::vector<int> spikeVolumes(const std::vector<float>& displacement, float threshold)
{
    return indicesGreaterThan<float>(displacement, threshold);
}

std::vector<int> spikeVolumesOfSDM(const SDM& spikes)
{
    std::vector<int> volumes;
    for (std::size_t p = 0; p < spikes.Predictors.size(); ++p) {
        const std::vector<float>& values = spikes.Predictors[p];
        int at = -1, ones = 0;
        bool clean = true;
        for (std::size_t t = 0; t < values.size(); ++t) {
            if (values[t] == 1.0f) {
                at = static_cast<int>(t);
                ++ones;
            } else if (values[t] != 0.0f) {
                clean = false;
            }
        }
        if (!clean || ones != 1)
            throw std::runtime_error("Predictor " + std::to_string(p + 1) + " of the spike SDM " + spikes.FileName +
                                     " does not mark a single volume");
        volumes.push_back(at);
    }
    return volumes;
}

// ---- Outliers ---------------------------------------------------------------

OutlierRule outlierRuleFromNames(const std::vector<std::string>& names)
{
    if (names.empty()) throw std::invalid_argument("An outlier rule names at least one of fd, dvars, rmsd");
    OutlierRule rule;
    rule.rmsd = false;
    for (const auto& name : names) {
        if (name == "fd") rule.fd = true;
        else if (name == "dvars") rule.dvars = true;
        else if (name == "rmsd") rule.rmsd = true;
        else throw std::invalid_argument("'" + name + "' is not an outlier rule (fd, dvars, rmsd)");
    }
    return rule;
}

std::vector<std::string> outlierRuleNames(const OutlierRule& rule)
{
    std::vector<std::string> names;
    if (rule.fd) names.push_back("fd");
    if (rule.dvars) names.push_back("dvars");
    if (rule.rmsd) names.push_back("rmsd");
    return names;
}

OutlierVolumes outlierVolumes(const SDM& motion, const ConfoundsOptions& options)
{
    const int rows = std::max(motion.NrOfDataPoints.value(), 0);
    const std::size_t n = static_cast<std::size_t>(rows);
    if (options.outliersBy.dvars && options.dvars == nullptr)
        throw std::invalid_argument("Outliers by DVARS need the run's DVARS");
    if (options.fdMotion != nullptr && options.fdMotion->size() != n)
        throw std::runtime_error("the motion for framewise displacement has " + std::to_string(options.fdMotion->size()) +
                                 " rows, the motion SDM " + std::to_string(rows));
    if (options.dvars != nullptr && options.dvars->standardized.size() != n)
        throw std::runtime_error("the run has " + std::to_string(options.dvars->standardized.size()) +
                                 " volumes, the motion SDM " + std::to_string(rows) + " data points");
    OutlierVolumes v;
    v.framewise = framewiseDisplacement(options.fdMotion ? *options.fdMotion : motionParametersFromSDM(motion), options.fdRadius);
    v.displacement = rows > 0 ? spikeDetectionDisplacement(motion) : std::vector<float>{};
    for (std::size_t t = 0; t < n; ++t) {
        const int volume = static_cast<int>(t);
        const bool fd = v.framewise[t] > options.fdThreshold;
        const bool dvars = options.dvars != nullptr && options.dvars->standardized[t] > options.dvarsThreshold;
        const bool rmsd = v.displacement[t] > options.spikeThreshold;
        if (fd) v.fd.push_back(volume);
        if (dvars) v.dvars.push_back(volume);
        if (rmsd) v.rmsd.push_back(volume);
        const OutlierRule& rule = options.outliersBy;
        if ((rule.fd && fd) || (rule.dvars && dvars) || (rule.rmsd && rmsd)) v.chosen.push_back(volume);
    }
    return v;
}

// ---- The table --------------------------------------------------------------

const ConfoundsColumn* ConfoundsTable::find(const std::string& name) const
{
    for (const auto& column : columns)
        if (column.name == name) return &column;
    return nullptr;
}

ConfoundsTable buildConfoundsTable(const SDM& motion, const std::vector<ConfoundSetFile>& sets,
                                   const ConfoundsOptions& options)
{
    if (options.censorBefore < 0 || options.censorAfter < 0)
        throw std::invalid_argument("Censoring counts must not be negative");
    const int rows = std::max(motion.NrOfDataPoints.value(), 0);
    requireColumns(motion, rows, "motion SDM");
    const MotionParameters parameters = motionParametersFromSDM(motion);

    ConfoundsTable table;
    table.rows = rows;
    const std::string source = getFileName(motion.FileName);

    // The parameters as the motion correction estimated them; rotations in
    // radians, the unit BIDS and the tools reading it expect.
    for (int k = 0; k < 6; ++k) {
        ConfoundsColumn c;
        c.name = kParameterNames[k];
        c.values.resize(static_cast<std::size_t>(rows));
        for (int t = 0; t < rows; ++t) {
            const double v = parameters[t][k];
            c.values[t] = k < 3 ? v : v * kRadiansPerDegree;
        }
        c.single = k < 3;
        c.units = k < 3 ? "mm" : "rad";
        c.description = std::string("Head motion parameter: ") + kParameterWords[k] + ", as estimated by the 3D motion correction" +
                        (k < 3 ? "" : " (converted from degrees)");
        if (!motion.FileName.empty()) c.extra.emplace_back("Source", source);
        table.columns.push_back(std::move(c));
    }

    // The sets of the task, six columns each; their values are those of the
    // SDM files, z-scored by the task.
    std::vector<int> spikesOfFile;
    bool haveSpikeFile = false;
    for (const ConfoundSetFile& set : sets) {
        if (set.sdm == nullptr) throw std::invalid_argument("The confound set " + set.set + " has no SDM");
        if (set.set == "spikes") {
            if (set.sdm->NrOfPredictors.value() > 0 && set.sdm->NrOfDataPoints.value() != rows)
                throw std::runtime_error("The spike SDM " + set.sdm->FileName + " has " +
                                         std::to_string(set.sdm->NrOfDataPoints.value()) + " data points; the motion SDM has " +
                                         std::to_string(rows));
            spikesOfFile = spikeVolumesOfSDM(*set.sdm);
            haveSpikeFile = true;
            continue;
        }
        const auto it = setInfos().find(set.set);
        if (it == setInfos().end()) throw std::invalid_argument("'" + set.set + "' is not a confound set with columns");
        const SetInfo& info = it->second;
        requireColumns(*set.sdm, rows, "confound set");
        for (int k = 0; k < 6; ++k) {
            ConfoundsColumn c;
            c.name = std::string(kParameterNames[k]) + info.suffix;
            c.values.assign(set.sdm->Predictors[k].begin(), set.sdm->Predictors[k].begin() + rows);
            c.single = true;
            c.units = "z-score";
            std::string word = kParameterWords[k];
            word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
            c.description = word + ", " + info.what +
                            "; z-scored by the confound task (mean 0, standard deviation 1; a constant column is only centred)";
            c.extra.emplace_back("Scaling", "z-score");
            c.extra.emplace_back("Source", set.sdm->FileName.empty() ? std::string(info.file) : getFileName(set.sdm->FileName));
            table.columns.push_back(std::move(c));
        }
    }

    // The measures outliers are judged by, and the rule's choice.
    const OutlierVolumes flagged = outlierVolumes(motion, options);
    const std::vector<std::string> ruleNames = outlierRuleNames(options.outliersBy);
    const std::vector<int>& outliers = flagged.chosen;

    // Framewise displacement of the parameters as estimated; 0 in the first
    // volume, which has no predecessor.
    {
        ConfoundsColumn c;
        c.name = "framewise_displacement";
        const bool own = options.fdMotion != nullptr;
        c.values = flagged.framewise;
        c.units = "mm";
        c.description = "Framewise displacement (Power et al. 2012): the sum of the absolute volume-to-volume changes "
                        "of the six parameters, rotations as arc length on a sphere of the given radius; 0 in the "
                        "first volume";
        c.extra.emplace_back("SphereRadius", options.fdRadius);
        c.extra.emplace_back("SphereRadiusUnits", "mm");
        if (own) c.extra.emplace_back("Source", options.fdSource);
        c.extra.emplace_back("OutlierThreshold", options.fdThreshold);
        c.extra.emplace_back("OutlierThresholdUnits", "mm");
        c.extra.emplace_back("Outliers", flagged.fd);
        c.extra.emplace_back("OutliersBy", ruleNames);
        table.columns.push_back(std::move(c));
    }

    // DVARS of the run's intensities, as fMRIPrep names and defines it.
    if (options.dvars != nullptr) {
        const DVARS& d = *options.dvars;
        if (d.dvars.size() != std::size_t(rows))
            throw std::runtime_error("the run's DVARS has " + std::to_string(d.dvars.size()) + " volumes, the motion SDM " +
                                     std::to_string(rows) + " data points");
        const auto maskKeys = [&](ConfoundsColumn& c) {
            if (!options.dvarsMask.empty()) c.extra.emplace_back("Mask", options.dvarsMask);
            c.extra.emplace_back("MaskVoxels", d.voxels);
            c.extra.emplace_back("ConstantVoxelsLeftOut", d.constant);
            if (options.dvarsNonFinite > 0) c.extra.emplace_back("NonFiniteVoxelsLeftOut", options.dvarsNonFinite);
        };
        ConfoundsColumn plain;
        plain.name = "dvars";
        plain.values = d.dvars;
        plain.units = "arbitrary";
        plain.description = "DVARS (Power et al. 2012): the root mean square over the mask of the volume-to-volume "
                            "intensity change, the masked series scaled so that their median is 1000; 0 in the first volume";
        maskKeys(plain);
        plain.extra.emplace_back("MedianBeforeScaling", d.median);
        table.columns.push_back(std::move(plain));
        ConfoundsColumn standard;
        standard.name = "std_dvars";
        standard.values = d.standardized;
        standard.units = "1";
        standard.description = "Standardized DVARS (Nichols 2013): DVARS divided by the value it would have without "
                               "artefacts, the mask's mean of sqrt(2 (1 - lag-1 autocorrelation)) times each voxel's robust "
                               "standard deviation; about 1 for a clean volume, 0 in the first volume";
        maskKeys(standard);
        standard.extra.emplace_back("OutlierThreshold", options.dvarsThreshold);
        standard.extra.emplace_back("Outliers", flagged.dvars);
        standard.extra.emplace_back("OutliersBy", ruleNames);
        table.columns.push_back(std::move(standard));
    }

    // The measure the task finds spikes by.
    const std::vector<int>& spikes = flagged.rmsd;
    {
        ConfoundsColumn c;
        c.name = "rmsd";
        c.values.assign(flagged.displacement.begin(), flagged.displacement.end());
        c.single = true;
        c.units = "mm";
        c.description = "Relative (volume-to-volume) root-mean-square displacement over a solid ball of the given "
                        "radius, of the linearly detrended parameters: the measure the spikes are judged by (a volume "
                        "is a spike when it is above the threshold); 0 in the first volume";
        c.extra.emplace_back("SphereRadius", sidecarNumber(kSpikeRadius));
        c.extra.emplace_back("SphereRadiusUnits", "mm");
        c.extra.emplace_back("SpikeThreshold", sidecarNumber(options.spikeThreshold));
        c.extra.emplace_back("SpikeThresholdUnits", "mm");
        c.extra.emplace_back("Spikes", spikes);
        c.extra.emplace_back("OutliersBy", ruleNames);
        table.columns.push_back(std::move(c));
    }
    if (haveSpikeFile && spikesOfFile != outliers)
        throw std::runtime_error("The spike SDM marks volumes " + integerList(spikesOfFile) + ", but the outlier rule (" +
                                 joinedNames(ruleNames) + ") flags volumes " + integerList(outliers));

    if (options.outliers) {
        const std::vector<int> censored = censoredVolumes(outliers, rows, options.censorBefore, options.censorAfter);
        const std::size_t digits = std::max<std::size_t>(2, std::to_string(censored.empty() ? 0 : censored.size() - 1).size());
        const std::string rule = joinedNames(ruleNames);
        for (std::size_t k = 0; k < censored.size(); ++k) {
            const int volume = censored[k];
            std::vector<int> causes;
            for (int s : outliers)
                if (volume >= static_cast<long>(s) - options.censorBefore && volume <= static_cast<long>(s) + options.censorAfter)
                    causes.push_back(s);
            std::string number = std::to_string(k);
            number.insert(0, digits - number.size(), '0');
            ConfoundsColumn c;
            c.name = "motion_outlier" + number;
            c.values.assign(static_cast<std::size_t>(rows), 0.0);
            c.values[static_cast<std::size_t>(volume)] = 1.0;
            c.units = "1";
            const bool outlier = std::find(outliers.begin(), outliers.end(), volume) != outliers.end();
            c.description = "Censors volume " + std::to_string(volume) + " (counted from 0): 1 there, 0 elsewhere; " +
                            (outlier ? "an outlier" : "a neighbour of an outlier") + " by " + rule +
                            ". One column per censored volume, so a volume that several outliers censor has one column";
            c.extra.emplace_back("Levels", std::map<std::string, std::string>{{"0", "volume kept"}, {"1", "volume censored"}});
            c.extra.emplace_back("Volume", volume);
            c.extra.emplace_back("Spikes", causes);
            c.extra.emplace_back("CensorBefore", options.censorBefore);
            c.extra.emplace_back("CensorAfter", options.censorAfter);
            c.extra.emplace_back("OutliersBy", ruleNames);
            if (options.outliersBy.fd) c.extra.emplace_back("FDThreshold", options.fdThreshold);
            if (options.outliersBy.dvars) c.extra.emplace_back("DVARSThreshold", options.dvarsThreshold);
            if (options.outliersBy.rmsd) c.extra.emplace_back("SpikeThreshold", sidecarNumber(options.spikeThreshold));
            table.columns.push_back(std::move(c));
        }
    }

    for (const auto& column : table.columns) requireFinite(column);
    return table;
}

std::string confoundsTSV(const ConfoundsTable& table)
{
    std::string out;
    for (std::size_t c = 0; c < table.columns.size(); ++c) out += (c ? "\t" : "") + table.columns[c].name;
    out += '\n';
    for (int t = 0; t < table.rows; ++t) {
        for (std::size_t c = 0; c < table.columns.size(); ++c) {
            const ConfoundsColumn& column = table.columns[c];
            const double v = column.values.at(static_cast<std::size_t>(t));
            if (c) out += '\t';
            out += column.single ? roundTripNumber(static_cast<float>(v)) : roundTripNumber(v);
        }
        out += '\n';
    }
    return out;
}

std::string confoundsJSON(const ConfoundsTable& table)
{
    nlohmann::ordered_json sidecar = nlohmann::ordered_json::object();
    for (const ConfoundsColumn& column : table.columns) {
        nlohmann::ordered_json& entry = sidecar[column.name];
        entry["Description"] = column.description;
        entry["Units"] = column.units;
        // (No structured binding: clang 14 cannot capture one in a lambda.)
        for (const auto& extra : column.extra) std::visit([&](const auto& v) { entry[extra.first] = v; }, extra.second);
    }
    return sidecar.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

void saveConfounds(const ConfoundsTable& table, const std::string& motionPath)
{
    const std::string tsv = confoundsTSV(table), json = confoundsJSON(table);
    saveTextAtomically(confoundsTablePath(motionPath), [&](std::ostream& os) { os << tsv; });
    saveTextAtomically(confoundsSidecarPath(motionPath), [&](std::ostream& os) { os << json; });
}

// ---- Text helpers -----------------------------------------------------------

std::string roundTripNumber(double value) { return shortest(value); }
std::string roundTripNumber(float value) { return shortest(value); }
