// The group level of tremora bids: one row per complete run, read back from
// the participant outputs (the confounds table, its sidecar and the maximum
// absolute displacement map), and one page with the distributions.
#include <dirent.h>
#include <fcntl.h>
#include <nifti1_io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "atomicfile.h"
#include "bidsconfounds.h"
#include "bidsapp.h"
#include "confoundsummary.h"
#include "groupmodels.h"
#include "mapfile.h"
#include "parallel.h"
#include "report.h"
#include "runstatus.h"
#include "svg.h"
#include "stringmanipulation.h"

using namespace qc; // the quality-control library (code/qc)

namespace tool::bids {

namespace {

using Json = nlohmann::ordered_json;

// The options of the participant level that change a run's numbers, as the
// provenance record keeps them: {column, key in the record's Options}.
const std::vector<std::pair<std::string, std::string>> kOptionColumns = {
    {"motion_format", "MotionFormat"}, {"spike_threshold", "SpikeThreshold"}, {"radius_fd", "RadiusFD"},
    {"censor_before", "CensorBefore"}, {"censor_after", "CensorAfter"},       {"min_segment", "MinSegment"},
    {"sets", "Sets"},                  {"fd_threshold", "FDThreshold"},       {"dvars_threshold", "DVARSThreshold"},
    {"na_as_zero", "NaAsZero"},
};

struct Row {
    Name name;
    fs::path folder; // relative to the output dataset
    // done, failed, skipped, interrupted, in_progress or incomplete; only a
    // done run has numbers.
    std::string status = "done";
    std::string note;                 // why it is not done, and its warnings
    std::vector<std::string> options; // the values of kOptionColumns, of a done run
    int volumes = 0;
    double meanFD = 0, maxFD = 0, spikeShare = 0, maxDisplacement = 0;
    int spikes = 0;
    std::optional<double> meanStdDVARS, maxStdDVARS;
    std::vector<std::string> outliersBy;
    double outlierShare = 0;
    bool exclude = false;
    std::vector<std::string> reasons;
};

// An option's value as a cell: numbers as short as they read back, lists
// joined with commas, n/a when the record has none.
std::string optionText(const Json& value)
{
    if (value.is_string()) return value.get<std::string>().empty() ? "n/a" : value.get<std::string>();
    if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
    if (value.is_number()) {
        char text[32];
        std::snprintf(text, sizeof text, "%.9g", value.get<double>());
        return text;
    }
    if (value.is_array()) {
        std::string text;
        for (const auto& v : value) text += (text.empty() ? "" : ",") + optionText(v);
        return text.empty() ? "n/a" : text;
    }
    return "n/a";
}

// A file's text, or none when it cannot be read (then no JSON either).
std::string textOrNothing(const fs::path& file)
{
    try {
        return fileText(file);
    } catch (const std::runtime_error&) {
        return {};
    }
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
    // Each file is read once, the table in one pass for all its columns.
    const fs::path table = output / outputName(run, "confounds", "timeseries", ".tsv");
    const fs::path sidecarPath = output / outputName(run, "confounds", "timeseries", ".json");
    std::vector<std::string> names = summaryColumns();
    names.push_back("framewise_displacement");
    const TableColumns columns = tableColumns(table, names);
    if (!columns.back()) throw std::runtime_error(table.string() + " has no column framewise_displacement");
    const std::vector<double>& fd = *columns.back();
    row.volumes = int(fd.size());
    for (std::size_t t = 1; t < fd.size(); ++t)
        if (!std::isnan(fd[t])) row.maxFD = std::max(row.maxFD, fd[t]);
    row.meanFD = meanFramewiseDisplacement(fd);
    const std::string rmsd = std::string(kOwnPrefix) + "rmsd";
    const nlohmann::json sidecar = sidecarEntries(sidecarPath, {rmsd});
    if (!sidecar.is_object() || !sidecar.contains(rmsd) || !sidecar[rmsd].contains("Spikes"))
        throw std::runtime_error("the sidecar of " + table.string() + " lists no spikes");
    row.spikes = int(sidecar[rmsd]["Spikes"].size());
    row.spikeShare = row.volumes > 0 ? double(row.spikes) / row.volumes : 0.0;
    row.maxDisplacement = host::mapFileMaximum((output / outputName(run, "maxabs", "displacement", ".nii.gz")).string());
    const ConfoundsSummary summary = summarizeConfounds(columns, sidecar, table, sidecarPath);
    row.meanStdDVARS = summary.meanStdDVARS;
    row.maxStdDVARS = summary.maxStdDVARS;
    row.outliersBy = summary.rule;
    row.outlierShare = summary.outlierShare;
    const Json provenance = Json::parse(textOrNothing(record), nullptr, false);
    const Json used = provenance.is_object() ? provenance.value("Options", Json::object()) : Json::object();
    for (const auto& [column, key] : kOptionColumns) row.options.push_back(optionText(used.value(key, Json())));
    if (provenance.is_object() && provenance.contains("Warnings") && provenance["Warnings"].is_array())
        for (const auto& w : provenance["Warnings"]) row.note += (row.note.empty() ? "warning: " : "; warning: ") + w.get<std::string>();
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
td { font-variant-numeric: tabular-nums; } tr.excluded td { background: #fdecea; } tr.notdone td { background: #fff4d6; }
.warning { color: #8a4b00; }
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
        if (r->status != "done") continue;
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

// Up to this many runs the page lists every run; beyond, a study's page
// (tens of thousands of runs) would be too long to read or even to open, so
// it lists the runs beyond the criteria and those not done, with the
// quantiles of the measures, and leaves every run to the table.
constexpr std::size_t kEveryRunOnPage = 500;

// The median, 95th percentile (nearest rank) and largest value of each
// measure over the runs done.
std::string summaryTable(std::vector<double> meanFD, std::vector<double> share, std::vector<double> displacement)
{
    std::ostringstream html;
    html << "<table id=\"summary\"><tr><th>over the runs done</th><th>median</th><th>95th percentile</th><th>largest</th></tr>\n";
    const auto line = [&](const char* what, std::vector<double>& v, int digits) {
        if (v.empty()) return;
        std::sort(v.begin(), v.end());
        const auto rank = [&](double p) { return v[std::size_t(std::ceil(p * double(v.size()))) - 1]; };
        html << "<tr><td>" << what << "</td><td>" << fixed(rank(0.5), digits) << "</td><td>" << fixed(rank(0.95), digits) << "</td><td>"
             << fixed(v.back(), digits) << "</td></tr>\n";
    };
    line("mean framewise displacement (mm)", meanFD, 3);
    line("share of spike volumes", share, 3);
    line("largest displacement of a voxel (mm)", displacement, 2);
    html << "</table>\n";
    return html.str();
}

std::string page(const std::vector<Row>& rows, const GroupOptions& options, const Carpets& carpets,
                 const std::vector<std::string>& mixed)
{
    std::vector<double> meanFD, share, displacement;
    std::size_t excluded = 0, notDone = 0;
    for (const auto& r : rows) {
        if (r.status != "done") {
            ++notDone;
            continue;
        }
        meanFD.push_back(r.meanFD), share.push_back(r.spikeShare), displacement.push_back(r.maxDisplacement);
        excluded += r.exclude;
    }
    const auto runRow = [](const Row& r) {
        const fs::path report = r.folder / (r.name.stem() + "_desc-motion_report.html");
        const std::string status = "<td>" + r.status + "</td>", note = "<td>" + host::markupEscape(r.note) + "</td></tr>\n";
        if (r.status != "done")
            return "<tr class=\"notdone\"><td>" + host::markupEscape(r.name.stem()) + "</td>" + status +
                   "<td colspan=\"7\">n/a</td>" + note;
        return "<tr" + std::string(r.exclude ? " class=\"excluded\"" : "") + "><td><a href=\"" + host::markupEscape(report.generic_string()) +
               "\">" + host::markupEscape(r.name.stem()) + "</a></td>" + status + "<td>" + std::to_string(r.volumes) + "</td><td>" + fixed(r.meanFD, 3) +
               "</td><td>" + fixed(r.maxFD, 3) + "</td><td>" + std::to_string(r.spikes) + " (" + fixed(100 * r.spikeShare, 1) +
               " %)</td><td>" + fixed(r.maxDisplacement, 2) + "</td><td>" +
               (r.meanStdDVARS ? fixed(*r.meanStdDVARS, 3) + " / " + fixed(*r.maxStdDVARS, 3) : std::string("n/a")) +
               "</td><td>" + fixed(100 * r.outlierShare, 1) + " %</td>" + note;
    };
    const std::string head = "<tr><th>run (its report)</th><th>status</th><th>volumes</th><th>mean FD (mm)</th><th>max FD (mm)</th>"
                             "<th>spikes</th><th>max displacement (mm)</th><th>std DVARS mean / max</th>"
                             "<th>outliers</th><th>note</th></tr>\n";
    std::ostringstream html;
    html << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Head motion of the group</title><style>"
         << kStyle << "</style></head><body>\n<h1>Head motion of the group</h1>\n<p>" << rows.size() - notDone << " runs done"
         << (notDone ? "; " + std::to_string(notDone) + " not done (failed, interrupted, in progress or skipped: see the "
                       "runs not done below)" : std::string()) << "; " << excluded
         << " beyond the criteria: mean framewise displacement above " << fixed(options.excludeMeanFD, 3)
         << " mm, or a share of spike volumes above " << fixed(options.excludeSpikeShare, 3)
         << ". Framewise displacement after Power et al. (2012); spikes are volumes whose relative RMS displacement "
            "is above the spike threshold of the participant level.</p>\n\n";
    if (notDone) {
        html << "<h2>Runs not done</h2>\n<table id=\"not-done\"><tr><th>run</th><th>status</th><th>why</th></tr>\n";
        for (const auto& r : rows)
            if (r.status != "done")
                html << "<tr class=\"notdone\"><td>" << host::markupEscape(r.name.stem()) << "</td><td>" << r.status << "</td><td>"
                     << host::markupEscape(r.note) << "</td></tr>\n";
        html << "</table>\n";
    }
    if (!mixed.empty()) {
        html << "<h2>Runs made with different options</h2>\n<p class=\"warning\">The numbers of these runs were made with "
                "different options of the participant level, so they do not compare directly:</p>\n<ul id=\"mixed-options\">";
        for (const auto& m : mixed) html << "<li>" << host::markupEscape(m) << "</li>";
        html << "</ul>\n";
    }
    if (!meanFD.empty())
        html << "<h2>Distributions</h2>\n<div class=\"plots\">"
             << histogram("Mean framewise displacement", "mm", meanFD, options.excludeMeanFD)
             << histogram("Share of spike volumes", "share of the volumes", share, options.excludeSpikeShare)
             << histogram("Largest displacement of a voxel", "mm", displacement, std::nullopt) << "</div>\n";
    html << "<h2>Runs beyond the criteria</h2>\n";
    if (excluded == 0) {
        html << "<p>None.</p>\n";
    } else {
        html << "<table id=\"excluded\"><tr><th>run (its report)</th><th>why</th></tr>\n";
        for (const auto& r : rows) {
            if (r.status != "done" || !r.exclude) continue;
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
    if (rows.size() <= kEveryRunOnPage) {
        html << "<h2>Every run</h2>\n<table id=\"runs\">" << head;
        for (const auto& r : rows) html << runRow(r);
        html << "</table>\n";
    } else {
        html << "<h2>Every run</h2>\n" << summaryTable(meanFD, share, displacement) << "<p id=\"every-run-in-table\">"
             << rows.size() << " runs are more than a page can usefully list: this page lists those beyond the criteria "
                               "and those not done, and group_motion.tsv every run with its numbers.</p>\n";
    }
    html << "<footer><p>tremora " << kProgramVersion << "</p></footer>\n</body></html>\n";
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

namespace {

// What the participant level left of each run, by its stem.
struct Traces {
    Name name;
    fs::path folder, record, statusFile;
};

// The run of a file name (its entities but desc), or nothing when it names none.
Traces* addTrace(std::map<std::string, Traces>& found, const std::string& fileName, const fs::path& folder)
{
    auto name = parseName(fileName);
    if (!name || name->get("sub").empty()) return nullptr;
    name->entities.erase(std::remove_if(name->entities.begin(), name->entities.end(), [](const auto& e) { return e.first == "desc"; }),
                         name->entities.end());
    name->suffix.clear(), name->extension.clear();
    Traces& t = found[name->stem()];
    t.name = *name;
    if (t.folder.empty()) t.folder = folder;
    return &t;
}

const std::string kProvenance = "_desc-tremora_provenance.json";

// A provenance record or a status file found in the outputs: its name and
// its folder relative to the output dataset.
struct Trace {
    std::string name, folder;
};

// The records and status files in `folder` (relative to the output dataset
// `root`, "" for the dataset itself) and the folders below it; links to
// folders are not followed. At the top the work folder and hidden folders are
// left out, and the participants' folders are listed in `participants` for
// their callers to walk.
void collectTraces(const std::string& root, const std::string& folder, std::vector<Trace>& traces,
                   std::vector<std::string>* participants = nullptr)
{
    const std::string path = folder.empty() ? root : root + "/" + folder;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> below;
    while (const dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        unsigned char type = e->d_type;
        struct stat st;
        if (type == DT_UNKNOWN && fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        if (type == DT_DIR) {
            if (folder.empty() && (name == "work" || name[0] == '.')) continue;
            (participants ? *participants : below).push_back(folder.empty() ? name : folder + "/" + name);
            continue;
        }
        if ((name.size() > kProvenance.size() && name.ends_with(kProvenance)) || isStatusName(name)) traces.push_back({name, folder});
    }
    closedir(dir);
    for (const auto& sub : below) collectTraces(root, sub, traces);
}

// Every run the participant level has a trace of, with its status and the
// numbers of the complete ones.
std::vector<Row> accountedRuns(const fs::path& output, const GroupOptions& options)
{
    std::map<std::string, Traces> found;
    std::error_code ec;
    // The participants' folders are walked on all cores, each into its own list.
    std::vector<Trace> top;
    std::vector<std::string> participants;
    collectTraces(output.string(), "", top, &participants);
    std::vector<std::vector<Trace>> traces(participants.size());
    parallel::forEach(participants.size(), 0, [&](std::size_t k, int) { collectTraces(output.string(), participants[k], traces[k]); });
    traces.push_back(std::move(top));
    for (const auto& list : traces)
        for (const auto& [name, folder] : list) {
            Traces* t = addTrace(found, name, folder);
            if (!t) continue;
            const fs::path p = output / folder / name;
            if (name.ends_with(kProvenance)) t->record = p;
            else t->statusFile = p;
        }
    // Work folders (and locks) of runs that have no record yet.
    for (const auto& entry : fs::directory_iterator(output / "work", ec)) {
        std::string name = entry.path().filename().string();
        if (name.ends_with(".lock")) name.resize(name.size() - 5);
        else if (!entry.is_directory(ec)) continue;
        const auto parsed = parseName(name);
        if (!parsed || parsed->get("sub").empty()) continue;
        fs::path folder = "sub-" + parsed->get("sub");
        if (!parsed->get("ses").empty()) folder /= "ses-" + parsed->get("ses");
        addTrace(found, name, folder / "func");
    }
    std::vector<std::pair<const std::string*, const Traces*>> runs;
    for (const auto& [stem, t] : found)
        if (options.filters.accepts(t.name)) runs.emplace_back(&stem, &t);
    // The runs are read on all cores: each part fills its own row.
    std::vector<Row> rows(runs.size());
    parallel::forEach(runs.size(), 0, [&](std::size_t part, int) {
        const std::string& stem = *runs[part].first;
        const Traces& t = *runs[part].second;
        Row& row = rows[part];
        const std::optional<RunStatus> status = t.statusFile.empty() ? std::nullopt : readStatus(t.statusFile);
        row.name = t.name;
        row.folder = t.folder;
        const auto problem = [&](const char* what, const std::string& note) { row.status = what, row.note = note; };
        const std::string failedLog = status && !status->log.empty() ? " (log: " + status->log + ")" : "";
        if (lockedElsewhere(output, stem)) {
            problem("in_progress", "being processed by another call now");
        } else if (!t.record.empty()) {
            try {
                row = readRun(output, t.record, options);
            } catch (const std::exception& e) {
                problem("incomplete", std::string("its outputs cannot be read: ") + e.what());
            }
        } else if (status && status->status == "failed") {
            problem("failed", status->reason + failedLog);
        } else if (status && status->status == "skipped") {
            problem("skipped", status->reason);
        } else if (status && status->status == "queued") {
            problem("interrupted", "found but never started: the call that was to process it ended first");
        } else if (status && status->status == "done") {
            problem("incomplete", "its provenance record is missing");
        } else {
            problem("interrupted", "started but not finished: the call processing it ended first (no provenance record)");
        }
        if (row.status != "done" && status)
            for (const auto& w : status->warnings) row.note += (row.note.empty() ? "warning: " : "; warning: ") + w;
    });
    std::vector<std::pair<std::string, std::size_t>> order;
    for (std::size_t k = 0; k < rows.size(); ++k) order.emplace_back((rows[k].folder / rows[k].name.stem()).string(), k);
    std::sort(order.begin(), order.end());
    std::vector<Row> sorted;
    sorted.reserve(rows.size());
    for (const auto& [key, k] : order) sorted.push_back(std::move(rows[k]));
    return sorted;
}

// The option columns whose values differ among the complete runs, each as
// "column: value (n runs), value (m runs)".
std::vector<std::string> mixedOptions(const std::vector<Row>& rows)
{
    std::vector<std::string> mixed;
    for (std::size_t k = 0; k < kOptionColumns.size(); ++k) {
        std::map<std::string, int> counts;
        for (const auto& r : rows)
            if (r.status == "done") counts[r.options[k]]++;
        if (counts.size() < 2) continue;
        std::string text = kOptionColumns[k].first + ":";
        for (const auto& [value, n] : counts) text += " " + value + " (" + std::to_string(n) + " run" + (n == 1 ? ")," : "s),");
        text.pop_back();
        mixed.push_back(text);
    }
    return mixed;
}

} // namespace

GroupResult runGroup(const fs::path& output, const GroupOptions& options)
{
    const std::vector<Row> rows = accountedRuns(output, options);
    if (rows.empty())
        throw std::runtime_error("no participant outputs in " + output.string() + " (run the participant level first)");
    std::map<std::string, std::size_t> counts;
    for (const auto& r : rows) counts[r.status]++;
    GroupResult result;
    result.rows = rows.size();
    result.complete = counts["failed"] + counts["interrupted"] + counts["in_progress"] + counts["incomplete"] == 0;
    const std::vector<std::string> mixed = mixedOptions(rows);
    const std::vector<std::string> keys = entityKeys(rows);
    std::string tsv;
    for (const auto& key : keys) tsv += columnName(key) + "\t";
    tsv += "status\tvolumes\tmean_fd\tmax_fd\tspikes\tspike_share\tmax_displacement_mm\texclude\tmean_std_dvars\tmax_std_dvars\t"
           "outliers_by\toutlier_share";
    for (const auto& [column, key] : kOptionColumns) tsv += "\t" + column;
    tsv += "\tnote\n";
    const auto optional = [](const std::optional<double>& v) { return v ? fixed(*v, 6) : std::string("n/a"); };
    for (const auto& r : rows) {
        for (const auto& key : keys) {
            const std::string value = r.name.get(key);
            tsv += (value.empty() ? "n/a" : key == "sub" || key == "ses" ? key + "-" + value : value) + "\t";
        }
        tsv += r.status + "\t";
        if (r.status == "done") {
            tsv += std::to_string(r.volumes) + "\t" + fixed(r.meanFD, 6) + "\t" + fixed(r.maxFD, 6) + "\t" + std::to_string(r.spikes) +
                   "\t" + fixed(r.spikeShare, 6) + "\t" + fixed(r.maxDisplacement, 6) + "\t" + (r.exclude ? "1" : "0") + "\t" +
                   optional(r.meanStdDVARS) + "\t" + optional(r.maxStdDVARS) + "\t";
            for (std::size_t k = 0; k < r.outliersBy.size(); ++k) tsv += (k ? "," : "") + r.outliersBy[k];
            tsv += "\t" + fixed(r.outlierShare, 6);
            for (const auto& value : r.options) tsv += "\t" + value;
        } else {
            for (std::size_t k = 0; k < 11 + kOptionColumns.size(); ++k) tsv += k ? "\tn/a" : "n/a";
        }
        // One line per run whatever a message holds.
        std::string note = r.note.empty() ? "n/a" : r.note;
        std::replace_if(note.begin(), note.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
        tsv += "\t" + note + "\n";
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
    sidecar["status"] = {{"Description", "What became of the run at the participant level"},
                         {"Levels",
                          {{"done", "its outputs are complete (its provenance record)"},
                           {"failed", "its processing failed; note gives the reason and the log kept"},
                           {"skipped", "it cannot be processed; note gives the reason (e.g. no motion estimates)"},
                           {"interrupted", "it was found or started by a call that ended before it was done"},
                           {"in_progress", "another call is processing it now"},
                           {"incomplete", "its provenance record is there but its outputs cannot be read, or the reverse"}}}};
    for (const auto& [column, key] : kOptionColumns)
        sidecar[column] = {{"Description", "The participant level's option " + key + " this run was made with, from its "
                                           "provenance record; runs made with different values are flagged in the report"}};
    sidecar["note"] = {{"Description", "Why the run is not done, and the warnings its processing gave; n/a when none"}};
    const auto save = [&](const std::string& name, const std::string& text) {
        saveTextAtomically((output / name).string(), [&](std::ostream& out) { out << text; },
                           "cannot write " + (output / name).string());
    };
    save("group_motion.tsv", tsv);
    save("group_motion.json", sidecar.dump(2) + "\n");
    // The confound model comparison, when the runs were made with one.
    std::vector<RunSummary> summaries;
    for (const auto& r : rows)
        if (r.status == "done") summaries.push_back({r.name.stem(), output / r.folder / (r.name.stem() + "_desc-models_summary.tsv")});
    const std::optional<GroupModels> models = groupModels(summaries);
    if (models) {
        save("group_models.tsv", models->tsv);
        save("group_models.json", models->json.dump(2) + "\n");
    }
    std::string html = page(rows, options, worstCarpets(output, rows, 3), mixed);
    if (models) html.insert(html.find("<h2>Every run</h2>"), models->section);
    save("group_report.html", html);

    // What is not done, on standard error too.
    std::string tally;
    for (const char* status : {"done", "failed", "interrupted", "in_progress", "incomplete", "skipped"})
        if (counts[status]) tally += std::string(tally.empty() ? "" : ", ") + std::to_string(counts[status]) + " " + status;
    std::replace(tally.begin(), tally.end(), '_', ' ');
    if (counts["done"] != rows.size())
        std::cerr << "tremora bids: group level: " << rows.size() << " runs: " << tally << " (group_motion.tsv lists each with a note)"
                  << (result.complete ? "" : options.allowIncomplete ? "; accepted (--allow-incomplete)"
                                                                     : "; --allow-incomplete accepts runs that are not done")
                  << "\n";
    for (const auto& m : mixed) std::cerr << "warning: the runs were made with different options: " << m << "\n";
    return result;
}

} // namespace tool::bids
