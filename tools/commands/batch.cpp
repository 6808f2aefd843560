// tremora batch: tremora process on many run folders, one child process per
// run folder, with a summary table.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "atomicfile.h"
#include "commands.h"
#include "inputs.h"
#include "options.h"
#include "parallel.h"
#include "processpool.h"
#include "runsummary.h"
#include "stringmanipulation.h"

namespace tool {

namespace {

namespace fs = std::filesystem;

const char* const kLogName = "tremora_batch.log";

std::vector<std::string> splitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, '\t');) fields.push_back(f);
    return fields;
}

// The row a child left, or a failure that says why there is none.
RunSummary collect(const std::string& run, const std::string& resultFile, int waitStatus)
{
    RunSummary s;
    s.run = run;
    std::ifstream in(resultFile);
    std::string head, row;
    if (in && std::getline(in, head) && std::getline(in, row)) {
        const auto f = splitTabs(row);
        if (f.size() == kSummaryColumnNames.size()) {
            const auto value = [](const std::string& v) { return v == "n/a" ? std::string() : v; };
            s.status = f[1], s.volumes = value(f[2]), s.meanFD = value(f[3]), s.maxFD = value(f[4]);
            s.spikes = value(f[5]), s.maxDisplacement = value(f[6]), s.error = value(f[7]);
            s.meanStdDVARS = value(f[8]), s.maxStdDVARS = value(f[9]), s.outlierShare = value(f[10]);
            return s;
        }
    }
    const std::string log = (fs::path(run) / kLogName).string();
    s.error = WIFSIGNALED(waitStatus) ? "the run's process was " + howItEnded(waitStatus) + " (see " + log + ")"
                                      : "the run's process " + howItEnded(waitStatus) + " and left no summary (see " + log + ")";
    return s;
}

class Progress {
public:
    Progress(std::size_t total) : total_(total), tty_(isatty(STDERR_FILENO) != 0) {}
    void finished(const RunSummary& s)
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
        if (!running.empty()) line << ": " << joined(running, ", ");
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

    std::vector<RunSummary> summaries(folders.size());
    const auto resultOf = [&](std::size_t index) { return (scratch / ("run" + std::to_string(index) + ".tsv")).string(); };
    ProcessPool pool(jobs);
    std::size_t next = 0;
    Progress progress(folders.size());
    const auto runningNames = [&] {
        std::vector<std::string> names;
        for (const std::size_t index : pool.running()) names.push_back(folders[index]);
        return names;
    };
    while (next < folders.size() || !pool.empty()) {
        while (next < folders.size() && !pool.full()) {
            const std::size_t index = next++;
            const std::string& folder = folders[index];
            std::vector<std::string> words = {"tremora", "process", folder, "--result", resultOf(index),
                                              "--spike-threshold", args.text("--spike-threshold"),
                                              "--outliers-by", args.text("--outliers-by"),
                                              "--fd-threshold", args.text("--fd-threshold"),
                                              "--dvars-threshold", args.text("--dvars-threshold"),
                                              "--threads", threads};
            if (args.has("--plugin")) words.insert(words.end(), {"--plugin", args.text("--plugin")});
            // The child runs tremora process afresh, its output in the run folder's log.
            pool.start(index, (fs::path(folder) / kLogName).string(), nullptr, [&words] {
                std::vector<char*> argv;
                for (auto& w : words) argv.push_back(w.data());
                argv.push_back(nullptr);
                execv("/proc/self/exe", argv.data());
                return 127;
            });
        }
        progress.show(runningNames());
        const auto ended = pool.next();
        if (!ended) continue;
        summaries[ended->key] = collect(folders[ended->key], resultOf(ended->key), ended->status);
        progress.finished(summaries[ended->key]);
    }
    progress.show({});
    std::error_code ec;
    fs::remove_all(scratch, ec);

    std::string table = summaryHeader();
    std::size_t failed = 0;
    for (const auto& s : summaries) {
        table += summaryLine(s.cells());
        if (s.status != "ok") ++failed;
    }
    saveTextAtomically(summaryPath, [&](std::ostream& os) { os << table; }, "--summary: cannot write the summary " + summaryPath);
    std::cout << table;
    std::cout << "wrote " << summaryPath << " (" << folders.size() - failed << " of " << folders.size() << " runs done"
              << (failed ? ", " + std::to_string(failed) + " failed" : std::string()) << ")\n";
    return failed ? 1 : 0;
}

} // namespace

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
