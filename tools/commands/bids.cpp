// tremora bids BIDS_DIR OUTPUT_DIR participant|group: the program as a BIDS
// App. The participant level takes every functional run of a raw dataset
// with its motion estimates through import, confound, displacement and
// report, one child process per run, and writes the results as a BIDS
// derivatives dataset. A run whose outputs are complete and newer than its
// inputs, made with the same options, is not redone.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <deque>
#include <map>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "atomicfile.h"
#include "bidsapp.h"
#include "bidsconfounds.h"
#include "bidsmodels.h"
#include "commands.h"
#include "confoundmodels.h"
#include "host.h"
#include "inputs.h"
#include "mapfile.h"
#include "motionconventions.h"
#include "niftiimport.h"
#include "options.h"
#include "parallel.h"
#include "pluginhost.h"
#include "runmask.h"
#include "processpool.h"
#include "runjob.h"
#include "runstatus.h"
#include "stringmanipulation.h"

namespace tool {

using namespace qc; // the quality-control library (code/qc)

namespace {

using namespace bids;
using Json = nlohmann::ordered_json;

const std::vector<std::string> kSets = {"detr", "deriv", "sqr", "t1", "t2", "t1sqr", "t2sqr", "derivsqr", "spikes"};

struct Settings {
    fs::path bidsDir, outDir;
    std::optional<fs::path> derivatives;
    std::optional<MotionFormat> format;
    std::string fmriprepVersion;
    Filters filters;
    long jobs = 1;
    int threads = 0; // of each run: 0 until the runs to do are known
    bool force = false, keepWork = false;
    double spikeThreshold = 0.5, radiusFD = 50.0;
    long censorBefore = 0, censorAfter = 0, minSegment = 0;
    bool naAsZero = false;
    std::vector<std::string> sets;
    std::vector<std::string> outliersBy = {"rmsd"};
    double fdThreshold = 0.5, dvarsThreshold = 1.5;
    std::string plugin;
    std::vector<std::string> compareModels; // confound model families, none to leave the comparison out
};

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void saveJson(const fs::path& path, const Json& json)
{
    saveTextAtomically(path.string(), [&](std::ostream& out) { out << json.dump(2) << "\n"; },
                       "cannot write " + path.string());
}

// ---------------------------------------------------------------- what a run is made from

// The inputs and options a run's outputs depend on: the record keeps them,
// and a run is redone when they change.
std::vector<std::string> inputsOf(const Run& run)
{
    std::vector<std::string> inputs = {run.bold, run.motion};
    if (!run.boldref.empty()) inputs.push_back(run.boldref);
    if (!run.brainMask.empty()) inputs.push_back(run.brainMask);
    return inputs;
}

// The inputs as the outputs name them: BIDS URIs, relative to the datasets,
// so that the outputs do not depend on where the datasets lie (a container's
// bind mounts, a moved study). Absolute paths only for files outside both.
std::vector<std::string> inputNamesOf(const Run& run, const Dataset& dataset)
{
    std::vector<std::string> names;
    for (const auto& input : inputsOf(run)) names.push_back(uri(input, dataset));
    return names;
}

Json optionsOf(const Settings& s)
{
    Json o;
    o["MotionFormat"] = motionFormatName(s.format.value_or(MotionFormat::FMRIPrep));
    o["FMRIPrepVersion"] = s.fmriprepVersion;
    o["SpikeThreshold"] = s.spikeThreshold;
    o["RadiusFD"] = s.radiusFD;
    o["CensorBefore"] = s.censorBefore;
    o["CensorAfter"] = s.censorAfter;
    o["MinSegment"] = s.minSegment;
    o["NaAsZero"] = s.naAsZero;
    o["Sets"] = s.sets;
    o["OutliersBy"] = s.outliersBy;
    o["FDThreshold"] = s.fdThreshold;
    o["DVARSThreshold"] = s.dvarsThreshold;
    if (!s.compareModels.empty()) o["CompareModels"] = s.compareModels;
    return o;
}

// Complete and newer than its inputs, made by this version with the same
// options from the same inputs: every output the record lists is there with
// the size it had.
bool upToDate(const Run& run, const Dataset& dataset, const Settings& s)
{
    const fs::path record = s.outDir / recordName(run);
    std::error_code ec;
    if (!fs::is_regular_file(record, ec)) return false;
    std::ifstream in(record);
    const Json json = Json::parse(in, nullptr, false);
    if (!json.is_object() || json.value("Version", "") != kProgramVersion || json.value("Options", Json()) != optionsOf(s))
        return false;
    if (json.value("Inputs", Json()) != Json(inputNamesOf(run, dataset))) return false;
    const auto written = fs::last_write_time(record, ec);
    if (ec) return false;
    for (const auto& input : inputsOf(run))
        if (fs::last_write_time(input, ec) >= written || ec) return false;
    if (const fs::path events = eventsOf(run, s.bidsDir); !s.compareModels.empty() && !events.empty())
        if (fs::last_write_time(events, ec) >= written || ec) return false;
    const Json outputs = json.value("Outputs", Json());
    if (!outputs.is_object() || outputs.empty()) return false;
    for (const auto& [name, size] : outputs.items()) {
        const auto actual = fs::file_size(s.outDir / run.folder / name, ec);
        if (ec || !size.is_number_unsigned() || actual != size.get<std::uintmax_t>()) return false;
    }
    return true;
}

// ---------------------------------------------------------------- one run (in its own process)

Json mapSidecar(const MapKind& map, const Run& run, const Dataset& dataset, float maskThreshold)
{
    Json json;
    json["Description"] = std::string(map.what) + ", of every voxel brighter than MaskThreshold in the first volume "
                          "(0 elsewhere), as the run's motion estimates move it";
    json["Units"] = "mm";
    json["MaskThreshold"] = maskThreshold;
    json["MaskThresholdDescription"] = "intensity of the first volume: a tenth of its 98th percentile";
    json["Sources"] = inputNamesOf(run, dataset);
    json["MotionFormat"] = motionFormatName(run.format);
    return json;
}

// Moves a finished file of the work folder to its place in the dataset.
void publish(const fs::path& from, const fs::path& to)
{
    std::error_code ec;
    if (!fs::is_regular_file(from, ec)) throw std::runtime_error("no " + from.filename().string() + " was written");
    fs::rename(from, to, ec);
    if (!ec) return;
    // Another file system (a work folder elsewhere): copied beside the target first.
    const fs::path pending = to.parent_path() / ("." + to.filename().string() + ".pending");
    fs::copy_file(from, pending, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::rename(pending, to, ec);
    if (ec) {
        fs::remove(pending, ec);
        throw std::runtime_error("cannot write " + to.string() + ": " + ec.message());
    }
}

// In the run's work folder (the current folder): import, confound with its
// table, displacement, report; then the results to their BIDS names and,
// last, the record that says they are complete.
void processRun(const Run& run, const Dataset& dataset, const Settings& s, const fs::path& log)
{
    const std::string stem = run.stem();
    RunJob job;
    ImportRequest request;
    request.bold = run.bold;
    request.motion = run.motion;
    request.format = run.format;
    request.outDir = ".";
    request.name = stem;
    request.force = true;
    request.referenceImage = run.boldref;
    request.nameOf = [&dataset](const std::string& path) { return uri(path, dataset); };
    request.fmriprepVersion = s.fmriprepVersion;
    request.scratchSlices = true; // the run's slice data live in its work folder only
    job.import = request;
    job.plugin = s.plugin;
    job.threads = std::to_string(std::max(1, s.threads));

    const std::string fmr = stem + ".fmr", sdm = stem + "_3DMC.sdm", reportFile = stem + "_report.html";
    float maskThreshold = 0;
    job.steps = [&] {
        maskThreshold = defaultMaskThreshold(fmr);
        RunSteps steps;
        steps.confound = {"--sdm", sdm, "--fmr", fmr, "--tsv", "--sets", joined(s.sets, ","), "--spike-threshold",
                          number(s.spikeThreshold), "--censor-before", std::to_string(s.censorBefore),
                          "--censor-after", std::to_string(s.censorAfter), "--radius-fd", number(s.radiusFD),
                          "--outliers-by", joined(s.outliersBy, ","), "--fd-threshold", number(s.fdThreshold),
                          "--dvars-threshold", number(s.dvarsThreshold), "--min-segment", std::to_string(s.minSegment)};
        if (s.naAsZero) steps.confound.push_back("--na-as-zero");
        if (run.format == MotionFormat::FMRIPrep)
            steps.confound.insert(steps.confound.end(), {"--fmriprep-confounds", run.motion});
        steps.displacement = {"--fmr", fmr, "--sdm", sdm, "--maps", "all", "--threshold", number(maskThreshold)};
        steps.report = {"--fmr", fmr, "--sdm", sdm, "--out", reportFile,
                        "--spike-threshold", number(s.spikeThreshold), "--radius-fd", number(s.radiusFD),
                        "--threshold", number(maskThreshold), "--title", "Head motion of " + stem,
                        "--outliers-by", joined(s.outliersBy, ","), "--fd-threshold", number(s.fdThreshold),
                        "--dvars-threshold", number(s.dvarsThreshold), "--dataset", "raw=" + dataset.root.string()};
        if (dataset.derivatives) steps.report.insert(steps.report.end(), {"--dataset", "derivatives=" + dataset.derivatives->string()});
        // DVARS and the carpet over fMRIPrep's brain mask; the steps take the
        // bright voxels in place of one on another grid, and say so.
        if (!run.brainMask.empty()) {
            steps.confound.insert(steps.confound.end(), {"--mask", run.brainMask, "--mask-off-grid", "bright"});
            steps.report.insert(steps.report.end(), {"--mask", run.brainMask, "--mask-off-grid", "bright"});
        }
        return steps;
    };
    runJob(job);
    const std::vector<fs::path> modelFiles =
        s.compareModels.empty() ? std::vector<fs::path>{}
                                : compareRunModels(run, s.bidsDir, s.outDir, confoundsTablePath(sdm), s.compareModels,
                                                   std::max(1, s.threads));

    const fs::path folder = s.outDir / run.folder;
    fs::create_directories(folder);
    std::vector<std::pair<fs::path, fs::path>> moves = {
        {confoundsTablePath(sdm), outputName(run, "confounds", "timeseries", ".tsv")},
        {confoundsSidecarPath(sdm), outputName(run, "confounds", "timeseries", ".json")},
        {reportFile, outputName(run, "motion", "report", ".html")},
    };
    for (const MapKind& map : mapKinds()) {
        const fs::path target = outputName(run, map.desc, "displacement", ".nii.gz");
        moves.emplace_back(host::mapFileName(stem + "_3DMC" + map.taskSuffix + ".map"), target);
        const fs::path sidecar = fs::path(target).replace_extension("").replace_extension(".json");
        saveJson(s.outDir / sidecar, mapSidecar(map, run, dataset, maskThreshold));
    }
    for (const auto& [from, to] : moves) publish(from, s.outDir / to);

    Json record;
    record["Description"] = "The outputs of tremora bids for this run are complete. They are made again when an input "
                            "is newer than this file, or the options or the inputs change.";
    record["Version"] = kProgramVersion;
    record["Inputs"] = inputNamesOf(run, dataset);
    record["Options"] = optionsOf(s);
    // What the steps warned of stays with the outputs: the log goes with the work folder.
    std::cout.flush();
    std::cerr.flush();
    record["Warnings"] = warningsOf(log);
    Json outputs = Json::object();
    std::vector<fs::path> names;
    for (const auto& [from, to] : moves) names.push_back(to.filename());
    for (const MapKind& map : mapKinds())
        names.push_back(outputName(run, map.desc, "displacement", ".json").filename());
    names.insert(names.end(), modelFiles.begin(), modelFiles.end());
    std::sort(names.begin(), names.end());
    for (const auto& name : names) outputs[name.string()] = fs::file_size(folder / name);
    record["Outputs"] = outputs;
    saveJson(s.outDir / recordName(run), record);
}

// ---------------------------------------------------------------- the participant level

// The files a process stopped while saving this run's outputs left behind:
// ".NAME.tmp<pid>-<n>" of the saves and ".NAME.pending" of the copies.
void removeLeftovers(const fs::path& folder, const std::string& stem)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        const bool pending = name.size() > 8 && name.compare(name.size() - 8, 8, ".pending") == 0;
        if (name.rfind("." + stem + "_", 0) == 0 && (pending || name.find(".tmp") != std::string::npos)) fs::remove(entry.path(), ec);
    }
}

std::string clock(std::chrono::steady_clock::duration elapsed)
{
    const long seconds = long(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
}

// The last "error: " line a run's process left in its log.
std::string errorOf(const fs::path& log, int status)
{
    std::ifstream in(log);
    std::string found;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("error: ", 0) == 0) found = line.substr(7);
    return found.empty() ? howItEnded(status) : found;
}

void writeDescription(const Settings& s, const Dataset& dataset)
{
    std::string rawName;
    {
        std::ifstream in(dataset.root / "dataset_description.json");
        const Json raw = Json::parse(in, nullptr, false);
        if (raw.is_object() && raw.contains("Name") && raw["Name"].is_string()) rawName = raw["Name"].get<std::string>();
    }
    Json json;
    json["Name"] = "Head motion" + (rawName.empty() ? std::string() : " of " + rawName) + ": displacement maps and confounds";
    json["BIDSVersion"] = "1.9.0";
    json["DatasetType"] = "derivative";
    json["GeneratedBy"] = Json::array({Json{{"Name", "tremora"},
                                            {"Version", kProgramVersion},
                                            {"Description", "tremora bids: voxel-wise displacement maps, motion confounds "
                                                            "and a motion report per functional run"}}});
    Json links;
    links["raw"] = "file://" + dataset.root.string();
    if (dataset.derivatives) links["derivatives"] = "file://" + dataset.derivatives->string();
    json["DatasetLinks"] = links;
    const fs::path path = s.outDir / "dataset_description.json";
    if (readText(path) != json.dump(2) + "\n") saveJson(path, json);
}

// Every label the options ask for names something in the dataset: a
// participant, session, task, run index or file that no run of BIDS_DIR has
// is named (a typing error would otherwise silently leave runs out), and so
// is one that only the other options leave without a run.
void requireMatches(const Filters& filters, const std::vector<Run>& all, const std::string& where)
{
    const auto matches = [&](const Filters& f) { return std::any_of(all.begin(), all.end(), [&](const Run& r) { return f.accepts(r.name); }); };
    using List = std::vector<std::string> Filters::*;
    struct Option {
        List list;
        const char *name, *what;
    };
    // The narrowest first: a run index the task lacks is named rather than the participant.
    const std::vector<Option> options = {{&Filters::bolds, "--bold", "run named"}, {&Filters::runs, "--run", "run index"},
                                         {&Filters::tasks, "--task", "task"}, {&Filters::sessions, "--session-label", "session"},
                                         {&Filters::participants, "--participant-label", "participant"}};
    for (bool alone : {true, false})
        for (const Option& o : options)
            for (const auto& value : filters.*o.list) {
                Filters f = alone ? Filters{} : filters;
                f.*o.list = {value};
                if (matches(f)) continue;
                if (alone) throw cli::RunError(std::string(o.name) + ": no " + o.what + " " + value + " in " + where);
                throw cli::RunError(std::string(o.name) + ": the other options take no run of " + o.what + " " + value + " in " + where);
            }
}

int participant(Settings s, bool listOnly)
{
    // Only the folders of the participants asked for are read (one job of a
    // large study would otherwise walk all of it); an option that takes no run
    // of theirs is named as the whole study would name it.
    Filters theirs;
    theirs.participants = s.filters.participants;
    Dataset dataset = discover(s.bidsDir, s.derivatives, s.format, theirs);
    try {
        requireMatches(s.filters, dataset.runs, s.bidsDir.string());
    } catch (const cli::RunError&) {
        if (theirs.participants.empty()) throw;
        requireMatches(s.filters, discover(s.bidsDir, s.derivatives, s.format, Filters{}).runs, s.bidsDir.string());
        throw;
    }
    dataset.runs.erase(std::remove_if(dataset.runs.begin(), dataset.runs.end(),
                                      [&](const Run& run) { return !s.filters.accepts(run.name); }),
                       dataset.runs.end());
    if (dataset.runs.empty())
        throw cli::RunError("no functional run (sub-*/[ses-*/]func/*_bold.nii[.gz]) in " + s.bidsDir.string() +
                            " matches the options");
    if (listOnly) {
        // Written a block at a time: a study of thousands of runs lists
        // megabytes, which are not kept whole.
        std::string table = "participant_id\trun\trecord\tinputs\tstatus\n";
        table.reserve(1 << 20);
        for (const auto& run : dataset.runs) {
            table.append("sub-").append(run.name.get("sub")).append("\t").append(run.stem()).append("\t");
            table.append(recordName(run).native()).append("\t");
            if (run.skipped.empty()) {
                for (const auto& input : inputsOf(run)) table.append(input).append(",");
                table.back() = '\t';
                table.append("ok\n");
            } else {
                table.append("n/a\t").append(run.skipped).append("\n");
            }
            if (table.size() >= (1 << 20) - 4096) {
                std::cout << table;
                table.clear();
            }
        }
        std::cout << table;
        return 0;
    }
    fs::create_directories(s.outDir);
    writeDescription(s, dataset);

    // What became of each run is written beside its outputs while its lock is
    // held; a run another call holds is left to it and waited for.
    const auto setStatus = [&](const Run& run, const RunStatus& status) { writeStatus(s.outDir / statusName(run), status); };
    // A complete run's status: done, with the warnings its provenance record keeps.
    const auto doneStatus = [&](const Run& run) {
        std::ifstream in(s.outDir / recordName(run));
        const Json record = Json::parse(in, nullptr, false);
        RunStatus done{"done", "", "", {}};
        if (record.is_object() && record.contains("Warnings") && record["Warnings"].is_array())
            for (const auto& w : record["Warnings"]) done.warnings.push_back(w.get<std::string>());
        return done;
    };
    std::vector<const Run*> todo;
    std::size_t current = 0, skipped = 0;
    for (const auto& run : dataset.runs) {
        if (!run.skipped.empty()) {
            ++skipped;
            std::cout << run.stem() << ": skipped: " << run.skipped << "\n";
            if (auto lock = RunLock::tryTake(s.outDir, run.stem())) setStatus(run, {"skipped", run.skipped, "", {}});
        } else if (!s.force && upToDate(run, dataset, s)) {
            ++current;
            // A call stopped after the record, before it removed the work folder or
            // said the run was done (its status may still say queued or started).
            if (auto lock = RunLock::tryTake(s.outDir, run.stem())) {
                std::error_code ec;
                if (!s.keepWork) fs::remove_all(workFolder(s.outDir, run.stem()), ec);
                removeLeftovers(s.outDir / run.folder, run.stem());
                const auto status = readStatus(s.outDir / statusName(run));
                if (!status || status->status != "done") setStatus(run, doneStatus(run));
            }
            std::cout << run.stem() << ": up to date (outputs newer than the inputs, same options), not redone\n";
        } else {
            todo.push_back(&run);
            // Found and to be done: a call killed before it starts the run leaves this to say so.
            if (auto lock = RunLock::tryTake(s.outDir, run.stem())) setStatus(run, {"queued", "", "", {}});
        }
    }
    std::cout.flush();
    // The cores are divided among the runs going at once rather than each
    // run taking them all.
    if (s.threads == 0) s.threads = threadsPerRun(parallel::availableCores(), s.jobs, todo.size());

    const auto start = std::chrono::steady_clock::now();
    ProcessPool pool(s.jobs);
    std::map<std::size_t, RunLock> locks; // of the runs going, by their index in todo
    std::deque<std::size_t> waiting;
    for (std::size_t k = 0; k < todo.size(); ++k) waiting.push_back(k);
    std::set<const Run*> announced;
    std::size_t done = 0, failed = 0, elsewhere = 0;
    const auto progress = [&](const Run& run, const std::string& outcome) {
        const std::size_t left = waiting.size() + pool.size();
        std::cout << run.stem() << ": " << outcome << " [" << done << " done, " << failed << " failed, " << skipped << " skipped, "
                  << current + elsewhere << " up to date, " << left << " left; " << clock(std::chrono::steady_clock::now() - start)
                  << "]" << std::endl;
    };
    while (!waiting.empty() || !pool.empty()) {
        bool started = false;
        for (std::size_t k = 0; k < waiting.size() && !pool.full();) {
            const std::size_t index = waiting[k];
            const Run& run = *todo[index];
            std::optional<RunLock> lock = RunLock::tryTake(s.outDir, run.stem());
            if (!lock) {
                if (announced.insert(&run).second)
                    std::cout << run.stem() << ": in progress in another call on " << s.outDir.string() << "; waiting for it"
                              << std::endl;
                ++k;
                continue;
            }
            waiting.erase(waiting.begin() + long(k));
            started = true;
            // Another call may have done it since this one looked.
            if (!s.force && upToDate(run, dataset, s)) {
                ++elsewhere;
                progress(run, "done by another call, up to date");
                continue;
            }
            const fs::path work = workFolder(s.outDir, run.stem());
            setStatus(run, {"started", "", "", {}});
            // The run's process (holding the run's lock with its parent):
            // nothing of an earlier attempt looks complete from here on, and
            // its output goes to the log in its work folder.
            const auto prepare = [&] {
                std::error_code ec;
                fs::remove(s.outDir / recordName(run), ec);
                removeLeftovers(s.outDir / run.folder, run.stem());
                fs::remove_all(work, ec);
                // (Another process may be removing an empty work/ at this moment.)
                for (int attempt = 0; attempt < 3 && !fs::is_directory(work, ec); ++attempt) fs::create_directories(work, ec);
            };
            pool.start(index, (work / "tremora.log").string(), prepare, [&] {
                if (chdir(work.c_str()) != 0) throw std::runtime_error("cannot enter " + work.string());
                processRun(run, dataset, s, work / "tremora.log");
                std::error_code ec;
                if (!s.keepWork && chdir(s.outDir.c_str()) == 0) fs::remove_all(work, ec);
                return 0;
            });
            locks.emplace(index, std::move(*lock));
        }
        // While runs wait for another call, look at them again now and then.
        const auto ended = pool.next(!waiting.empty());
        if (!ended) {
            if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        const Run& run = *todo[ended->key];
        const int status = ended->status;
        std::string outcome = "done";
        const fs::path log = workFolder(s.outDir, run.stem()) / "tremora.log";
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            ++done;
            const RunStatus finished = doneStatus(run);
            setStatus(run, finished);
            for (const auto& w : finished.warnings) std::cerr << "warning: " << run.stem() << ": " << w << "\n";
            if (!finished.warnings.empty())
                outcome += " with " + std::to_string(finished.warnings.size()) + " warning" + (finished.warnings.size() == 1 ? "" : "s");
        } else {
            ++failed;
            const std::string reason = errorOf(log, status);
            setStatus(run, {"failed", reason, log.lexically_relative(s.outDir).string(), warningsOf(log)});
            outcome = "failed: " + reason + " (log: " + log.string() + ")";
        }
        locks.erase(ended->key); // releases the run's lock
        progress(run, outcome);
    }
    std::error_code ec;
    if (!s.keepWork) fs::remove(s.outDir / "work", ec); // only when empty: failed runs keep their logs
    std::cout << "participant level: " << done << " run" << (done == 1 ? "" : "s") << " done, " << current + elsewhere
              << " up to date, " << skipped << " skipped, " << failed << " failed; outputs in "
              << s.outDir.string() << "\n";
    if (done + current + elsewhere == 0 && failed == 0)
        throw cli::RunError("nothing processed: no run of " + s.bidsDir.string() +
                            " that the options take has motion estimates (the runs are listed above with the reason)");
    return failed ? 1 : 0;
}

// ---------------------------------------------------------------- the command

std::vector<std::string> labels(const cli::Args& args, const std::string& option, const std::string& prefix)
{
    std::vector<std::string> result;
    for (const auto& value : args.all(option)) {
        std::size_t start = 0;
        while (start <= value.size()) {
            const auto end = value.find(',', start);
            const std::string word = value.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!word.empty()) {
                const std::string l = prefix.empty() ? word : label(word, prefix);
                if (l.empty() || l.find_first_of("_-/ ") != std::string::npos)
                    throw cli::UsageError(option + " takes labels such as 01 or " + (prefix.empty() ? "rest" : prefix + "01") +
                                          ", got '" + word + "'");
                result.push_back(l);
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    return result;
}

int bidsApp(const cli::Args& args)
{
    const auto& words = args.positionals();
    Settings s;
    s.bidsDir = words.at(0);
    s.outDir = words.at(1);
    const std::string level = words.at(2);
    if (level != "participant" && level != "group")
        throw cli::UsageError("the analysis level must be participant or group, got '" + level + "'");
    s.filters.participants = labels(args, "--participant-label", "sub-");
    s.filters.sessions = labels(args, "--session-label", "ses-");
    s.filters.tasks = labels(args, "--task", "");
    s.filters.runs = labels(args, "--run", "");
    s.filters.bolds = args.all("--bold");
    for (auto& b : s.filters.bolds)
        for (const char* end : {"_bold.nii.gz", "_bold.nii"})
            if (b.size() > std::strlen(end) && b.compare(b.size() - std::strlen(end), std::string::npos, end) == 0)
                b.resize(b.size() - std::strlen(end));

    requireFolder("BIDS_DIR", s.bidsDir.string());
    std::error_code ec;
    if (fs::exists(s.outDir, ec) && fs::equivalent(s.outDir, s.bidsDir, ec))
        throw cli::UsageError("OUTPUT_DIR must not be BIDS_DIR: the raw dataset is never written into");
    // Inside the raw dataset only as a derivatives dataset; the folders are
    // compared with their links resolved, so a link to sub-01 is caught too.
    {
        const fs::path raw = fs::weakly_canonical(fs::absolute(s.bidsDir), ec), out = fs::weakly_canonical(fs::absolute(s.outDir), ec);
        const auto within = [](const fs::path& inner, const fs::path& outer) {
            const fs::path relative = inner.lexically_relative(outer);
            return !relative.empty() && *relative.begin() != "..";
        };
        if (within(out, raw) && !within(out, raw / "derivatives"))
            throw cli::UsageError("OUTPUT_DIR " + s.outDir.string() + " lies inside BIDS_DIR: the raw dataset is never written "
                                  "into; give a folder outside it or under " + (s.bidsDir / "derivatives").string() + "/");
    }
    if (level == "group") {
        GroupOptions g;
        g.excludeMeanFD = args.number("--exclude-mean-fd");
        g.excludeSpikeShare = args.number("--exclude-spike-share");
        requireFolder("OUTPUT_DIR", s.outDir.string());
        g.filters = s.filters;
        g.allowIncomplete = args.has("--allow-incomplete");
        try {
            const GroupResult result = runGroup(s.outDir, g);
            std::cout << "wrote " << (s.outDir / "group_motion.tsv").string() << " (" << result.rows << " run"
                      << (result.rows == 1 ? "" : "s") << ") and " << (s.outDir / "group_report.html").string() << "\n";
            return result.complete || g.allowIncomplete ? 0 : 1;
        } catch (const std::runtime_error& e) {
            throw cli::RunError(e.what());
        }
    }

    requireOutputFolder("OUTPUT_DIR", s.outDir.string());
    if (args.has("--derivatives")) {
        requireFolder("--derivatives", args.text("--derivatives"));
        s.derivatives = fs::path(args.text("--derivatives"));
    }
    if (args.has("--motion-format")) s.format = motionFormatFromName(args.text("--motion-format"));
    s.fmriprepVersion = args.text("--fmriprep-version");
    if (args.has("--fmriprep-version") && s.format && *s.format != MotionFormat::FMRIPrep)
        throw cli::UsageError("--fmriprep-version applies to fmriprep motion only");
    s.jobs = args.has("--jobs") ? args.integer("--jobs") : std::clamp(long(parallel::availableCores()), 1L, 1024L);
    s.threads = threadsOf(args);
    s.force = args.has("--force");
    s.keepWork = args.has("--keep-work");
    s.spikeThreshold = args.number("--spike-threshold");
    s.radiusFD = args.number("--radius-fd");
    s.censorBefore = args.integer("--censor-before");
    s.censorAfter = args.integer("--censor-after");
    s.minSegment = args.integer("--min-segment");
    s.naAsZero = args.has("--na-as-zero");
    s.sets = args.list("--sets");
    s.outliersBy = args.list("--outliers-by");
    s.fdThreshold = args.number("--fd-threshold");
    s.dvarsThreshold = args.number("--dvars-threshold");
    if (args.has("--compare-models")) {
        s.compareModels = args.list("--compare-models");
        try {
            models::checkSequence(s.compareModels);
        } catch (const std::invalid_argument& e) {
            throw cli::UsageError(std::string("--compare-models: ") + e.what());
        }
    }
    if (args.has("--plugin")) {
        checkPlugin("--plugin", args.text("--plugin"));
        s.plugin = fs::absolute(args.text("--plugin")).string();
    }
    // The runs work in folders of their own: every path they are given is absolute.
    s.bidsDir = fs::absolute(s.bidsDir).lexically_normal();
    s.outDir = fs::absolute(s.outDir).lexically_normal();
    try {
        return participant(s, args.has("--list"));
    } catch (const std::runtime_error& e) {
        throw cli::RunError(e.what());
    }
}

} // namespace

const std::vector<MapKind>& bids::mapKinds()
{
    static const std::vector<MapKind> kinds = {
        {"_MaxAbsolute", "maxabs", "Largest displacement from the reference position over the run"},
        {"_MeanAbsolute", "meanabs", "Mean displacement from the reference position over the run"},
        {"_MaxRelative", "maxrel", "Largest volume-to-volume displacement"},
        {"_MeanRelative", "meanrel", "Mean volume-to-volume displacement"},
        {"_MaxAbsoluteX", "maxabsx", "Largest displacement from the reference position along the first voxel axis"},
        {"_MaxAbsoluteY", "maxabsy", "Largest displacement from the reference position along the second voxel axis"},
        {"_MaxAbsoluteZ", "maxabsz", "Largest displacement from the reference position along the third voxel axis"},
    };
    return kinds;
}

cli::Command bidsCommand()
{
    cli::Command c;
    c.name = "bids";
    c.summary = "BIDS App: every run of a BIDS dataset with its fMRIPrep (or FSL/SPM/AFNI) motion, then a group table";
    c.description =
        "participant: finds every sub-*/[ses-*/]func/*_bold.nii[.gz] of BIDS_DIR that the filters take and\n"
        "pairs it, by its entities, with its motion estimates: fMRIPrep's *_desc-confounds_timeseries.tsv,\n"
        "its boldref (the reference of the motion) and its brain mask (*_desc-brain_mask.nii[.gz], over\n"
        "which DVARS is taken; off the run's grid, the bright voxels, said so) in the derivatives (--derivatives, else\n"
        "BIDS_DIR/derivatives/fmriprep); with --motion-format fsl, spm or afni, the one motion file of\n"
        "the same entities (*.par, rp_*.txt, *.1D) beside the run or in the derivatives. A run without\n"
        "motion estimates, or whose file is a link to no file, is listed with the reason and skipped.\n"
        "Each run is imported (tremora import),\n"
        "then confound --tsv, displacement (all maps) and report run on it, one process per run and at\n"
        "most --jobs at once; a line per finished run gives the count done and left and the time.\n"
        "\n"
        "OUTPUT_DIR becomes a BIDS derivatives dataset (dataset_description.json), with per run, in the\n"
        "run's sub-*/[ses-*/]func folder and named after its entities:\n"
        "  *_desc-confounds_timeseries.tsv/.json   the confounds table (see tremora confound --help)\n"
        "  *_desc-<map>_displacement.nii.gz/.json   maxabs, meanabs, maxrel, meanrel, maxabsx/y/z (mm),\n"
        "                                           on the run's own grid and affine (sform and qform)\n"
        "  *_desc-motion_report.html                the motion report (see tremora report --help)\n"
        "  with --compare-models: *_desc-taskdesign_design.sdm/.tsv, per addition and model the\n"
        "  *_statmap.nii.gz/.json maps (tSNR, adjusted R2, F, BIC), *_desc-bestmodel_dseg.nii.gz and\n"
        "  *_desc-models_summary.tsv (the README's section on confound models says how to read them)\n"
        "  *_desc-tremora_provenance.json           written last: the outputs are complete\n"
        "  *_desc-tremora_status.json               what became of the run: queued, started, done, failed\n"
        "                                           (reason, log) or skipped (reason), with its warnings\n"
        "Intermediate files go to OUTPUT_DIR/work/<run>/ (removed unless --keep-work; a failed run keeps\n"
        "its folder and log). A run whose outputs are complete, newer than its inputs and made with the\n"
        "same options is not redone (--force redoes it); a run stopped half-way has no provenance record\n"
        "and is redone on the next call. A run being processed is locked (flock on OUTPUT_DIR/work/<run>.lock,\n"
        "released however its holder ends): another call on the same OUTPUT_DIR waits for it and goes on\n"
        "with the other runs meanwhile. A label, session, task, run or --bold that matches no run is named\n"
        "and nothing is done; OUTPUT_DIR inside BIDS_DIR is refused unless under BIDS_DIR/derivatives/.\n"
        "\n"
        "group: reads what the participant level left in OUTPUT_DIR and writes group_motion.tsv (one row\n"
        "per run: its entities, its status (done, failed, skipped, interrupted, in_progress, incomplete),\n"
        "and for a done run volumes, mean and max framewise displacement, spike count and share,\n"
        "largest displacement, mean and max standardized DVARS, the share of the volumes the outlier rule\n"
        "flags, exclude, 1 for a run beyond --exclude-mean-fd or --exclude-spike-share, the options it was\n"
        "made with, and a note: why it is not done, its warnings) with its .json, and group_report.html\n"
        "(the runs not done, options that differ between runs, the distributions and the runs beyond the\n"
        "criteria, each linking to its report; one self-contained page); with runs made with --compare-models\n"
        "also group_models.tsv and group_models.json (Choice, Rule) and a section on the confound models.\n"
        "\n"
        "Exit status: participant: 0 when every run was done or up to date (runs without motion are only\n"
        "listed), 1 when a run failed, no run was processed or a label matched nothing; group: 0 when no run\n"
        "failed, was interrupted or is in progress (or with --allow-incomplete), else 1; 2 on bad\n"
        "command-line use.";
    c.positionals = {{"BIDS_DIR", "the raw BIDS dataset", true, false, cli::Kind::Path},
                     {"OUTPUT_DIR", "the derivatives dataset to write (created when missing)", true, false, cli::Kind::Path},
                     {"LEVEL", "participant or group", true, false, cli::Kind::Text}};
    const auto labels = [](const std::string& name, const std::string& value, const std::string& help) {
        return cli::text(name, value, help).upToNextOption();
    };
    cli::Option before = censorOption("--censor-before", "before"), after = censorOption("--censor-after", "after");
    before.help = "also censor K volumes before each spike";
    after.help = "also censor K volumes after each spike";
    cli::Option minSegment = minSegmentOption(), naAsZero = naAsZeroOption();
    minSegment.help = "after censoring, also censor every kept stretch shorter than N volumes (Power et al. 2014 use 5)";
    naAsZero.help = "write 0 instead of n/a in the confounds table (for SPM); it then differs from fMRIPrep's there";
    c.options = {
        labels("--participant-label", "LABEL", "only these participants (01 or sub-01)"),
        labels("--session-label", "LABEL", "only these sessions (1 or ses-1)"),
        labels("--task", "LABEL", "only these tasks"),
        labels("--run", "INDEX", "only these runs (1 is run-01 too)"),
        labels("--bold", "NAME", "only the runs of these raw file names (sub-01_task-rest_run-1, with or without _bold.nii.gz)"),
        cli::path("--derivatives", "DIR", "fMRIPrep's derivatives").byDefaultNote("BIDS_DIR/derivatives/fmriprep when there"),
        cli::text("--motion-format", "FORMAT", "where the motion estimates come from (fsl, spm, afni: a file beside each run)")
            .oneOf({"fmriprep", "fsl", "spm", "afni"})
            .byDefault("fmriprep"),
        cli::text("--fmriprep-version", "X.Y", "the fMRIPrep release, instead of the derivatives' dataset_description.json")
            .means("a release number such as 23.2 or 25.0")
            .only([](const std::string& v) { return fmriprepConventionOf(v).has_value(); }),
        jobsOption(),
        threadsOption("threads of each run",
                      "the cores this process may use divided among the runs at once (--jobs, or fewer when there are "
                      "fewer runs), at least 1"),
        cli::flag("--force", "redo runs that are up to date"),
        cli::flag("--keep-work", "keep OUTPUT_DIR/work (the imported runs, SDMs and logs)"),
        cli::flag("--list", "participant: only list the runs found (TSV: participant, run, its record, its inputs, ok or why it is skipped)"),
        spikeThresholdOption(),
        fdRadiusOption(),
        before,
        after,
        minSegment,
        naAsZero,
        cli::list("--sets", "SETS", "confound sets in the table", kSets).byDefault("all"),
        outliersByOption(),
        fdThresholdOption(),
        dvarsThresholdOption(),
        cli::list("--compare-models", "FAMILIES",
                  "participant: compare confound models on each run, adding these families one after the other to the "
                  "task design of its events (all: the default sequence, in this order)",
                  models::defaultSequence()),
        cli::flag("--allow-incomplete", "group: exit with status 0 although a run failed, was interrupted or is in progress "
                                        "(the table and the page list them all the same)"),
        cli::number("--exclude-mean-fd", "MM", "group: exclude a run whose mean framewise displacement is above this")
            .means("a number of millimetres")
            .from(0)
            .byDefault("0.2"),
        cli::number("--exclude-spike-share", "SHARE", "group: exclude a run whose share of spike volumes is above this")
            .means("a share of the volumes")
            .from(0)
            .to(1)
            .byDefault("0.2"),
        pluginOption(),
    };
    c.examples = {
        "tremora bids /data/study /data/study/derivatives/tremora participant --participant-label 01 02 --jobs 2",
        "tremora bids /data/study /data/study/derivatives/tremora group",
        "tremora bids /data/study out participant --derivatives /scratch/fmriprep --task rest",
        "tremora bids /data/study out participant --motion-format spm",
    };
    c.run = bidsApp;
    return c;
}

} // namespace tool
