#include "confoundmodels.h"

#include <algorithm>
#include <cmath>
#include <regex>
#include <set>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "bidsconfounds.h"
#include "stringmanipulation.h"

namespace tool::models {

namespace {

const std::vector<std::string> kMotion = {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"};

// A signal with its derivative and the squares of both, as the 36-parameter
// model takes each of its signals.
void expanded(std::vector<std::string>& names, const std::string& base, bool derivative, bool squares)
{
    names.push_back(base);
    if (derivative) names.push_back(base + "_derivative1");
    if (squares) {
        names.push_back(base + "_power2");
        names.push_back(base + "_derivative1_power2");
    }
}

// Columns whose names match, in the table's order.
std::vector<std::string> matching(const qc::FMRIPrepTable& table, const std::regex& pattern)
{
    std::vector<std::string> names;
    for (const std::string& name : table.names)
        if (std::regex_match(name, pattern)) names.push_back(name);
    return names;
}

// fMRIPrep's sidecar marks each a_comp_cor_NN with its method and mask; the
// combined (WM+CSF) components are the ones the anatomical CompCor strategy
// takes. Components the sidecar calls not retained stay out.
std::vector<std::string> combinedACompCor(const qc::FMRIPrepTable& table)
{
    std::vector<std::string> names;
    if (table.sidecar.empty()) return names;
    const nlohmann::json sidecar = nlohmann::json::parse(table.sidecar, nullptr, false);
    if (!sidecar.is_object()) return names;
    for (const std::string& name : matching(table, std::regex("a_comp_cor_[0-9]+"))) {
        const auto entry = sidecar.find(name);
        if (entry == sidecar.end() || !entry->is_object()) continue;
        if (entry->value("Method", "") != "aCompCor" || entry->value("Mask", "") != "combined") continue;
        if (!entry->value("Retained", true)) continue;
        names.push_back(name);
    }
    return names;
}

// The family's columns, and what the table lacks for it ("" when nothing).
std::vector<std::string> familyColumns(const qc::FMRIPrepTable& table, const std::string& family, std::string& lacking)
{
    std::vector<std::string> names;
    if (family == "6p" || family == "12p" || family == "24p") {
        for (const std::string& m : kMotion) expanded(names, m, family != "6p", false);
        if (family == "24p")
            for (const std::string& m : kMotion) {
                names.push_back(m + "_power2");
                names.push_back(m + "_derivative1_power2");
            }
    } else if (family == "wmcsf") {
        expanded(names, "white_matter", true, true);
        expanded(names, "csf", true, true);
    } else if (family == "gsr") {
        expanded(names, "global_signal", true, true);
    } else if (family == "acompcor") {
        names = combinedACompCor(table);
        if (names.empty()) lacking = "no a_comp_cor_NN column that its sidecar marks as aCompCor over the combined mask";
        return names;
    } else if (family == "cosine") {
        names = matching(table, std::regex("cosine[0-9]+"));
        if (names.empty()) lacking = "no cosineNN column";
        return names;
    } else if (family == "scrub") {
        names = matching(table, std::regex(std::string(qc::kOwnPrefix) + "censor[0-9]+"));
        if (names.empty()) lacking = "no censored volume (no " + std::string(qc::kOwnPrefix) + "censorNN column)";
        return names;
    }
    std::vector<std::string> missing;
    for (const std::string& name : names)
        if (std::find(table.names.begin(), table.names.end(), name) == table.names.end()) missing.push_back(name);
    if (!missing.empty()) lacking = "no " + joined(missing, ", ") + " column";
    return names;
}

} // namespace

const std::vector<std::string>& familyNames()
{
    static const std::vector<std::string> names = {"6p", "12p", "24p", "wmcsf", "gsr", "acompcor", "cosine", "scrub"};
    return names;
}

const std::vector<std::string>& defaultSequence()
{
    // Motion first and in growing expansions, then the drifts, the tissue
    // signals of the 36-parameter model, the anatomical components and last
    // the censoring, which costs one degree of freedom per volume.
    static const std::vector<std::string> names = {"6p", "12p", "24p", "cosine", "wmcsf", "gsr", "acompcor", "scrub"};
    return names;
}

void checkSequence(const std::vector<std::string>& families)
{
    std::set<std::string> seen;
    for (const std::string& family : families) {
        if (std::find(familyNames().begin(), familyNames().end(), family) == familyNames().end())
            throw std::invalid_argument("'" + family + "' is not a confound model family (" + joined(familyNames(), ", ") + ")");
        if (!seen.insert(family).second) throw std::invalid_argument("the confound model family " + family + " is given twice");
    }
    if (families.empty()) throw std::invalid_argument("give at least one confound model family");
}

Additions additionsFrom(const qc::FMRIPrepTable& table, const std::vector<std::string>& families)
{
    Additions result;
    std::set<std::string> inModel;
    for (const std::string& family : families) {
        std::string lacking;
        const std::vector<std::string> columns = familyColumns(table, family, lacking);
        if (!lacking.empty()) {
            result.skipped.push_back(family + ": the confounds table has " + lacking + "; left out");
            continue;
        }
        Addition addition;
        addition.family = family;
        for (const std::string& name : columns) {
            if (inModel.count(name)) continue;
            std::vector<double> values = *table.values(name);
            for (double& v : values)
                if (!std::isfinite(v)) v = 0;
            addition.columns.push_back(name);
            addition.values.push_back(std::move(values));
        }
        if (addition.columns.empty()) {
            result.skipped.push_back(family + ": its columns are all in the model already; left out");
            continue;
        }
        inModel.insert(addition.columns.begin(), addition.columns.end());
        result.steps.push_back(std::move(addition));
    }
    return result;
}

} // namespace tool::models
