#include "bidsconfounds.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <tuple>
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

namespace qc {

namespace {

constexpr double kRadiansPerDegree = std::numbers::pi / 180.0;
constexpr float kSpikeRadius = 65.0f; // the sphere of the task's RMS displacement (mm)

const char* const kParameterNames[6] = {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"};
const char* const kParameterWords[6] = {"translation along x", "translation along y", "translation along z",
                                        "rotation about x",    "rotation about y",    "rotation about z"};

struct SetInfo {
    const char* what; // how the set derives from the detrended parameters
    const char* file; // the task's file suffix
};

const std::map<std::string, SetInfo>& setInfos()
{
    static const std::map<std::string, SetInfo> infos = {
        {"detr", {"linearly detrended", "_detr"}},
        {"deriv", {"linearly detrended, then its temporal derivative (central difference, 0 in the first and last "
                   "volume before z-scoring)",
                   "_deriv"}},
        {"sqr", {"linearly detrended, then squared", "_sqr"}},
        {"t1", {"linearly detrended, then delayed by one volume (0 in the first volume before z-scoring)", "_t1"}},
        {"t2", {"linearly detrended, then delayed by two volumes (0 in the first two volumes before z-scoring)", "_t2"}},
        {"t1sqr", {"linearly detrended, delayed by one volume, then squared", "_t1sqr"}},
        {"t2sqr", {"linearly detrended, delayed by two volumes, then squared", "_t2sqr"}},
        {"derivsqr", {"linearly detrended, then its temporal derivative (central difference, 0 in the first and last "
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
        if (!std::isfinite(column.values[t]) && !(column.na && std::isnan(column.values[t])))
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
    if (lower(name).ends_with("_3dmc.sdm")) {
        name.resize(name.size() - 9);
    } else if (const std::size_t dot = name.find_last_of('.'); dot != std::string::npos && dot > 0) {
        name.resize(dot);
    }
    if (name.ends_with("_bold") && name.size() > 5) name.resize(name.size() - 5);
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

std::string confoundSetColumn(int parameter, const std::string& set)
{
    if (setInfos().count(set) == 0) throw std::invalid_argument("'" + set + "' is not a confound set with columns");
    if (parameter < 0 || parameter > 5) throw std::invalid_argument("a motion parameter is numbered 0 to 5");
    return std::string(kOwnPrefix) + kParameterNames[parameter] + "_" + set;
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

// ---- fMRIPrep's table -------------------------------------------------------

std::optional<std::vector<double>> FMRIPrepTable::values(const std::string& name) const
{
    const auto at = std::find(names.begin(), names.end(), name);
    if (at == names.end()) return std::nullopt;
    std::vector<double> result;
    for (const std::string& cell : cells[std::size_t(at - names.begin())])
        result.push_back(cell == "n/a" ? std::nan("") : std::strtod(cell.c_str(), nullptr));
    return result;
}

FMRIPrepTable readFMRIPrepTable(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("fMRIPrep's table " + path + " cannot be opened for reading");
    const auto fail = [&](int line, const std::string& what) {
        throw std::runtime_error("fMRIPrep's table " + path + ": line " + std::to_string(line) + ": " + what);
    };
    const auto fields = [](std::string text) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        std::vector<std::string> out;
        std::size_t start = 0;
        for (std::size_t tab; (tab = text.find('\t', start)) != std::string::npos; start = tab + 1)
            out.push_back(text.substr(start, tab - start));
        out.push_back(text.substr(start));
        return out;
    };
    FMRIPrepTable table;
    table.path = path;
    std::string line;
    if (!std::getline(in, line) || line.empty()) fail(1, "no header line");
    table.names = fields(line);
    for (std::size_t k = 0; k < table.names.size(); ++k)
        if (table.names[k].empty() || std::count(table.names.begin(), table.names.end(), table.names[k]) > 1)
            fail(1, "the column name '" + table.names[k] + "' is empty or repeated");
    table.cells.resize(table.names.size());
    for (int number = 2; std::getline(in, line); ++number) {
        if (line.empty() || line == "\r") continue;
        const std::vector<std::string> row = fields(line);
        if (row.size() != table.names.size())
            fail(number, std::to_string(row.size()) + " cells under a header of " + std::to_string(table.names.size()));
        for (std::size_t k = 0; k < row.size(); ++k) {
            char* end = nullptr;
            const double v = std::strtod(row[k].c_str(), &end);
            if (row[k] != "n/a" && (row[k].empty() || *end != '\0' || !std::isfinite(v)))
                fail(number, "the cell '" + row[k] + "' of " + table.names[k] + " is neither a number nor n/a");
            table.cells[k].push_back(row[k]);
        }
    }
    if (in.bad()) throw std::runtime_error("fMRIPrep's table " + path + " could not be read to its end");
    if (table.rows() == 0) fail(2, "no rows under the header");
    std::string sidecarPath = path;
    if (const std::size_t dot = sidecarPath.find_last_of('.'); dot != std::string::npos) sidecarPath.resize(dot);
    sidecarPath += ".json";
    std::ifstream js(sidecarPath, std::ios::binary);
    if (js) {
        table.sidecar.assign(std::istreambuf_iterator<char>(js), std::istreambuf_iterator<char>());
        const auto parsed = nlohmann::ordered_json::parse(table.sidecar, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object())
            throw std::runtime_error("fMRIPrep's sidecar " + sidecarPath + " is not a JSON object");
    }
    return table;
}

// ---- The table --------------------------------------------------------------

const ConfoundsColumn* ConfoundsTable::find(const std::string& name) const
{
    for (const auto& column : columns)
        if (column.name == name) return &column;
    return nullptr;
}

namespace {

constexpr double kFMRIPrepRadius = 50.0; // mm: fMRIPrep's framewise displacement

// The table as it is built: the run's length, the motion in fMRIPrep's
// layout and the measures the columns are made of.
struct Builder {
    const SDM& motion;
    const ConfoundsOptions& options;
    ConfoundsTable table;
    std::vector<std::array<double, 6>> layout; // trans_x … rot_z, mm and rad
    OutlierVolumes flagged;
    std::vector<int> nonSteady;

    bool has(const std::string& name) const { return table.find(name) != nullptr; }
    void add(ConfoundsColumn column) { table.columns.push_back(std::move(column)); }
};

std::vector<double> withFirstNA(std::vector<double> values)
{
    if (!values.empty()) values[0] = std::nan("");
    return values;
}

// fMRIPrep's columns as written, and the volumes it marked non-steady-state.
void carryFMRIPrep(Builder& b)
{
    const FMRIPrepTable& f = *b.options.fmriprep;
    if (f.rows() != b.table.rows)
        throw std::runtime_error("fMRIPrep's table " + f.path + " has " + std::to_string(f.rows()) + " rows; the motion SDM has " +
                                 std::to_string(b.table.rows) + " data points");
    for (std::size_t k = 0; k < f.names.size(); ++k) {
        ConfoundsColumn c;
        c.name = f.names[k];
        c.cells = f.cells[k];
        c.values = *f.values(c.name);
        c.na = true;
        if (c.name.rfind("non_steady_state_outlier", 0) == 0)
            for (int t = 0; t < b.table.rows; ++t)
                if (c.values[std::size_t(t)] == 1.0) b.nonSteady.push_back(t);
        b.add(std::move(c));
    }
    std::sort(b.nonSteady.begin(), b.nonSteady.end());
    b.nonSteady.erase(std::unique(b.nonSteady.begin(), b.nonSteady.end()), b.nonSteady.end());
    b.table.carriedSidecar = f.sidecar;
}

// The six parameters in fMRIPrep's layout: fMRIPrep's own when carried, else
// the package's numbers, else the SDM's with rotations in radians.
void motionColumns(Builder& b)
{
    const int rows = b.table.rows;
    const LayoutMotion* own = b.options.motion;
    if (own != nullptr && own->rows.size() != std::size_t(rows))
        throw std::runtime_error("the motion of " + own->source + " has " + std::to_string(own->rows.size()) +
                                 " rows; the motion SDM has " + std::to_string(rows) + " data points");
    const MotionParameters sdm = motionParametersFromSDM(b.motion);
    b.layout.assign(std::size_t(rows), {});
    for (int k = 0; k < 6; ++k) {
        if (const auto carried = b.options.fmriprep ? b.options.fmriprep->values(kParameterNames[k]) : std::nullopt) {
            for (int t = 0; t < rows; ++t) b.layout[std::size_t(t)][std::size_t(k)] = (*carried)[std::size_t(t)];
            continue;
        }
        ConfoundsColumn c;
        c.name = kParameterNames[k];
        for (int t = 0; t < rows; ++t) {
            const double v = own ? own->rows[std::size_t(t)][std::size_t(k)]
                                 : k < 3 ? sdm[std::size_t(t)][std::size_t(k)] : sdm[std::size_t(t)][std::size_t(k)] * kRadiansPerDegree;
            c.values.push_back(v);
            b.layout[std::size_t(t)][std::size_t(k)] = v;
        }
        c.single = own == nullptr && k < 3;
        c.units = k < 3 ? "mm" : "rad";
        c.description = std::string("Head motion parameter: ") + kParameterWords[k] + ", as the motion correction estimated it";
        if (own) {
            c.extra.emplace_back("Source", getFileName(own->source));
            c.extra.emplace_back("Convention", own->convention);
        } else {
            c.description += " (a 3DMC SDM's own numbers, rotations converted from degrees)";
            if (!b.motion.FileName.empty()) c.extra.emplace_back("Source", getFileName(b.motion.FileName));
        }
        b.add(std::move(c));
    }
}

// fMRIPrep's expansions of the parameters that its table does not hold:
// backward differences (n/a in the first row), their squares and the squares
// of the parameters, as in the 24-parameter model (Satterthwaite et al. 2013).
void expansionColumns(Builder& b)
{
    const int rows = b.table.rows;
    for (int k = 0; k < 6; ++k) {
        const std::string base = kParameterNames[k];
        const std::string unit = k < 3 ? "mm" : "rad";
        std::vector<double> x(static_cast<std::size_t>(rows)), d(static_cast<std::size_t>(rows), std::nan(""));
        for (int t = 0; t < rows; ++t) x[std::size_t(t)] = b.layout[std::size_t(t)][std::size_t(k)];
        for (int t = 1; t < rows; ++t) d[std::size_t(t)] = x[std::size_t(t)] - x[std::size_t(t - 1)];
        const auto squared = [](std::vector<double> v) {
            for (double& e : v) e *= e;
            return v;
        };
        const std::tuple<std::string, std::vector<double>, std::string, std::string> columns[] = {
            {"_derivative1", d, unit, "backward difference x[t] - x[t-1]; n/a in the first row"},
            {"_derivative1_power2", squared(d), unit + "^2", "square of the backward difference; n/a in the first row"},
            {"_power2", squared(x), unit + "^2", "square of the parameter"}};
        for (const auto& [suffix, values, units, what] : columns) {
            if (b.has(base + suffix)) continue;
            ConfoundsColumn c;
            c.name = base + suffix;
            c.values = values;
            c.na = true;
            c.units = units;
            c.description = "Expansion of " + base + " as fMRIPrep computes it: " + what;
            b.add(std::move(c));
        }
    }
}

// Framewise displacement (50 mm), DVARS and fMRIPrep's motion outliers, as
// fMRIPrep computes them, where its table does not hold them.
void fmriprepMeasures(Builder& b)
{
    const int rows = b.table.rows;
    const bool carriedOutliers =
        b.has("framewise_displacement") || std::any_of(b.table.columns.begin(), b.table.columns.end(), [](const auto& c) {
            return c.name.rfind("motion_outlier", 0) == 0;
        });
    if (!b.has("framewise_displacement")) {
        ConfoundsColumn c;
        c.name = "framewise_displacement";
        c.values.assign(std::size_t(rows), std::nan(""));
        for (int t = 1; t < rows; ++t) {
            double sum = 0.0;
            for (std::size_t k = 0; k < 6; ++k)
                sum += std::fabs(b.layout[std::size_t(t)][k] - b.layout[std::size_t(t - 1)][k]) * (k < 3 ? 1.0 : kFMRIPrepRadius);
            c.values[std::size_t(t)] = sum;
        }
        c.na = true;
        c.units = "mm";
        c.description = "Framewise displacement (Power et al. 2012) as fMRIPrep computes it: the sum of the absolute "
                        "backward differences of trans_* and of rot_* as arc length on a 50 mm sphere; n/a in the first row";
        c.extra.emplace_back("SphereRadius", kFMRIPrepRadius);
        c.extra.emplace_back("SphereRadiusUnits", "mm");
        b.add(std::move(c));
    }
    if (b.options.dvars != nullptr && !b.has("dvars") && !b.has("std_dvars")) {
        const DVARS& d = *b.options.dvars;
        ConfoundsColumn standard, plain;
        standard.name = "std_dvars";
        standard.values = withFirstNA(d.standardized);
        standard.units = "1";
        standard.description = "Standardized DVARS (Nichols 2013) as fMRIPrep computes it: DVARS divided by the value it "
                               "would have without artefacts; about 1 for a clean volume; n/a in the first row";
        plain.name = "dvars";
        plain.values = withFirstNA(d.dvars);
        plain.units = "arbitrary";
        plain.description = "DVARS (Power et al. 2012) as fMRIPrep computes it: the root mean square over the mask of the "
                            "volume-to-volume intensity change, the masked series scaled to a median of 1000; n/a in the first row";
        for (ConfoundsColumn* c : {&standard, &plain}) {
            c->na = true;
            if (!b.options.dvarsMask.empty()) c->extra.emplace_back("Mask", b.options.dvarsMask);
            c->extra.emplace_back("MaskVoxels", d.voxels);
            c->extra.emplace_back("ConstantVoxelsLeftOut", d.constant);
            if (b.options.dvarsNonFinite > 0) c->extra.emplace_back("NonFiniteVoxelsLeftOut", b.options.dvarsNonFinite);
        }
        plain.extra.emplace_back("MedianBeforeScaling", d.median);
        b.add(std::move(standard));
        b.add(std::move(plain));
    }
    if (carriedOutliers) return;
    // fMRIPrep's rule (Power et al. 2014): framewise displacement or
    // standardized DVARS above its threshold; one column per volume, numbered
    // from 00 as fMRIPrep numbers them.
    const std::vector<double> fd = b.table.find("framewise_displacement")->values;
    const ConfoundsColumn* std = b.table.find("std_dvars");
    std::vector<int> volumes;
    for (int t = 0; t < rows; ++t)
        if (fd[std::size_t(t)] > b.options.fdThreshold || (std && std->values[std::size_t(t)] > b.options.dvarsThreshold))
            volumes.push_back(t);
    for (std::size_t k = 0; k < volumes.size(); ++k) {
        char name[40];
        std::snprintf(name, sizeof name, "motion_outlier%02zu", k);
        ConfoundsColumn c;
        c.name = name;
        c.values.assign(std::size_t(rows), 0.0);
        c.values[std::size_t(volumes[k])] = 1.0;
        c.units = "1";
        c.description = "fMRIPrep's motion outlier: 1 in volume " + std::to_string(volumes[k]) +
                        " (counted from 0), whose framewise displacement or standardized DVARS is above its threshold";
        c.extra.emplace_back("FDThreshold", b.options.fdThreshold);
        if (std) c.extra.emplace_back("DVARSThreshold", b.options.dvarsThreshold);
        b.add(std::move(c));
    }
}

// The confound task's sets, six columns each, as the SDM files hold them.
// Returns the spike volumes of a spike set, if one was given.
std::optional<std::vector<int>> setColumns(Builder& b, const std::vector<ConfoundSetFile>& sets)
{
    std::optional<std::vector<int>> spikes;
    for (const ConfoundSetFile& set : sets) {
        if (set.sdm == nullptr) throw std::invalid_argument("The confound set " + set.set + " has no SDM");
        if (set.set == "spikes") {
            if (set.sdm->NrOfPredictors.value() > 0 && set.sdm->NrOfDataPoints.value() != b.table.rows)
                throw std::runtime_error("The spike SDM " + set.sdm->FileName + " has " +
                                         std::to_string(set.sdm->NrOfDataPoints.value()) + " data points; the motion SDM has " +
                                         std::to_string(b.table.rows));
            spikes = spikeVolumesOfSDM(*set.sdm);
            continue;
        }
        const auto it = setInfos().find(set.set);
        if (it == setInfos().end()) throw std::invalid_argument("'" + set.set + "' is not a confound set with columns");
        requireColumns(*set.sdm, b.table.rows, "confound set");
        for (int k = 0; k < 6; ++k) {
            ConfoundsColumn c;
            c.name = confoundSetColumn(k, set.set);
            c.values.assign(set.sdm->Predictors[k].begin(), set.sdm->Predictors[k].begin() + b.table.rows);
            c.single = true;
            c.units = "z-score";
            std::string word = kParameterWords[k];
            word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
            c.description = word + " of the 3DMC SDM (about the volume centre), " + it->second.what +
                            "; z-scored by the confound task (mean 0, standard deviation 1; a constant column is only centred)";
            c.extra.emplace_back("Scaling", "z-score");
            c.extra.emplace_back("Source", set.sdm->FileName.empty() ? std::string(it->second.file) : getFileName(set.sdm->FileName));
            b.add(std::move(c));
        }
    }
    return spikes;
}

// Our measures, under our names: the relative RMS displacement the task
// judges spikes by, framewise displacement on another sphere than fMRIPrep's,
// and our DVARS where fMRIPrep's is carried.
void ownMeasures(Builder& b, const std::vector<std::string>& ruleNames)
{
    ConfoundsColumn rmsd;
    rmsd.name = std::string(kOwnPrefix) + "rmsd";
    rmsd.values.assign(b.flagged.displacement.begin(), b.flagged.displacement.end());
    rmsd.single = true;
    rmsd.units = "mm";
    rmsd.description = "Relative (volume-to-volume) root-mean-square displacement over a solid ball of the given "
                       "radius, of the linearly detrended parameters of the 3DMC SDM: the measure the confound task "
                       "judges spikes by (above the threshold); 0 in the first volume. Not fMRIPrep's rmsd";
    rmsd.extra.emplace_back("SphereRadius", sidecarNumber(kSpikeRadius));
    rmsd.extra.emplace_back("SphereRadiusUnits", "mm");
    rmsd.extra.emplace_back("SpikeThreshold", sidecarNumber(b.options.spikeThreshold));
    rmsd.extra.emplace_back("SpikeThresholdUnits", "mm");
    rmsd.extra.emplace_back("Spikes", b.flagged.rmsd);
    rmsd.extra.emplace_back("OutliersBy", ruleNames);
    b.add(std::move(rmsd));
    if (b.options.fdRadius != kFMRIPrepRadius) {
        ConfoundsColumn c;
        c.name = std::string(kOwnPrefix) + "framewise_displacement";
        c.values = b.flagged.framewise;
        c.units = "mm";
        c.description = "Framewise displacement (Power et al. 2012) on a sphere of the given radius instead of fMRIPrep's "
                        "50 mm; 0 in the first volume";
        c.extra.emplace_back("SphereRadius", b.options.fdRadius);
        c.extra.emplace_back("SphereRadiusUnits", "mm");
        if (b.options.fdMotion) c.extra.emplace_back("Source", b.options.fdSource);
        b.add(std::move(c));
    }
    const ConfoundsColumn* std = b.table.find("std_dvars");
    if (b.options.dvars != nullptr && std != nullptr && !std->cells.empty()) {
        const DVARS& d = *b.options.dvars;
        for (const bool standardized : {true, false}) {
            ConfoundsColumn c;
            c.name = std::string(kOwnPrefix) + (standardized ? "std_dvars" : "dvars");
            c.values = standardized ? d.standardized : d.dvars;
            c.units = standardized ? "1" : "arbitrary";
            c.description = std::string(standardized ? "Standardized DVARS" : "DVARS") +
                            " of the run as given (fMRIPrep's columns are of its preprocessed run): the measure the dvars "
                            "outlier rule judges; 0 in the first volume";
            if (!b.options.dvarsMask.empty()) c.extra.emplace_back("Mask", b.options.dvarsMask);
            c.extra.emplace_back("MaskVoxels", d.voxels);
            c.extra.emplace_back("ConstantVoxelsLeftOut", d.constant);
            if (b.options.dvarsNonFinite > 0) c.extra.emplace_back("NonFiniteVoxelsLeftOut", b.options.dvarsNonFinite);
            b.add(std::move(c));
        }
    }
}

// Our outlier mask (the rule's volumes and fMRIPrep's non-steady-state ones)
// and one censoring column per censored volume.
void censoringColumns(Builder& b, const std::vector<std::string>& ruleNames)
{
    const ConfoundsOptions& o = b.options;
    const int rows = b.table.rows;
    std::vector<int> outliers = b.flagged.chosen;
    outliers.insert(outliers.end(), b.nonSteady.begin(), b.nonSteady.end());
    std::sort(outliers.begin(), outliers.end());
    outliers.erase(std::unique(outliers.begin(), outliers.end()), outliers.end());
    const std::string rule = joinedNames(ruleNames) + (b.nonSteady.empty() ? "" : " or fMRIPrep's non-steady-state volumes");

    ConfoundsColumn mask;
    mask.name = std::string(kOwnPrefix) + "outlier";
    mask.values.assign(std::size_t(rows), 0.0);
    for (int t : outliers) mask.values[std::size_t(t)] = 1.0;
    mask.units = "1";
    mask.description = "1 where the volume is an outlier by " + rule + " (before censoring neighbours); 0 elsewhere";
    mask.extra.emplace_back("Levels", std::map<std::string, std::string>{{"0", "kept"}, {"1", "outlier"}});
    mask.extra.emplace_back("OutliersBy", ruleNames);
    if (o.outliersBy.fd) mask.extra.emplace_back("FDThreshold", o.fdThreshold);
    if (o.outliersBy.dvars) mask.extra.emplace_back("DVARSThreshold", o.dvarsThreshold);
    if (o.outliersBy.rmsd) mask.extra.emplace_back("SpikeThreshold", sidecarNumber(o.spikeThreshold));
    mask.extra.emplace_back("FDSphereRadius", o.fdRadius);
    if (!o.fdSource.empty()) mask.extra.emplace_back("FDSource", o.fdSource);
    mask.extra.emplace_back("FDOutliers", b.flagged.fd);
    if (o.dvars) mask.extra.emplace_back("DVARSOutliers", b.flagged.dvars);
    mask.extra.emplace_back("RMSDOutliers", b.flagged.rmsd);
    mask.extra.emplace_back("NonSteadyState", b.nonSteady);
    b.add(std::move(mask));
    if (!o.outliers) return;

    const std::vector<int> censored =
        censorShortSegments(censoredVolumes(outliers, rows, o.censorBefore, o.censorAfter), rows, o.minSegment);
    for (std::size_t k = 0; k < censored.size(); ++k) {
        const int volume = censored[k];
        std::vector<int> causes;
        for (int s : outliers)
            if (volume >= static_cast<long>(s) - o.censorBefore && volume <= static_cast<long>(s) + o.censorAfter)
                causes.push_back(s);
        char name[48];
        std::snprintf(name, sizeof name, "%scensor%02zu", kOwnPrefix, k);
        const bool outlier = std::binary_search(outliers.begin(), outliers.end(), volume);
        ConfoundsColumn c;
        c.name = name;
        c.values.assign(static_cast<std::size_t>(rows), 0.0);
        c.values[static_cast<std::size_t>(volume)] = 1.0;
        c.units = "1";
        c.description = "Censors volume " + std::to_string(volume) + " (counted from 0): 1 there, 0 elsewhere; " +
                        (outlier ? "an outlier" : causes.empty() ? "in a kept stretch shorter than the minimum segment"
                                                                 : "a neighbour of an outlier") +
                        " (" + rule + "). One column per censored volume";
        c.extra.emplace_back("Levels", std::map<std::string, std::string>{{"0", "volume kept"}, {"1", "volume censored"}});
        c.extra.emplace_back("Volume", volume);
        c.extra.emplace_back("Spikes", causes);
        c.extra.emplace_back("CensorBefore", o.censorBefore);
        c.extra.emplace_back("CensorAfter", o.censorAfter);
        c.extra.emplace_back("MinSegment", o.minSegment);
        c.extra.emplace_back("OutliersBy", ruleNames);
        b.add(std::move(c));
    }
}

} // namespace

ConfoundsTable buildConfoundsTable(const SDM& motion, const std::vector<ConfoundSetFile>& sets,
                                   const ConfoundsOptions& options)
{
    if (options.censorBefore < 0 || options.censorAfter < 0 || options.minSegment < 0)
        throw std::invalid_argument("Censoring counts must not be negative");
    const int rows = std::max(motion.NrOfDataPoints.value(), 0);
    requireColumns(motion, rows, "motion SDM");
    if (const DVARS* d = options.dvars; d != nullptr && (d->dvars.size() != std::size_t(rows) || d->standardized.size() != std::size_t(rows)))
        throw std::runtime_error("the run's DVARS has " + std::to_string(d->standardized.size()) + " volumes, the motion SDM " +
                                 std::to_string(rows) + " data points");
    Builder b{motion, options, {}, {}, {}, {}};
    b.table.rows = rows;
    b.table.naAsZero = options.naAsZero;

    if (options.fmriprep) carryFMRIPrep(b);
    motionColumns(b);
    expansionColumns(b);
    fmriprepMeasures(b);

    const std::optional<std::vector<int>> spikeFile = setColumns(b, sets);
    b.flagged = outlierVolumes(motion, options);
    const std::vector<std::string> ruleNames = outlierRuleNames(options.outliersBy);
    if (spikeFile && *spikeFile != b.flagged.chosen)
        throw std::runtime_error("The spike SDM marks volumes " + integerList(*spikeFile) + ", but the outlier rule (" +
                                 joinedNames(ruleNames) + ") flags volumes " + integerList(b.flagged.chosen));
    ownMeasures(b, ruleNames);
    censoringColumns(b, ruleNames);

    for (const auto& column : b.table.columns) requireFinite(column);
    return std::move(b.table);
}

std::string confoundsTSV(const ConfoundsTable& table)
{
    std::string out;
    for (std::size_t c = 0; c < table.columns.size(); ++c) out += (c ? "\t" : "") + table.columns[c].name;
    out += '\n';
    const std::string na = table.naAsZero ? "0" : "n/a";
    for (int t = 0; t < table.rows; ++t) {
        for (std::size_t c = 0; c < table.columns.size(); ++c) {
            const ConfoundsColumn& column = table.columns[c];
            const std::size_t row = static_cast<std::size_t>(t);
            if (c) out += '\t';
            if (!column.cells.empty()) {
                out += column.cells.at(row) == "n/a" ? na : column.cells.at(row);
                continue;
            }
            const double v = column.values.at(row);
            if (std::isnan(v)) out += na;
            else out += column.single ? roundTripNumber(static_cast<float>(v)) : roundTripNumber(v);
        }
        out += '\n';
    }
    return out;
}

std::string confoundsJSON(const ConfoundsTable& table)
{
    nlohmann::ordered_json sidecar = nlohmann::ordered_json::object();
    if (!table.carriedSidecar.empty()) sidecar = nlohmann::ordered_json::parse(table.carriedSidecar);
    for (const ConfoundsColumn& column : table.columns) {
        // fMRIPrep's entries stay as it wrote them; its columns without one get none.
        if (!column.cells.empty() || sidecar.contains(column.name)) continue;
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

} // namespace qc
