// The group level of tremora bids: one row per complete run, read back from
// the participant outputs (the confounds table, its sidecar and the maximum
// absolute displacement map), and one page with the distributions.
#include <nifti1_io.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "atomicfile.h"
#include "bidsconfounds.h"
#include "bidsapp.h"
#include "confoundsummary.h"
#include "mapfile.h"
#include "report.h"
#include "svg.h"

namespace tool::bids {

namespace {

using Json = nlohmann::ordered_json;

struct Row {
    Name name;
    fs::path folder; // relative to the output dataset
    int volumes = 0;
    double meanFD = 0, maxFD = 0, spikeShare = 0, maxDisplacement = 0;
    int spikes = 0;
    std::optional<double> meanStdDVARS, maxStdDVARS;
    std::vector<std::string> outliersBy;
    double outlierShare = 0;
    bool exclude = false;
    std::vector<std::string> reasons;
};

std::string fixed(double value, int decimals)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.*f", decimals, value + 0.0);
    return text;
}

Row readRun(const fs::path& output, const fs::path& record, const GroupOptions& options)
{
    Row row;
    const std::string recordFile = record.filename().string();
    row.name = *parseName(recordFile);
    row.folder = record.parent_path().lexically_relative(output);
    Run run;
    run.name = row.name;
    run.name.entities.erase(std::remove_if(run.name.entities.begin(), run.name.entities.end(),
                                           [](const auto& e) { return e.first == "desc"; }),
                            run.name.entities.end());
    row.name = run.name;
    run.folder = row.folder;
    const fs::path table = output / outputName(run, "confounds", "timeseries", ".tsv");
    const std::vector<double> fd = tableColumn(table, "framewise_displacement");
    row.volumes = int(fd.size());
    for (std::size_t t = 1; t < fd.size(); ++t)
        if (!std::isnan(fd[t])) row.maxFD = std::max(row.maxFD, fd[t]);
    row.meanFD = meanFramewiseDisplacement(fd);
    std::ifstream in(output / outputName(run, "confounds", "timeseries", ".json"));
    const Json sidecar = Json::parse(in, nullptr, false);
    const std::string rmsd = std::string(kOwnPrefix) + "rmsd";
    if (!sidecar.is_object() || !sidecar.contains(rmsd) || !sidecar[rmsd].contains("Spikes"))
        throw std::runtime_error("the sidecar of " + table.string() + " lists no spikes");
    row.spikes = int(sidecar[rmsd]["Spikes"].size());
    row.spikeShare = row.volumes > 0 ? double(row.spikes) / row.volumes : 0.0;
    row.maxDisplacement = host::mapFileMaximum((output / outputName(run, "maxabs", "displacement", ".nii.gz")).string());
    const ConfoundsSummary summary = summarizeConfounds(table, output / outputName(run, "confounds", "timeseries", ".json"));
    row.meanStdDVARS = summary.meanStdDVARS;
    row.maxStdDVARS = summary.maxStdDVARS;
    row.outliersBy = summary.rule;
    row.outlierShare = summary.outlierShare;
    if (row.meanFD > options.excludeMeanFD) row.reasons.push_back("mean FD " + fixed(row.meanFD, 3) + " mm");
    if (row.spikeShare > options.excludeSpikeShare) row.reasons.push_back("spike share " + fixed(row.spikeShare, 3));
    row.exclude = !row.reasons.empty();
    return row;
}

// A histogram of one measure over the runs, with the criterion as a line.
std::string histogram(const std::string& title, const std::string& unit, const std::vector<double>& values,
                      std::optional<double> criterion)
{
    const int width = 460, height = 220, left = 48, right = 30, top = 30, bottom = 40, bins = 12;
    double hi = *std::max_element(values.begin(), values.end());
    if (criterion) hi = std::max(hi, *criterion);
    hi = hi > 0 ? hi * 1.05 : 1.0;
    std::vector<int> counts(bins, 0);
    for (double v : values) counts[std::size_t(std::min(bins - 1, int(v / hi * bins)))]++;
    const int most = std::max(1, *std::max_element(counts.begin(), counts.end()));
    const double pw = width - left - right, ph = height - top - bottom;
    std::ostringstream svg;
    svg << "<svg class=\"plot\" viewBox=\"0 0 " << width << " " << height << "\" xmlns=\"http://www.w3.org/2000/svg\">"
        << "<text class=\"ptitle\" x=\"" << left << "\" y=\"18\">" << host::markupEscape(title) << "</text>";
    for (int b = 0; b < bins; ++b) {
        const double h = ph * counts[std::size_t(b)] / most;
        svg << "<rect x=\"" << fixed(left + pw * b / bins + 1, 1) << "\" y=\"" << fixed(top + ph - h, 1) << "\" width=\""
            << fixed(pw / bins - 2, 1) << "\" height=\"" << fixed(h, 1) << "\" fill=\"#4a7ab5\"><title>" << counts[std::size_t(b)]
            << " run(s) from " << fixed(hi * b / bins, 3) << " to " << fixed(hi * (b + 1) / bins, 3) << "</title></rect>";
    }
    svg << "<line class=\"axis\" x1=\"" << left << "\" y1=\"" << top + ph << "\" x2=\"" << left + pw << "\" y2=\"" << top + ph
        << "\"/><line class=\"axis\" x1=\"" << left << "\" y1=\"" << top << "\" x2=\"" << left << "\" y2=\"" << top + ph << "\"/>";
    for (int k = 0; k <= 4; ++k)
        svg << "<text class=\"tick\" x=\"" << fixed(left + pw * k / 4, 1) << "\" y=\"" << top + ph + 15
            << "\" text-anchor=\"middle\">" << fixed(hi * k / 4, hi < 1 ? 3 : 2) << "</text>";
    svg << "<text class=\"tick\" x=\"" << left - 6 << "\" y=\"" << top + 4 << "\" text-anchor=\"end\">" << most << "</text>"
        << "<text class=\"tick\" x=\"" << left - 6 << "\" y=\"" << top + ph << "\" text-anchor=\"end\">0</text>"
        << "<text class=\"label\" x=\"" << left + pw / 2 << "\" y=\"" << height - 6 << "\" text-anchor=\"middle\">"
        << host::markupEscape(unit) << " (runs per bar)</text>";
    if (criterion) {
        const double x = left + pw * *criterion / hi;
        svg << "<line x1=\"" << fixed(x, 1) << "\" y1=\"" << top << "\" x2=\"" << fixed(x, 1) << "\" y2=\"" << top + ph
            << "\" stroke=\"#c0392b\" stroke-width=\"2\" stroke-dasharray=\"5,3\"/>";
        // The label on the side of the line that has room for it.
        const bool leftOfLine = x > left + 0.6 * pw;
        svg << "<text class=\"tick\" x=\"" << fixed(leftOfLine ? x - 4 : x + 4, 1) << "\" y=\"" << top + 12 << "\" text-anchor=\""
            << (leftOfLine ? "end" : "start") << "\" fill=\"#c0392b\">criterion " << fixed(*criterion, 3) << "</text>";
    }
    svg << "</svg>\n";
    return svg.str();
}

const char* const kStyle = R"(
body { font-family: "DejaVu Sans", Arial, sans-serif; color: #222; max-width: 1000px; margin: 16px auto; padding: 0 12px; }
h1 { font-size: 24px; } h2 { font-size: 19px; border-bottom: 1px solid #ccc; padding-bottom: 3px; margin-top: 28px; }
table { border-collapse: collapse; font-size: 14px; } th, td { border: 1px solid #ddd; padding: 4px 10px; text-align: left; }
td { font-variant-numeric: tabular-nums; } tr.excluded td { background: #fdecea; }
.plots { display: flex; flex-wrap: wrap; gap: 10px; } svg.plot { width: 460px; height: auto; }
svg text { font-family: "DejaVu Sans", Arial, sans-serif; } .ptitle { font-size: 15px; font-weight: bold; }
.tick { font-size: 12px; fill: #333; } .label { font-size: 13px; } .axis { stroke: #555; stroke-width: 1; }
)";

// The carpet plots of the runs with the highest mean framewise displacement,
// as their run reports hold them: {run, figure}.
using Carpets = std::vector<std::pair<const Row*, std::string>>;

Carpets worstCarpets(const fs::path& output, const std::vector<Row>& rows, std::size_t count)
{
    std::vector<const Row*> order;
    for (const auto& r : rows) order.push_back(&r);
    std::stable_sort(order.begin(), order.end(), [](const Row* a, const Row* b) { return a->meanFD > b->meanFD; });
    Carpets carpets;
    for (const Row* r : order) {
        if (carpets.size() == count) break;
        std::ifstream in(output / r->folder / (r->name.stem() + "_desc-motion_report.html"), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        std::string figure = carpetFigureOf(text.str());
        if (figure.empty()) continue;
        // The ids of one page stay unique: "carpet" becomes "worst1-carpet", ...
        const std::string id = " id=\"carpet", unique = " id=\"worst" + std::to_string(carpets.size() + 1) + "-carpet";
        for (std::size_t at = figure.find(id); at != std::string::npos; at = figure.find(id, at + unique.size()))
            figure.replace(at, id.size(), unique);
        carpets.emplace_back(r, std::move(figure));
    }
    return carpets;
}

std::string page(const std::vector<Row>& rows, const GroupOptions& options, const Carpets& carpets)
{
    std::vector<double> meanFD, share, displacement;
    std::size_t excluded = 0;
    for (const auto& r : rows) {
        meanFD.push_back(r.meanFD), share.push_back(r.spikeShare), displacement.push_back(r.maxDisplacement);
        excluded += r.exclude;
    }
    const auto runRow = [](const Row& r) {
        const fs::path report = r.folder / (r.name.stem() + "_desc-motion_report.html");
        return "<tr" + std::string(r.exclude ? " class=\"excluded\"" : "") + "><td><a href=\"" + host::markupEscape(report.generic_string()) +
               "\">" + host::markupEscape(r.name.stem()) + "</a></td><td>" + std::to_string(r.volumes) + "</td><td>" + fixed(r.meanFD, 3) +
               "</td><td>" + fixed(r.maxFD, 3) + "</td><td>" + std::to_string(r.spikes) + " (" + fixed(100 * r.spikeShare, 1) +
               " %)</td><td>" + fixed(r.maxDisplacement, 2) + "</td><td>" +
               (r.meanStdDVARS ? fixed(*r.meanStdDVARS, 3) + " / " + fixed(*r.maxStdDVARS, 3) : std::string("n/a")) +
               "</td><td>" + fixed(100 * r.outlierShare, 1) + " %</td></tr>\n";
    };
    const std::string head = "<tr><th>run (its report)</th><th>volumes</th><th>mean FD (mm)</th><th>max FD (mm)</th>"
                             "<th>spikes</th><th>max displacement (mm)</th><th>std DVARS mean / max</th>"
                             "<th>outliers</th></tr>\n";
    std::ostringstream html;
    html << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Head motion of the group</title><style>"
         << kStyle << "</style></head><body>\n<h1>Head motion of the group</h1>\n<p>" << rows.size() << " runs; " << excluded
         << " beyond the criteria: mean framewise displacement above " << fixed(options.excludeMeanFD, 3)
         << " mm, or a share of spike volumes above " << fixed(options.excludeSpikeShare, 3)
         << ". Framewise displacement after Power et al. (2012); spikes are volumes whose relative RMS displacement "
            "is above the spike threshold of the participant level.</p>\n<h2>Distributions</h2>\n<div class=\"plots\">"
         << histogram("Mean framewise displacement", "mm", meanFD, options.excludeMeanFD)
         << histogram("Share of spike volumes", "share of the volumes", share, options.excludeSpikeShare)
         << histogram("Largest displacement of a voxel", "mm", displacement, std::nullopt) << "</div>\n"
         << "<h2>Runs beyond the criteria</h2>\n";
    if (excluded == 0) {
        html << "<p>None.</p>\n";
    } else {
        html << "<table id=\"excluded\"><tr><th>run (its report)</th><th>why</th></tr>\n";
        for (const auto& r : rows) {
            if (!r.exclude) continue;
            std::string why;
            for (const auto& reason : r.reasons) why += (why.empty() ? "" : ", ") + reason;
            html << "<tr><td><a href=\"" << host::markupEscape((r.folder / (r.name.stem() + "_desc-motion_report.html")).generic_string())
                 << "\">" << host::markupEscape(r.name.stem()) << "</a></td><td>" << host::markupEscape(why) << "</td></tr>\n";
        }
        html << "</table>\n";
    }
    if (!carpets.empty()) {
        html << "<h2>Carpet plots of the runs with the highest mean framewise displacement</h2>\n<section id=\"worst-carpets\">\n";
        for (const auto& [r, figure] : carpets)
            html << "<h3><a href=\"" << host::markupEscape((r->folder / (r->name.stem() + "_desc-motion_report.html")).generic_string()) << "\">"
                 << host::markupEscape(r->name.stem()) << "</a>: mean FD " << fixed(r->meanFD, 3) << " mm</h3>\n" << figure;
        html << "</section>\n";
    }
    html << "<h2>Every run</h2>\n<table id=\"runs\">" << head;
    for (const auto& r : rows) html << runRow(r);
    html << "</table>\n<footer><p>tremora " << kProgramVersion << "</p></footer>\n</body></html>\n";
    return html.str();
}

// The entity columns: participant_id and session_id, then the other entities
// in the order BIDS writes them, each only when some run has it.
std::vector<std::string> entityKeys(const std::vector<Row>& rows)
{
    static const std::vector<std::string> order = {"sub", "ses", "task", "acq", "ce", "rec", "dir", "run", "echo", "part"};
    std::vector<std::string> keys;
    for (const auto& key : order)
        if (std::any_of(rows.begin(), rows.end(), [&](const Row& r) { return !r.name.get(key).empty(); })) keys.push_back(key);
    for (const auto& r : rows)
        for (const auto& [key, value] : r.name.entities)
            if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    return keys;
}

std::string columnName(const std::string& key)
{
    if (key == "sub") return "participant_id";
    if (key == "ses") return "session_id";
    return key;
}

} // namespace

std::size_t runGroup(const fs::path& output, const GroupOptions& options)
{
    std::vector<fs::path> records;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(output, ec), end; it != end && !ec; it.increment(ec)) {
        const fs::path& p = it->path();
        const std::string name = p.filename().string();
        if (it->is_directory(ec) && (name == "work" || name[0] == '.') && it.depth() == 0) it.disable_recursion_pending();
        const std::string ending = "_desc-tremora_provenance.json";
        if (name.size() > ending.size() && name.compare(name.size() - ending.size(), ending.size(), ending) == 0) records.push_back(p);
    }
    std::sort(records.begin(), records.end());
    std::vector<Row> rows;
    for (const auto& record : records) {
        const auto name = parseName(record.filename().string());
        if (!name || !options.filters.accepts(*name)) continue;
        rows.push_back(readRun(output, record, options));
    }
    if (rows.empty())
        throw std::runtime_error("no complete participant outputs in " + output.string() +
                                 " (run the participant level first)");

    const std::vector<std::string> keys = entityKeys(rows);
    std::string tsv;
    for (const auto& key : keys) tsv += columnName(key) + "\t";
    tsv += "volumes\tmean_fd\tmax_fd\tspikes\tspike_share\tmax_displacement_mm\texclude\tmean_std_dvars\tmax_std_dvars\t"
           "outliers_by\toutlier_share\n";
    const auto optional = [](const std::optional<double>& v) { return v ? fixed(*v, 6) : std::string("n/a"); };
    for (const auto& r : rows) {
        for (const auto& key : keys) {
            const std::string value = r.name.get(key);
            tsv += (value.empty() ? "n/a" : key == "sub" || key == "ses" ? key + "-" + value : value) + "\t";
        }
        tsv += std::to_string(r.volumes) + "\t" + fixed(r.meanFD, 6) + "\t" + fixed(r.maxFD, 6) + "\t" + std::to_string(r.spikes) +
               "\t" + fixed(r.spikeShare, 6) + "\t" + fixed(r.maxDisplacement, 6) + "\t" + (r.exclude ? "1" : "0") + "\t" +
               optional(r.meanStdDVARS) + "\t" + optional(r.maxStdDVARS) + "\t";
        for (std::size_t k = 0; k < r.outliersBy.size(); ++k) tsv += (k ? "," : "") + r.outliersBy[k];
        tsv += "\t" + fixed(r.outlierShare, 6) + "\n";
    }
    Json sidecar;
    sidecar["volumes"] = {{"Description", "Volumes of the run"}};
    sidecar["mean_fd"] = {{"Description", "Mean framewise displacement (Power et al. 2012) over the volumes from the second on, "
                                          "from the run's confounds table"},
                          {"Units", "mm"}};
    sidecar["max_fd"] = {{"Description", "Largest framewise displacement of the run"}, {"Units", "mm"}};
    sidecar["spikes"] = {{"Description", "Volumes whose relative RMS displacement is above the spike threshold (the Spikes of "
                                         "rmsd in the confounds sidecar)"}};
    sidecar["spike_share"] = {{"Description", "spikes divided by volumes"}};
    sidecar["max_displacement_mm"] = {{"Description", "Largest voxel of the maximum absolute displacement map"}, {"Units", "mm"}};
    sidecar["exclude"] = {{"Description", "1 when mean_fd is above ExcludeMeanFD or spike_share above ExcludeSpikeShare"},
                          {"Levels", {{"0", "kept"}, {"1", "beyond a criterion"}}},
                          {"ExcludeMeanFD", options.excludeMeanFD},
                          {"ExcludeSpikeShare", options.excludeSpikeShare}};
    sidecar["mean_std_dvars"] = {{"Description", "Mean standardized DVARS (Nichols 2013) over the volumes from the second on, "
                                                 "from the run's confounds table (std_dvars); n/a when the table has none"}};
    sidecar["max_std_dvars"] = {{"Description", "Largest standardized DVARS of the run"}};
    sidecar["outliers_by"] = {{"Description", "The outlier rule of the run's confounds table: fd (framewise displacement), "
                                              "dvars (standardized DVARS) or rmsd (relative RMS displacement) above its "
                                              "threshold; with several, any of them"}};
    sidecar["outlier_share"] = {{"Description", "Share of the volumes the outlier rule flags (before censoring their "
                                                "neighbours), from the volumes the confounds sidecar lists per measure"}};
    const auto save = [&](const std::string& name, const std::string& text) {
        saveTextAtomically((output / name).string(), [&](std::ostream& out) { out << text; },
                           "cannot write " + (output / name).string());
    };
    save("group_motion.tsv", tsv);
    save("group_motion.json", sidecar.dump(2) + "\n");
    save("group_report.html", page(rows, options, worstCarpets(output, rows, 3)));
    return rows.size();
}

} // namespace tool::bids
