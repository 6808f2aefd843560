// tremora process and tremora batch: the whole job on one run folder (import
// where needed, then confound with its BIDS table, displacement and the
// report) and on many, one child process per run folder, with a summary table.
#include <fcntl.h>
#include <nifti1_io.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "atomicfile.h"
#include "bidsconfounds.h"
#include "commands.h"
#include "confoundsummary.h"
#include "gridtransformations.h"
#include "host.h"
#include "importedmotion.h"
#include "inputs.h"
#include "motionfiles.h"
#include "motionmeasures.h"
#include "mySDM.h"
#include "mySDMfunctions.h"
#include "niftiimport.h"
#include "options.h"
#include "parallel.h"
#include "pluginhost.h"
#include "mapfile.h"
#include "runmask.h"

namespace tool {

namespace {

namespace fs = std::filesystem;

const char* const kLogName = "tremora_batch.log";
const std::vector<std::string> kColumns = {"run",   "status",         "volumes",       "mean_fd",      "max_fd",
                                           "spikes", "max_displacement_mm", "error",        "mean_std_dvars",
                                           "max_std_dvars", "outlier_share"};

// ---------------------------------------------------------------- one run folder

struct RunInputs {
    std::string fmr, sdm;            // present, or written by the import
    std::string bold, motion;        // set when an import is needed
    MotionFormat format = MotionFormat::FSL;
};

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string listed(const std::vector<std::string>& names)
{
    std::string text;
    for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
    return text;
}

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
        if (endsWith(name, ".fmr") && fs::is_regular_file(dir / (name.substr(0, name.size() - 4) + "_3DMC.sdm"), ec))
            runs.push_back(name);
        if (endsWith(name, ".nii") || endsWith(name, ".nii.gz")) {
            niftis.push_back(name);
            if (endsWith(name, "_bold.nii") || endsWith(name, "_bold.nii.gz")) bolds.push_back(name);
        }
        if (motionFormatOfFileName(name)) motions.push_back(name);
    }
    if (ec) throw cli::RunError("cannot list the folder " + dir.string() + ": " + ec.message());
    for (auto* v : {&runs, &niftis, &bolds, &motions}) std::sort(v->begin(), v->end());
    RunInputs in;
    if (runs.size() > 1) throw cli::RunError(dir.string() + " holds several runs (" + listed(runs) + "); give each its own folder");
    if (runs.size() == 1) {
        in.fmr = (dir / runs[0]).string();
        in.sdm = (dir / (runs[0].substr(0, runs[0].size() - 4) + "_3DMC.sdm")).string();
        return in;
    }
    // fMRIPrep folders hold masks and references beside the run: prefer *_bold.
    const std::vector<std::string>& candidates = bolds.empty() ? niftis : bolds;
    if (candidates.empty())
        throw cli::RunError(dir.string() + " holds neither NAME.fmr with NAME_3DMC.sdm nor a NIfTI run (*.nii, *.nii.gz)");
    if (candidates.size() > 1) throw cli::RunError(dir.string() + " holds several NIfTI runs (" + listed(candidates) + ")");
    if (motions.empty())
        throw cli::RunError(dir.string() + " holds " + candidates[0] +
                            " but no motion file (*.par, rp_*.txt, *.1D or *_desc-confounds_timeseries.tsv)");
    if (motions.size() > 1) throw cli::RunError(dir.string() + " holds several motion files (" + listed(motions) + ")");
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
            (endsWith(name, "_desc-brain_mask.nii.gz") || endsWith(name, "_desc-brain_mask.nii")))
            found.push_back(entry.path().string());
    }
    return found.size() == 1 ? found[0] : std::string();
}

// One subcommand in this process, as the program's main would run it, on a
// fresh host. Returns "" on success, else what went wrong.
std::string runStep(const std::string& name, const std::vector<std::string>& words)
{
    std::cout << "\n== tremora " << name;
    for (const auto& w : words) std::cout << " " << w;
    std::cout << std::endl;
    host::reset();
    const cli::Command* command = cli::find(name);
    if (command == nullptr) return "no command " + name;
    std::string error;
    try {
        const int status = command->run(cli::parse(*command, words));
        if (status != 0) {
            const std::vector<std::string>& errors = host::state().errors;
            error = errors.empty() ? name + " failed" : name + ": " + errors.back();
        }
    } catch (const std::exception& e) {
        error = name + ": " + e.what();
    }
    std::cout.flush();
    return error;
}


std::string fixed(double value, int decimals)
{
    std::ostringstream out;
    out << std::fixed << std::setprecision(decimals) << value;
    return out.str();
}

// Tabs and line breaks would break the table's columns.
std::string cell(std::string text)
{
    for (char& c : text)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return text.empty() ? "n/a" : text;
}

std::string tableLine(const std::vector<std::string>& cells)
{
    std::string line;
    for (std::size_t k = 0; k < cells.size(); ++k) {
        if (k) line += '\t';
        line += cell(cells[k]);
    }
    line += '\n';
    return line;
}

std::string header() { return tableLine(kColumns); }

struct Summary {
    std::string run, status = "failed", volumes, meanFD, maxFD, spikes, maxDisplacement, meanStdDVARS, maxStdDVARS,
        outlierShare, error;
    std::vector<std::string> cells() const
    {
        return {run, status, volumes, meanFD, maxFD, spikes, maxDisplacement, error, meanStdDVARS, maxStdDVARS, outlierShare};
    }
};

// The plug-in, when one is given, is checked before any run starts.
void checkRunOptions(const cli::Args& args)
{
    if (args.has("--plugin")) checkPlugin("--plugin", args.text("--plugin"));
}

Summary processFolder(const std::string& folder, const cli::Args& args)
{
    Summary s;
    s.run = folder;
    const std::string plugin = args.text("--plugin");
    const std::string threshold = args.text("--spike-threshold");
    const auto pluginWords = [&] {
        return plugin.empty() ? std::vector<std::string>{} : std::vector<std::string>{"--plugin", plugin};
    };
    const std::string threads = args.has("--threads") ? args.text("--threads") : "";
    try {
        std::error_code ec;
        if (!fs::is_directory(folder, ec)) throw cli::RunError(folder + " is not a folder");
        const RunInputs in = findInputs(folder);
        if (!in.bold.empty()) {
            std::cout << "== import " << in.bold << " with " << in.motion << " (" << motionFormatName(in.format) << ")" << std::endl;
            ImportRequest request;
            request.bold = in.bold;
            request.motion = in.motion;
            request.format = in.format;
            request.outDir = folder;
            const ImportResult r = importRun(request);
            for (const auto& note : r.notes) std::cout << "note: " << note << "\n";
            for (const auto& warning : r.warnings) std::cout << "warning: " << warning << "\n";
            std::cout << "wrote " << r.fmr << ", " << r.stc << ", " << r.sdm << " and " << r.sidecar << "\n"
                      << "motion convention: " << r.convention << "\nreference: " << r.reference
                      << "\ncentre of rotation: " << r.centre << std::endl;
        }

        // The steps, one line each.
        struct Step {
            std::string command;
            std::vector<std::string> words;
        };
        // The BIDS table is not written over a table of that name older than
        // the run document: that one is an input (an fMRIPrep run named so).
        const std::string bidsTable = confoundsTablePath(in.sdm);
        std::error_code ec2;
        const bool keepTable = fs::exists(bidsTable, ec2) && fs::last_write_time(bidsTable, ec2) < fs::last_write_time(in.fmr, ec2);
        if (keepTable) std::cout << "note: " << bidsTable << " is older than the run: kept, no BIDS table written" << std::endl;
        const std::string report = fs::path(in.fmr).replace_extension("").string() + "_report.html";
        std::vector<std::string> reportWords = {"--fmr", in.fmr, "--sdm", in.sdm, "--out", report, "--spike-threshold", threshold,
                                                "--outliers-by", args.text("--outliers-by"), "--fd-threshold",
                                                args.text("--fd-threshold"), "--dvars-threshold", args.text("--dvars-threshold")};
        std::vector<std::string> confoundWords = {"--sdm", in.sdm, "--fmr", in.fmr, "--spike-threshold", threshold,
                                                  keepTable ? "" : "--tsv", "--outliers-by", args.text("--outliers-by"),
                                                  "--fd-threshold", args.text("--fd-threshold"), "--dvars-threshold",
                                                  args.text("--dvars-threshold")};
        // (DVARS is taken for the table and the dvars rule only.)
        const auto rules = args.list("--outliers-by");
        const bool dvars = !keepTable || std::find(rules.begin(), rules.end(), "dvars") != rules.end();
        if (const std::string mask = findBrainMask(folder); !mask.empty()) {
            // The report's carpet and DVARS trace take it too; the steps take
            // the bright voxels in place of a mask on another grid, and say so.
            if (dvars) confoundWords.insert(confoundWords.end(), {"--mask", mask, "--mask-off-grid", "bright"});
            reportWords.insert(reportWords.end(), {"--mask", mask, "--mask-off-grid", "bright"});
        }
        const std::vector<Step> steps = {
            {"confound", confoundWords},
            {"displacement", {"--fmr", in.fmr, "--sdm", in.sdm, "--maps", "all"}},
            {"report", reportWords},
        };
        std::string maxAbsolute;
        for (const Step& step : steps) {
            std::vector<std::string> words;
            for (const auto& w : step.words)
                if (!w.empty()) words.push_back(w);
            const cli::Command* command = cli::find(step.command);
            const bool takesPlugin = command && std::any_of(command->options.begin(), command->options.end(),
                                                            [](const cli::Option& o) { return o.name == "--plugin"; });
            if (takesPlugin)
                for (const auto& w : pluginWords()) words.push_back(w);
            const bool takesThreads = command && std::any_of(command->options.begin(), command->options.end(),
                                                             [](const cli::Option& o) { return o.name == "--threads"; });
            if (takesThreads && !threads.empty()) words.insert(words.end(), {"--threads", threads});
            if (const std::string error = runStep(step.command, words); !error.empty()) throw cli::RunError(error);
            for (const auto& map : host::state().savedMaps)
                if (endsWith(map.name, "_MaxAbsolute.map") && !map.file.empty()) maxAbsolute = map.file;
        }

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
        SDM detrended(motion);
        detrendAllPredictors(detrended);
        const std::vector<float> relative = getDistanceRMSfrom3DMCSDM(detrended);
        const auto spikes = indicesGreaterThan<float>(relative, std::stof(threshold));
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
    const Summary s = processFolder(folder, args);
    const std::string table = header() + tableLine(s.cells());
    if (args.has("--result")) {
        saveTextAtomically(args.text("--result"), [&](std::ostream& os) { os << table; }, "--result: cannot write " + args.text("--result"));
    } else {
        std::cout << table;
    }
    return s.status == "ok" ? 0 : 1;
}

// ---------------------------------------------------------------- many run folders

struct Child {
    std::size_t index;
    std::string result;
};

std::vector<std::string> splitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
    return fields;
}

// The row a child left, or a failure that says why there is none.
Summary collect(const std::string& run, const std::string& resultFile, int waitStatus)
{
    Summary s;
    s.run = run;
    std::ifstream in(resultFile);
    std::string head, row;
    if (in && std::getline(in, head) && std::getline(in, row)) {
        const auto f = splitTabs(row);
        if (f.size() == kColumns.size()) {
            const auto value = [](const std::string& v) { return v == "n/a" ? std::string() : v; };
            s.status = f[1], s.volumes = value(f[2]), s.meanFD = value(f[3]), s.maxFD = value(f[4]);
            s.spikes = value(f[5]), s.maxDisplacement = value(f[6]), s.error = value(f[7]);
            s.meanStdDVARS = value(f[8]), s.maxStdDVARS = value(f[9]), s.outlierShare = value(f[10]);
            return s;
        }
    }
    const std::string log = (fs::path(run) / kLogName).string();
    if (WIFSIGNALED(waitStatus))
        s.error = "the run's process was ended by signal " + std::to_string(WTERMSIG(waitStatus)) + " (see " + log + ")";
    else
        s.error = "the run's process exited with status " + std::to_string(WEXITSTATUS(waitStatus)) +
                  " and left no summary (see " + log + ")";
    return s;
}

class Progress {
public:
    Progress(std::size_t total) : total_(total), tty_(isatty(STDERR_FILENO) != 0) {}
    void finished(const Summary& s)
    {
        ++done_;
        if (s.status != "ok") ++failed_;
        clear();
        std::cerr << "batch: " << s.run << ": " << (s.status == "ok" ? "done" : "failed: " + s.error) << "\n";
    }
    void show(const std::vector<std::string>& running)
    {
        std::ostringstream line;
        line << "batch: " << done_ << "/" << total_ << " finished, " << failed_ << " failed, " << running.size() << " running";
        if (!running.empty()) line << ": " << listed(running);
        clear();
        if (tty_ && !running.empty()) {
            std::string text = line.str();
            if (text.size() > 150) text = text.substr(0, 147) + "...";
            std::cerr << text << std::flush;
            shown_ = true;
        } else {
            std::cerr << line.str() << "\n";
        }
    }
private:
    void clear()
    {
        if (tty_ && shown_) std::cerr << "\r\033[K";
        shown_ = false;
    }
    std::size_t total_, done_ = 0, failed_ = 0;
    bool tty_, shown_ = false;
};

int batch(const cli::Args& args)
{
    const std::vector<std::string> folders = args.positionals();
    const int cores = parallel::availableCores();
    const long jobs = args.has("--jobs") ? args.integer("--jobs") : std::clamp(long(cores), 1L, 1024L);
    // The cores are divided among the runs going at once rather than each
    // run taking them all.
    const std::string threads =
        std::to_string(args.has("--threads") ? args.integer("--threads") : threadsPerRun(cores, jobs, folders.size()));
    std::set<std::string> seen;
    for (const auto& f : folders) {
        std::error_code ec;
        const std::string key = fs::weakly_canonical(f, ec).string();
        if (!seen.insert(ec ? f : key).second) throw cli::UsageError("RUNDIR must name each folder once, got " + f + " twice");
    }
    // Found out now, not after hours of runs: a run folder that is no folder
    // at all, a summary that cannot be written, a plug-in that does not load.
    // (What a folder holds is each run's to find; its failure is in the summary.)
    checkRunOptions(args);
    for (const auto& f : folders) requireFolder("RUNDIR", f);
    const std::string summaryPath = args.text("--summary");
    requireOutputFile("--summary", summaryPath, false);

    // The children's summary rows, in a private scratch folder.
    const std::string scratchTemplate = (fs::temp_directory_path() / "tremora-batch-XXXXXX").string();
    std::vector<char> scratchName(scratchTemplate.begin(), scratchTemplate.end());
    scratchName.push_back('\0');
    if (mkdtemp(scratchName.data()) == nullptr) throw cli::RunError(std::string("cannot create a scratch folder: ") + std::strerror(errno));
    const fs::path scratch(scratchName.data());

    std::vector<Summary> summaries(folders.size());
    std::map<pid_t, Child> running;
    std::size_t next = 0;
    Progress progress(folders.size());
    const auto runningNames = [&] {
        std::vector<std::string> names;
        for (const auto& [pid, child] : running) names.push_back(folders[child.index]);
        return names;
    };
    std::cout.flush();
    std::cerr.flush();
    while (next < folders.size() || !running.empty()) {
        while (next < folders.size() && long(running.size()) < jobs) {
            const std::size_t index = next++;
            const std::string& folder = folders[index];
            const std::string result = (scratch / ("run" + std::to_string(index) + ".tsv")).string();
            const std::string log = (fs::path(folder) / kLogName).string();
            std::vector<std::string> words = {"tremora",         "process",
                                              folder,            "--result",
                                              result,            "--spike-threshold",
                                              args.text("--spike-threshold"), "--outliers-by",
                                              args.text("--outliers-by"),     "--fd-threshold",
                                              args.text("--fd-threshold"),    "--dvars-threshold",
                                              args.text("--dvars-threshold"), "--threads",
                                              threads};
            if (args.has("--plugin")) words.insert(words.end(), {"--plugin", args.text("--plugin")});
            std::vector<char*> argv;
            for (auto& w : words) argv.push_back(w.data());
            argv.push_back(nullptr);
            const pid_t pid = fork();
            if (pid < 0) throw cli::RunError(std::string("cannot start a process: ") + std::strerror(errno));
            if (pid == 0) {
                // The child: its output into the run folder's log, no input.
                const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                const int nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
                const int outFd = logFd >= 0 ? logFd : nullFd;
                if (nullFd >= 0) dup2(nullFd, STDIN_FILENO);
                if (outFd >= 0) {
                    dup2(outFd, STDOUT_FILENO);
                    dup2(outFd, STDERR_FILENO);
                }
                if (logFd < 0) {
                    const std::string message = "cannot write " + log + "\n";
                    (void)!write(STDERR_FILENO, message.data(), message.size());
                }
                execv("/proc/self/exe", argv.data());
                _exit(127);
            }
            running[pid] = {index, result};
        }
        progress.show(runningNames());
        if (running.empty()) continue;
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            throw cli::RunError(std::string("waiting for the runs failed: ") + std::strerror(errno));
        }
        auto it = running.find(pid);
        if (it == running.end()) continue;
        summaries[it->second.index] = collect(folders[it->second.index], it->second.result, status);
        progress.finished(summaries[it->second.index]);
        running.erase(it);
    }
    progress.show({});
    std::error_code ec;
    fs::remove_all(scratch, ec);

    std::string table = header();
    std::size_t failed = 0;
    for (const auto& s : summaries) {
        table += tableLine(s.cells());
        if (s.status != "ok") ++failed;
    }
    saveTextAtomically(summaryPath, [&](std::ostream& os) { os << table; }, "--summary: cannot write the summary " + summaryPath);
    std::cout << table;
    std::cout << "wrote " << summaryPath << " (" << folders.size() - failed << " of " << folders.size() << " runs done"
              << (failed ? ", " + std::to_string(failed) + " failed" : std::string()) << ")\n";
    return failed ? 1 : 0;
}

const char* const kFolderRules =
    "A run folder holds either NAME.fmr with NAME_3DMC.sdm beside it (one such pair), or one NIfTI\n"
    "run (*.nii or *.nii.gz; among several, the one named *_bold) with one motion file whose name\n"
    "gives its format: *.par (fsl), rp_*.txt (spm), *.1D (afni), *_desc-confounds_timeseries.tsv\n"
    "(fmriprep). The NIfTI is imported into the folder as NAME.fmr, NAME.stc and NAME_3DMC.sdm (NAME\n"
    "= its name without .nii[.gz]; see tremora import --help) unless NAME.fmr with NAME_3DMC.sdm\n"
    "is there already. Then confound (all sets, and the BIDS table with --tsv, outliers by\n"
    "--outliers-by; DVARS over fMRIPrep's brain mask, *_desc-brain_mask.nii[.gz] without a space, when\n"
    "the folder holds one; the bright voxels, said so, in place of one on another grid), displacement\n"
    "(all maps) and report (NAME_report.html)\n"
    "run on it; their files land beside the motion SDM. A BIDS table of the name confound --tsv would\n"
    "write that is older than NAME.fmr is an input and is kept (no table is written then).";

const char* const kSummaryColumns =
    "Summary columns: run, status (ok or failed), volumes, mean_fd and max_fd (framewise\n"
    "displacement after Power et al., 50 mm sphere, in mm; the mean over the volumes from the second\n"
    "on), spikes (volumes whose relative RMS displacement of the detrended parameters is above\n"
    "--spike-threshold, as the confound task finds them), max_displacement_mm (the largest voxel of\n"
    "the maximum absolute displacement map), error, then mean_std_dvars and max_std_dvars\n"
    "(standardized DVARS, Nichols 2013; the mean over the volumes from the second on) and\n"
    "outlier_share (the share of the volumes --outliers-by flags, before censoring neighbours); n/a\n"
    "where a failed run has no value, or where the run's BIDS table was an input and kept.";

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
                    cli::path("--result", "FILE", "write the summary table to FILE instead of standard output"),
                    pluginOption(),
                    threadsOption("threads of the displacement computation and map writing of the run")},
        .examples = {"tremora process sub-01/func"},
        .run = process,
    };
}

cli::Command batchCommand()
{
    return {
        .name = "batch",
        .summary = "process many run folders, one child process per run, with a summary table (TSV)",
        .description =
            std::string(kFolderRules) +
            "\n\nEach run folder is processed by its own child process (tremora process), at most --jobs at once,\n"
            "each on its share of the cores (--threads); the child's output goes to tremora_batch.log in the run folder. A progress line is shown on\n"
            "standard error. A run that fails is reported and does not stop the others. At the end the\n"
            "summary table is written to --summary and printed; the exit status is 1 when any run failed.\n\n" +
            kSummaryColumns,
        .positionals = {{"RUNDIR", "the run folders", true, true, cli::Kind::Path}},
        .options = {jobsOption(),
                    cli::path("--summary", "FILE", "the summary table").byDefault("batch_summary.tsv"),
                    spikeThresholdOption(),
                    outliersByOption(),
                    fdThresholdOption(),
                    dvarsThresholdOption(),
                    pluginOption(),
                    threadsOption("threads of each run",
                                  "the cores this process may use divided among the runs at once (--jobs, or fewer "
                                  "when there are fewer runs), at least 1")},
        .examples = {"tremora batch --jobs 2 sub-*/func", "tremora batch --summary qc.tsv --spike-threshold 0.3 run1 run2 run3"},
        .run = batch,
    };
}

} // namespace tool
