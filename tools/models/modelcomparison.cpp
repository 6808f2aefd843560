#include "modelcomparison.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "atomicfile.h"
#include "bidsconfounds.h"
#include "confoundmodels.h"
#include "host.h"
#include "mapfile.h"
#include "modelstats.h"
#include "myFMR.h"
#include "myGLMfunctions.h"
#include "mySDM.h"
#include "run.h"
#include "runmask.h"
#include "stringmanipulation.h"
#include "taskdesign.h"

namespace tool::models {

namespace {

using Json = nlohmann::ordered_json;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kFdrLevel = 0.05;

// An addition as a confound set: each column centred and scaled to unit
// variance, which spans the same model (the constant is in every model) and
// keeps squared rotations (rad^2) from looking like columns of zeros to the
// decomposition.
SDM confoundSet(const Addition& addition, int volumes)
{
    SDM sdm;
    sdm.FileName = addition.family;
    sdm.NrOfDataPoints = volumes;
    for (std::size_t c = 0; c < addition.columns.size(); ++c) {
        const std::vector<double>& x = addition.values[c];
        double mean = 0, ss = 0;
        for (double v : x) mean += v;
        mean /= volumes;
        for (double v : x) ss += (v - mean) * (v - mean);
        const double scale = ss > 0 ? std::sqrt(ss / (volumes - 1)) : 1.0;
        std::vector<float> z(x.size());
        for (std::size_t t = 0; t < x.size(); ++t) z[t] = static_cast<float>((x[t] - mean) / scale);
        sdm.AddPredictor(std::move(z), addition.columns[c], 200, 80, 80);
    }
    sdm.FirstConfoundPredictor = 1;
    return sdm;
}

void saveJson(const std::string& path, const Json& json)
{
    saveTextAtomically(path, [&](std::ostream& out) { out << json.dump(2) << '\n'; });
}

double meanOf(const std::optional<std::vector<double>>& column)
{
    if (!column) return kNaN;
    double sum = 0;
    int count = 0;
    for (double v : *column)
        if (std::isfinite(v)) sum += v, ++count;
    return count ? sum / count : kNaN;
}

std::string cell(double v)
{
    if (!std::isfinite(v)) return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

} // namespace

std::string folderEvents(const std::string& folder, const std::string& runName)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> all;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with("_events.tsv")) continue;
        if (runName.starts_with(name.substr(0, name.size() - 11))) return entry.path().string();
        all.push_back(entry.path());
    }
    return all.size() == 1 ? all[0].string() : std::string();
}

const std::vector<std::string>& summaryColumns()
{
    static const std::vector<std::string> names = {
        "model", "columns", "columns_added", "volumes", "median_tsnr", "median_tsnr_gain_percent",
        "median_r2adj_gain", "share_f_significant", "share_bic_wins", "mean_fd"};
    return names;
}

ComparisonResult compareModels(const ComparisonRequest& request)
{
    ComparisonResult result;
    const auto out = [&](const std::string& desc, const std::string& suffix, const std::string& extension) {
        result.files.push_back(request.outputPath(desc, suffix, extension));
        return result.files.back();
    };

    host::reset();
    host::State& state = host::state();
    host::openRun(state, request.fmr);
    float** data = host::runVolumes(state.run);
    if (data == nullptr) throw std::runtime_error("no time courses for the confound models: " + state.run.loadError);
    const FMR_Header& header = state.run.header;
    const int n = header.NrOfVolumes;
    const double tr = FMR(request.fmr, false).TR.value() / 1000.0;
    if (!(tr > 0)) throw std::runtime_error("the run " + request.fmr + " has no repetition time for its task design");

    // The task design.
    const std::vector<Event> events = request.events.empty() ? std::vector<Event>{} : readEvents(request.events);
    const TaskDesign design = taskDesign(events, tr, n);
    SDM task = designSdm(design);
    task.FileName = out("taskdesign", "design", ".sdm");
    task.Save();
    writeDesignTable(design, out("taskdesign", "design", ".tsv"));

    // The additions.
    const qc::FMRIPrepTable table = qc::readFMRIPrepTable(request.confoundsTable);
    if (table.rows() != n)
        throw std::runtime_error("the confounds table " + request.confoundsTable + " has " + std::to_string(table.rows()) +
                                 " rows but the run has " + std::to_string(n) + " volumes");
    const Additions additions = additionsFrom(table, request.families);
    result.messages = additions.skipped;
    if (additions.steps.empty()) throw std::runtime_error("no confound model addition is left for this run");
    std::vector<SDM> sets;
    for (const Addition& a : additions.steps) sets.push_back(confoundSet(a, n));
    const double meanFD = meanOf(table.values("framewise_displacement"));

    const RunMask mask = dvarsMask(request.fmr, request.mask, true);
    const std::size_t voxelCount = mask.voxels.size();

    const RunTimeCourses run{data, n, {header.DimX, header.DimY, header.DimZ}, request.fmr};
    ConfoundAnalysis analysis(task, sets, run, request.threads);

    const host::SourceSpace* space = state.run.space ? &*state.run.space : nullptr;
    const auto writeMap = [&](const std::string& desc, const std::string& suffix, std::vector<float> voxels, int mapType,
                              float t1, float t2, int df1, int df2, Json sidecar) {
        for (std::size_t v = 0; v < voxelCount; ++v)
            if (!mask.voxels[v]) voxels[v] = 0;
        MAP_Header map{};
        map.DimX = header.DimX, map.DimY = header.DimY, map.DimZ = header.DimZ;
        map.MapType = mapType, map.Threshold1 = t1, map.Threshold2 = t2, map.DF1 = df1, map.DF2 = df2;
        const std::string description = sidecar.value("Description", "");
        host::writeMapFile(out(desc, suffix, ".nii.gz"), map, voxels.data(), header, description.substr(0, 79), space);
        sidecar["Mask"] = mask.description;
        saveJson(out(desc, suffix, ".json"), sidecar);
    };
    const auto volumeOf = [](const Volume<float>& v) { return std::vector<float>(v.data(), v.data() + v.size()); };

    // The voxels analysed: in the mask and bright enough for the analysis.
    std::vector<std::size_t> voxels;
    std::vector<std::vector<float>> sse; // per model, over the run's voxels
    std::vector<ModelRow> rows;
    std::vector<std::string> modelColumns;
    for (std::size_t step = 0; step < sets.size(); ++step) {
        ConfoundStep s;
        try {
            s = analysis.next();
        } catch (const std::runtime_error& e) {
            // A set that adds nothing independent ends the sequence; what came before stands.
            result.messages.push_back(sets[step].FileName + ": " + e.what() + " The sequence ends before it.");
            break;
        }
        const Addition& addition = additions.steps[step];
        const auto& maps = s.maps;
        const std::size_t first = maps.size() - 5;
        if (step == 0) {
            const Volume<float>& tsnr = maps[0].volume;
            for (std::size_t v = 0; v < voxelCount; ++v)
                if (mask.voxels[v] && std::isfinite(tsnr[int(v)]) && tsnr[int(v)] > 0) voxels.push_back(v);
            if (voxels.empty()) throw std::runtime_error("no voxel of the mask is bright enough for the confound models");
            writeMap("tsnr", "statmap", volumeOf(tsnr), 0, 5, 100, 0, 0,
                     {{"Description", "temporal SNR of the data (mean over standard deviation)"}, {"Units", "1"}});
            writeMap("taskR2adj", "statmap", volumeOf(maps[1].volume), 0, 0.1f, 0.5f, 0, 0,
                     {{"Description", "adjusted R2 of the task design alone"}, {"Units", "1"}, {"Design", design.names}});
            sse.push_back(volumeOf(s.sseBefore));
            ModelRow task;
            task.model = "task";
            task.columns = s.columnsBefore;
            task.volumes = n;
            std::vector<double> values;
            for (std::size_t v : voxels) values.push_back(tsnr[int(v)]);
            task.medianTsnr = median(values);
            task.medianTsnrGainPercent = task.medianR2adjGain = task.shareFSignificant = kNaN;
            rows.push_back(task);
        }
        modelColumns.insert(modelColumns.end(), addition.columns.begin(), addition.columns.end());
        const std::string& f = addition.family;
        const Json model = {{"Family", f}, {"ColumnsAdded", addition.columns}, {"Design", design.names}};
        const auto described = [&](const std::string& what, const char* units) {
            Json j = {{"Description", what}, {"Units", units}};
            for (const auto& [k, v] : model.items()) j[k] = v;
            return j;
        };
        writeMap(f + "Tsnr", "statmap", volumeOf(maps[first].volume), 0, 5, 100, 0, 0,
                 described("temporal SNR of the residuals of the confounds up to " + f, "1"));
        writeMap(f + "TsnrGain", "statmap", volumeOf(maps[first + 1].volume), 0, 1, 20, 0, 0,
                 described("change of temporal SNR by the confounds up to " + f + " (percent of the data's)", "%"));
        writeMap(f + "R2adj", "statmap", volumeOf(maps[first + 2].volume), 0, 0.1f, 0.5f, 0, 0,
                 described("adjusted R2 of the task design with the confounds up to " + f, "1"));
        writeMap(f + "R2adjGain", "statmap", volumeOf(maps[first + 3].volume), 0, 0.05f, 0.5f, 0, 0,
                 described("adjusted R2 gained by adding " + f, "1"));
        const ConfoundMap& fmap = maps[first + 4];
        Json fside = described("F of adding " + f + " to the model before it", "1");
        fside["DegreesOfFreedom"] = {fmap.df1, fmap.df2};
        writeMap(f + "Fstat", "statmap", volumeOf(fmap.volume), 4, 2.0f, fmap.threshold2, fmap.df1, fmap.df2, fside);
        sse.push_back(volumeOf(s.sseAfter));

        ModelRow row;
        row.model = f;
        row.columns = s.columnsAfter;
        row.columnsAdded = s.columnsAfter - s.columnsBefore;
        row.volumes = n;
        std::vector<double> tsnr, gain, r2, p;
        for (std::size_t v : voxels) {
            tsnr.push_back(maps[first].volume[int(v)]);
            gain.push_back(maps[first + 1].volume[int(v)]);
            r2.push_back(maps[first + 3].volume[int(v)]);
            p.push_back(fUpperTail(fmap.volume[int(v)], fmap.df1, fmap.df2));
        }
        row.medianTsnr = median(tsnr);
        row.medianTsnrGainPercent = median(gain);
        row.medianR2adjGain = median(r2);
        row.shareFSignificant = double(benjaminiHochbergPassing(p, kFdrLevel)) / double(voxels.size());
        rows.push_back(row);
    }

    if (rows.empty()) throw std::runtime_error("no confound model could be fitted: " + result.messages.back());

    // The BIC of each model and the model of the lowest, voxel by voxel.
    std::vector<float> best(voxelCount, 0.0f);
    std::vector<std::size_t> wins(rows.size(), 0);
    std::vector<std::vector<float>> bics(rows.size(), std::vector<float>(voxelCount, 0.0f));
    for (std::size_t v : voxels) {
        std::size_t lowest = 0;
        for (std::size_t m = 0; m < rows.size(); ++m) {
            const double b = bic(sse[m][v], n, rows[m].columns);
            bics[m][v] = static_cast<float>(b);
            if (b < bics[lowest][v]) lowest = m;
        }
        best[v] = static_cast<float>(lowest + 1);
        ++wins[lowest];
    }
    Json levels = Json::object();
    levels["0"] = "outside the mask";
    for (std::size_t m = 0; m < rows.size(); ++m) {
        rows[m].shareBicWins = double(wins[m]) / double(voxels.size());
        rows[m].meanFD = meanFD;
        levels[std::to_string(m + 1)] = rows[m].model;
        writeMap("bic" + rows[m].model, "statmap", bics[m], 0, 0, 0, 0, 0,
                 {{"Description", "BIC of the model up to " + rows[m].model + ": n ln(SSE/n) + k ln n"},
                  {"Units", "1"}, {"Columns", rows[m].columns}, {"Volumes", n}});
    }
    writeMap("bestmodel", "dseg", best, 0, 1, float(rows.size()), 0, 0,
             {{"Description", "the model of the lowest BIC (1: the task design alone, then each addition in turn)"},
              {"Levels", levels}});

    saveTextAtomically(out("models", "summary", ".tsv"), [&](std::ostream& os) {
        os << joined(summaryColumns(), "\t") << '\n';
        for (const ModelRow& r : rows)
            os << r.model << '\t' << r.columns << '\t' << r.columnsAdded << '\t' << r.volumes << '\t' << cell(r.medianTsnr)
               << '\t' << cell(r.medianTsnrGainPercent) << '\t' << cell(r.medianR2adjGain) << '\t'
               << cell(r.shareFSignificant) << '\t' << cell(r.shareBicWins) << '\t' << cell(r.meanFD) << '\n';
    });
    result.rows = std::move(rows);
    return result;
}

} // namespace tool::models
