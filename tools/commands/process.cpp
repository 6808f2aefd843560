// tremora process: the whole job on one run folder (import where needed,
// then confound with its BIDS table, displacement and the report), with a
// summary row.
#include <algorithm>
#include <filesystem>
#include <iostream>

#include "atomicfile.h"
#include "bidsconfounds.h"
#include "commands.h"
#include "confoundmodels.h"
#include "confoundsummary.h"
#include "host.h"
#include "importedmotion.h"
#include "inputs.h"
#include "mapfile.h"
#include "modelcomparison.h"
#include "motionfiles.h"
#include "motionmeasures.h"
#include "mySDM.h"
#include "options.h"
#include "runjob.h"
#include "runsummary.h"
#include "stringmanipulation.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

namespace {

namespace fs = std::filesystem;

struct RunInputs {
    std::string fmr, sdm;            // present, or written by the import
    std::string bold, motion;        // set when an import is needed
    MotionFormat format = MotionFormat::FSL;
};

// What a run folder holds: NAME.fmr with NAME_3DMC.sdm beside it (a native
// or an earlier imported run), else one NIfTI with one motion file whose
// format its name shows.
RunInputs findInputs(const fs::path& dir)
{
    std::vector<std::string> runs, niftis, bolds, motions;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (!entry.is_regular_file(ec)) continue;
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        if (name.ends_with(".fmr") && fs::is_regular_file(dir / (name.substr(0, name.size() - 4) + "_3DMC.sdm"), ec))
            runs.push_back(name);
        if (name.ends_with(".nii") || name.ends_with(".nii.gz")) {
            niftis.push_back(name);
            if (name.ends_with("_bold.nii") || name.ends_with("_bold.nii.gz")) bolds.push_back(name);
        }
        if (motionFormatOfFileName(name)) motions.push_back(name);
    }
    if (ec) throw cli::RunError("cannot list the folder " + dir.string() + ": " + ec.message());
    for (auto* v : {&runs, &niftis, &bolds, &motions}) std::sort(v->begin(), v->end());
    RunInputs in;
    if (runs.size() > 1) throw cli::RunError(dir.string() + " holds several runs (" + joined(runs, ", ") + "); give each its own folder");
    if (runs.size() == 1) {
        in.fmr = (dir / runs[0]).string();
        in.sdm = (dir / (runs[0].substr(0, runs[0].size() - 4) + "_3DMC.sdm")).string();
        return in;
    }
    // fMRIPrep folders hold masks and references beside the run: prefer *_bold.
    const std::vector<std::string>& candidates = bolds.empty() ? niftis : bolds;
    if (candidates.empty())
        throw cli::RunError(dir.string() + " holds neither NAME.fmr with NAME_3DMC.sdm nor a NIfTI run (*.nii, *.nii.gz)");
    if (candidates.size() > 1) throw cli::RunError(dir.string() + " holds several NIfTI runs (" + joined(candidates, ", ") + ")");
    if (motions.empty())
        throw cli::RunError(dir.string() + " holds " + candidates[0] +
                            " but no motion file (*.par, rp_*.txt, *.1D or *_desc-confounds_timeseries.tsv)");
    if (motions.size() > 1) throw cli::RunError(dir.string() + " holds several motion files (" + joined(motions, ", ") + ")");
    in.bold = (dir / candidates[0]).string();
    in.motion = (dir / motions[0]).string();
    in.format = *motionFormatOfFileName(motions[0]);
    const std::string stem = niftiStem(candidates[0]);
    in.fmr = (dir / (stem + ".fmr")).string();
    in.sdm = (dir / (stem + "_3DMC.sdm")).string();
    return in;
}

// fMRIPrep's brain mask of the run in the folder (*_desc-brain_mask.nii[.gz]
// without a space entity, that is on the run's own grid), when there is
// exactly one; DVARS is taken over it.
std::string findBrainMask(const fs::path& dir)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find("_space-") == std::string::npos &&
            (name.ends_with("_desc-brain_mask.nii.gz") || name.ends_with("_desc-brain_mask.nii")))
            found.push_back(entry.path().string());
    }
    return found.size() == 1 ? found[0] : std::string();
}

// The confound models on the run, their outputs beside it named after the run.
void compareFolderModels(const std::string& folder, const std::string& fmr, const std::string& table, const cli::Args& args)
{
    const std::string stem = fs::path(fmr).stem().string();
    models::ComparisonRequest request;
    request.fmr = fmr;
    request.confoundsTable = table;
    request.events = models::folderEvents(folder, stem);
    request.mask = findBrainMask(folder);
    request.families = args.list("--compare-models");
    request.threads = threadsOf(args);
    request.outputPath = [&](const std::string& desc, const std::string& suffix, const std::string& extension) {
        return (fs::path(folder) / (stem + "_desc-" + desc + "_" + suffix + extension)).string();
    };
    std::cout << "\n== confound models " << joined(request.families, ",") << " on " << fmr
              << (request.events.empty() ? " (no events: the constant alone)" : " with " + request.events) << std::endl;
    const models::ComparisonResult result = models::compareModels(request);
    for (const std::string& message : result.messages) std::cout << "warning: confound models: " << message << "\n";
    std::cout << "wrote " << result.files.size() << " files of the confound models, " << stem << "_desc-models_summary.tsv among them"
              << std::endl;
}

RunSummary processFolder(const std::string& folder, const cli::Args& args)
{
    RunSummary s;
    s.run = folder;
    const std::string plugin = args.text("--plugin");
    const std::string threshold = args.text("--spike-threshold");
    const std::string threads = args.has("--threads") ? args.text("--threads") : "";
    try {
        std::error_code ec;
        if (!fs::is_directory(folder, ec)) throw cli::RunError(folder + " is not a folder");
        const RunInputs in = findInputs(folder);
        RunJob job;
        if (!in.bold.empty()) {
            ImportRequest request;
            request.bold = in.bold;
            request.motion = in.motion;
            request.format = in.format;
            request.outDir = folder;
            job.import = request;
        }
        job.plugin = plugin;
        job.threads = threads;
        // The BIDS table is not written over a table of that name older than
        // the run document: that one is an input (an fMRIPrep run named so).
        const std::string bidsTable = confoundsTablePath(in.sdm);
        bool keepTable = false;
        job.steps = [&] {
            std::error_code ec;
            keepTable = fs::exists(bidsTable, ec) && fs::last_write_time(bidsTable, ec) < fs::last_write_time(in.fmr, ec);
            if (keepTable) std::cout << "note: " << bidsTable << " is older than the run: kept, no BIDS table written" << std::endl;
            const std::string report = fs::path(in.fmr).replace_extension("").string() + "_report.html";
            RunSteps steps;
            steps.report = {"--fmr", in.fmr, "--sdm", in.sdm, "--out", report, "--spike-threshold", threshold,
                            "--outliers-by", args.text("--outliers-by"), "--fd-threshold", args.text("--fd-threshold"),
                            "--dvars-threshold", args.text("--dvars-threshold")};
            steps.confound = {"--sdm", in.sdm, "--fmr", in.fmr, "--spike-threshold", threshold, keepTable ? "" : "--tsv",
                              "--outliers-by", args.text("--outliers-by"), "--fd-threshold", args.text("--fd-threshold"),
                              "--dvars-threshold", args.text("--dvars-threshold")};
            // (DVARS is taken for the table and the dvars rule only.)
            const auto rules = args.list("--outliers-by");
            const bool dvars = !keepTable || std::find(rules.begin(), rules.end(), "dvars") != rules.end();
            if (const std::string mask = findBrainMask(folder); !mask.empty()) {
                // The report's carpet and DVARS trace take it too; the steps take
                // the bright voxels in place of a mask on another grid, and say so.
                if (dvars) steps.confound.insert(steps.confound.end(), {"--mask", mask, "--mask-off-grid", "bright"});
                steps.report.insert(steps.report.end(), {"--mask", mask, "--mask-off-grid", "bright"});
            }
            steps.displacement = {"--fmr", in.fmr, "--sdm", in.sdm, "--maps", "all"};
            return steps;
        };
        std::string maxAbsolute;
        for (const auto& map : runJob(job).maps)
            if (map.name.ends_with("_MaxAbsolute.map")) maxAbsolute = map.file;
        if (args.has("--compare-models")) compareFolderModels(folder, in.fmr, bidsTable, args);

        // The summary: framewise displacement of the motion as read, spikes as
        // the confound task finds them (relative RMS displacement of the
        // detrended parameters above the threshold), the largest voxel of the
        // maximum absolute displacement map.
        SDM motion(in.sdm);
        const MotionParameters rows = motionParametersFromSDM(motion);
        const auto own = packageMotionOf(in.sdm, rows.size()); // an imported run's FD is the package's own
        const std::vector<double> fd = framewiseDisplacement(own ? own->rows : rows);
        double max = 0.0;
        for (std::size_t t = 1; t < fd.size(); ++t) max = std::max(max, fd[t]);
        const auto spikes = spikeVolumes(spikeDetectionDisplacement(motion), std::stof(threshold));
        s.volumes = std::to_string(rows.size());
        s.meanFD = fixed(meanFramewiseDisplacement(fd), 4);
        s.maxFD = fixed(max, 4);
        s.spikes = std::to_string(spikes.size());
        if (maxAbsolute.empty()) throw cli::RunError("displacement wrote no maximum absolute displacement map");
        s.maxDisplacement = fixed(host::mapFileMaximum(maxAbsolute), 4);
        // DVARS and the outlier share from the BIDS table just written.
        if (!keepTable) {
            const ConfoundsSummary table = summarizeConfounds(bidsTable, confoundsSidecarPath(in.sdm));
            if (table.meanStdDVARS) s.meanStdDVARS = fixed(*table.meanStdDVARS, 4), s.maxStdDVARS = fixed(*table.maxStdDVARS, 4);
            s.outlierShare = fixed(table.outlierShare, 4);
        }
        s.status = "ok";
    } catch (const std::exception& e) {
        s.status = "failed";
        s.error = e.what();
        std::cerr << "tremora process: " << e.what() << std::endl;
    }
    return s;
}

int process(const cli::Args& args)
{
    const std::string folder = args.positionals().at(0);
    checkRunOptions(args);
    if (args.has("--result")) requireOutputFile("--result", args.text("--result"), false);
    if (args.has("--compare-models")) {
        try {
            models::checkSequence(args.list("--compare-models"));
        } catch (const std::invalid_argument& e) {
            throw cli::UsageError(std::string("--compare-models: ") + e.what());
        }
    }
    const RunSummary s = processFolder(folder, args);
    const std::string table = summaryHeader() + summaryLine(s.cells());
    if (args.has("--result")) {
        saveTextAtomically(args.text("--result"), [&](std::ostream& os) { os << table; }, "--result: cannot write " + args.text("--result"));
    } else {
        std::cout << table;
    }
    return s.status == "ok" ? 0 : 1;
}

} // namespace

cli::Command processCommand()
{
    return {
        .name = "process",
        .summary = "import where needed, then confound, displacement and report on one run folder, with a summary row",
        .description = std::string(kFolderRules) + "\n\n" + kSummaryColumns +
                       "\n\nThe summary (a header and one row, tab-separated) goes to standard output, or to --result.\n"
                       "tremora batch runs this command in one child process per run folder.",
        .positionals = {{"RUNDIR", "the run folder", true, false, cli::Kind::Path}},
        .options = {spikeThresholdOption(),
                    outliersByOption(),
                    fdThresholdOption(),
                    dvarsThresholdOption(),
                    cli::list("--compare-models", "FAMILIES",
                              "also compare confound models on the run, adding these families one after the other to "
                              "the task design of its events (all: the default sequence, in this order)",
                              models::defaultSequence()),
                    cli::path("--result", "FILE", "write the summary table to FILE instead of standard output"),
                    pluginOption(),
                    threadsOption("threads of the displacement computation and map writing of the run")},
        .examples = {"tremora process sub-01/func"},
        .run = process,
    };
}

} // namespace tool
