// tremora bids: the runs found and their motion; the outputs, their affine,
// Snakemake's bytes; resumption after a kill; the group page of a large study;
// the sample study's validity.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "myFMR.h"
#include "nifti.h"
#include "testing.h"

namespace fs = std::filesystem;
using support::runCli;

namespace {

std::string quote(const std::string& word) { return "'" + word + "'"; }

// A shell command's exit status and standard output (standard error joined).
std::pair<int, std::string> shell(const std::string& command)
{
    const fs::path out = support::tempDir("sh") / "out";
    const int raw = std::system((command + " >" + quote(out.string()) + " 2>&1").c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, support::readFile(out)};
}

// Waits until a file holds the text (a process in the background wrote it); false after about 60 s.
bool appears(const fs::path& file, const std::string& text)
{
    for (int k = 0; k < 6000; ++k, usleep(10000))
        if (fs::exists(file) && support::readFile(file).find(text) != std::string::npos) return true;
    return false;
}

// Every file below root (relative path to contents), for byte-for-byte comparisons.
std::map<std::string, std::string> tree(const fs::path& root)
{
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) files[e.path().lexically_relative(root).string()] = support::readFile(e.path());
    return files;
}

// The sample study of one participant (two sessions, three runs each).
const fs::path& study()
{
    static const fs::path dir = [] {
        const fs::path d = support::tempDir("study") / "study";
        const auto r = runCli({"synth", "--bids", d.string(), "--participants", "1"});
        if (r.status != 0) throw std::runtime_error("synth --bids failed: " + r.err);
        return d;
    }();
    return dir;
}

// The participant level of that study, run once, as the reference.
const fs::path& reference()
{
    static const fs::path out = [] {
        const fs::path o = support::tempDir("reference") / "out";
        const auto r = runCli({"bids", study().string(), o.string(), "participant", "--jobs", "2"});
        if (r.status != 0) throw std::runtime_error("tremora bids failed: " + r.out + r.err);
        return o;
    }();
    return out;
}

// The files that are in one tree only or differ between them.
std::vector<std::string> differences(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b)
{
    std::vector<std::string> names;
    for (const auto& [name, bytes] : a) if (!b.count(name) || b.at(name) != bytes) names.push_back(name);
    for (const auto& [name, bytes] : b) if (!a.count(name)) names.push_back(name);
    return names;
}

} // namespace

TEST(Bids, DiscoveryPairsEachRunWithItsMotion)
{
    // Empty files (discovery reads only names), the options, and per run: its inputs or why it is skipped.
    struct Case {
        std::string name;
        std::vector<std::string> files, options;
        std::vector<std::vector<std::string>> expected; // run, inputs or "skipped: <text>"
    };
    const std::string d = "derivatives/fmriprep/", r1 = "sub-01_ses-1_task-rest_run-", r2 = "sub-01_ses-2_task-rest_run-";
    const std::string f1 = "sub-01/ses-1/func/" + r1, f2 = "sub-01/ses-2/func/" + r2, n = "fmriprep/sub-02/func/sub-02_task-nback";
    const std::vector<Case> cases = {
        {"sessions, runs, derivatives inside, stray files",
         {f1 + "01_bold.nii.gz", f1 + "01_events.tsv", f1 + "01_sbref.nii.gz", "sub-01/ses-1/func/.DS_Store", f2 + "2_bold.nii", "sub-01/anat/sub-01_T1w.nii.gz",
          d + f1 + "1_desc-confounds_timeseries.tsv", d + f1 + "1_desc-coreg_boldref.nii.gz", d + f1 + "1_desc-hmc_boldref.nii.gz",
          d + f1 + "1_space-MNI152NLin2009cAsym_boldref.nii.gz", d + f2 + "2_desc-confounds_regressors.tsv", d + f2 + "3_desc-confounds_timeseries.tsv"},
         {},
         {{r1 + "01", r1 + "01_bold.nii.gz", r1 + "1_desc-confounds_timeseries.tsv", r1 + "1_desc-hmc_boldref.nii.gz"},
          {r2 + "2", r2 + "2_bold.nii", r2 + "2_desc-confounds_regressors.tsv"}}},
        {"derivatives elsewhere, in fMRIPrep's older fmriprep/ folder; a run without motion; a misplaced run",
         {"sub-02/func/sub-02_task-nback_bold.nii.gz", "sub-02/func/sub-02_task-rest_bold.nii.gz", "sub-02/func/sub-03_task-rest_bold.nii.gz",
          "elsewhere/" + n + "_desc-confounds_timeseries.tsv", "elsewhere/" + n + "_boldref.nii.gz",
          d + "sub-02/func/sub-02_task-rest_desc-confounds_timeseries.tsv"}, // not used when other derivatives are given
         {"--derivatives", "{root}/elsewhere"},
         {{"sub-02_task-nback", "sub-02_task-nback_bold.nii.gz", "sub-02_task-nback_desc-confounds_timeseries.tsv", "sub-02_task-nback_boldref.nii.gz"},
          {"sub-02_task-rest", "skipped: no motion estimates: no sub-02_task-rest_desc-confounds_timeseries.tsv"},
          {"sub-03_task-rest", "skipped: its name does not match its folder sub-02/func"}}},
        {"SPM motion beside the runs; two files for one run",
         {"sub-01/func/sub-01_task-rest_run-1_bold.nii.gz", "sub-01/func/rp_sub-01_task-rest_run-1_bold.txt",
          "sub-01/func/rp_sub-01_task-rest_run-2_bold.txt", "sub-01/func/sub-01_task-rest_run-2_bold.nii.gz",
          d + "sub-01/func/rp_sub-01_task-rest_run-2_bold.txt"},
         {"--motion-format", "spm"},
         {{"sub-01_task-rest_run-1", "sub-01_task-rest_run-1_bold.nii.gz", "rp_sub-01_task-rest_run-1_bold.txt"},
          {"sub-01_task-rest_run-2", "skipped: several SPM motion files of its entities"}}},
        {"FSL motion beside the run", {"sub-01/func/sub-01_task-a_run-1_bold.nii.gz", "sub-01/func/sub-01_task-a_run-1_bold_mcf.par"}, {"--motion-format", "fsl"},
         {{"sub-01_task-a_run-1", "sub-01_task-a_run-1_bold.nii.gz", "sub-01_task-a_run-1_bold_mcf.par"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path root = support::tempDir("layout");
        for (const auto& f : c.files) {
            fs::create_directories((root / f).parent_path());
            support::writeFile(root / f, "");
        }
        std::vector<std::string> args = {"bids", root.string(), (root / "derivatives/tremora").string(), "participant", "--list"};
        for (auto o : c.options) args.push_back(o == "{root}/elsewhere" ? (root / "elsewhere").string() : o);
        const auto r = runCli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const auto rows = support::tsvRows(r.out);
        ASSERT_EQ(rows.size(), c.expected.size() + 1) << r.out;
        for (std::size_t k = 0; k < c.expected.size(); ++k) {
            const auto& [row, want] = std::tie(rows[k + 1], c.expected[k]);
            ASSERT_EQ(row.size(), 5u) << r.out;
            std::vector<std::string> found = {row[1]};
            std::istringstream in(row[3]);
            for (std::string p; row[4] == "ok" && std::getline(in, p, ',');) found.push_back(fs::path(p).filename().string());
            if (row[4] != "ok") found.push_back(want[1].rfind("skipped: ", 0) == 0 && row[4].find(want[1].substr(9)) != std::string::npos ? want[1] : row[4]);
            EXPECT_EQ(found, want);
        }
    }
}

// A study of many participants is read on several threads: the runs come
// out in the participants' order all the same, and a link counts as the file
// it leads to: a run whose file is a broken link is listed as skipped, with why.
TEST(Bids, DiscoveryOfManyParticipantsKeepsTheirOrderAndFollowsLinks)
{
    const fs::path root = support::tempDir("many");
    const auto label = [](int p) { return "sub-" + std::string(p < 10 ? "00" : p < 100 ? "0" : "") + std::to_string(p); };
    support::writeFile(root / "elsewhere.nii.gz", "");
    for (int p = 130; p >= 1; --p) {
        const std::string sub = label(p), bold = sub + "/func/" + sub + "_task-rest_bold.nii.gz",
                          table = "derivatives/fmriprep/" + sub + "/func/" + sub + "_task-rest_desc-confounds_timeseries.tsv";
        fs::create_directories((root / bold).parent_path());
        fs::create_directories((root / table).parent_path());
        if (p == 7) fs::create_symlink(root / "elsewhere.nii.gz", root / bold);
        else if (p == 100) fs::create_symlink(root / "nowhere.nii.gz", root / bold);
        else support::writeFile(root / bold, "");
        if (p == 77) fs::create_symlink(root / "nowhere.tsv", root / table);
        else support::writeFile(root / table, "");
    }
    const auto r = runCli({"bids", root.string(), (root / "derivatives/tremora").string(), "participant", "--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = support::tsvRows(r.out);
    std::vector<std::string> want = {"participant_id run status"}, got;
    for (int p = 1; p <= 130; ++p)
        want.push_back(label(p) + " " + label(p) + "_task-rest " + (p == 77 ? "no motion estimates" : p == 100 ? "leads to no file" : "ok"));
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 5u) << r.out;
        const std::string status = row[4].rfind("no motion estimates", 0) == 0                     ? "no motion estimates"
                                   : row[4].find("a link that leads to no file") != std::string::npos ? "leads to no file"
                                                                                                     : row[4];
        got.push_back(row[0] + " " + row[1] + " " + status);
    }
    EXPECT_EQ(got, want);
}

TEST(Bids, OutputsCarryTheRunsAffineASecondCallDoesNothingAndSnakemakeGivesTheSameBytes)
{
    const fs::path out = reference();
    const fs::path func = out / "sub-01" / "ses-1" / "func";
    const std::string stem = "sub-01_ses-1_task-rest";
    std::vector<std::string> names;
    for (const auto& [name, bytes] : tree(func))
        if (name.rfind(stem + "_", 0) == 0) names.push_back(name);
    std::vector<std::string> expected = {stem + "_desc-confounds_timeseries.json", stem + "_desc-confounds_timeseries.tsv"};
    for (const char* map : {"maxabs", "maxabsx", "maxabsy", "maxabsz", "maxrel", "meanabs", "meanrel"})
        for (const char* ext : {".json", ".nii.gz"}) expected.push_back(stem + "_desc-" + map + "_displacement" + ext);
    expected.insert(expected.end(), {stem + "_desc-motion_report.html", stem + "_desc-tremora_provenance.json", stem + "_desc-tremora_status.json"});
    EXPECT_EQ(names, expected);
    // (The dataset description and the work folder's removal are in the golden tier.)
    // The report names its inputs as the dataset does, not by the work files or the machine's paths.
    const std::string report = support::readFile(func / (stem + "_desc-motion_report.html"));
    EXPECT_NE(report.find("Run: bids:raw:sub-01/ses-1/func/" + stem + "_bold.nii.gz ("), std::string::npos);
    EXPECT_NE(report.find("Motion: bids:derivatives:sub-01/ses-1/func/" + stem + "_desc-confounds_timeseries.tsv ("), std::string::npos);
    for (const std::string& path : {study().string(), out.string(), std::string(".fmr"), std::string("_3DMC.sdm")})
        EXPECT_EQ(report.find(path), std::string::npos) << path;

    // Every map lies on the run: nibabel reads the same sform and qform, with their codes.
    support::writeFile(out.parent_path() / "check.py",
        "import nibabel as nib, numpy as np, sys\n"
        "a = nib.load(sys.argv[1]).header\n"
        "for m in sys.argv[2:]:\n"
        "    h = nib.load(m).header\n"
        "    assert np.array_equal(a.get_sform(), h.get_sform()) and np.array_equal(a.get_qform(), h.get_qform()), m\n"
        "    assert a['sform_code'] == h['sform_code'] and a['qform_code'] == h['qform_code'], m\n"
        "    assert not np.allclose(a.get_sform()[:3, :3], np.diag(np.diag(a.get_sform())[:3])), 'a tilted grid'\n"
        "print('same affine', len(sys.argv) - 2)\n");
    std::string command = "/usr/bin/python3 " + quote((out.parent_path() / "check.py").string()) + " " +
                          quote((study() / "sub-01" / "ses-1" / "func" / (stem + "_bold.nii.gz")).string());
    for (const auto& n : names) command += n.ends_with(".nii.gz") ? " " + quote((func / n).string()) : "";
    const auto [status, text] = shell(command);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("same affine 7"), std::string::npos) << text;

    // A client that picks fMRIPrep's columns by name gets fMRIPrep's cells from
    // our table, in fMRIPrep's order, and every entry of its sidecar.
    support::writeFile(out.parent_path() / "client.py",
        "import csv, json, sys\n"
        "def table(p):\n"
        "    rows = list(csv.reader(open(p, newline=''), delimiter='\\t'))\n"
        "    return rows[0], {h: [r[i] for r in rows[1:]] for i, h in enumerate(rows[0])}\n"
        "names, theirs = table(sys.argv[1] + '.tsv')\n"
        "ours_names, ours = table(sys.argv[2] + '.tsv')\n"
        "assert ours_names[:len(names)] == names\n"
        "for n in names: assert ours[n] == theirs[n], n\n"
        "a, b = json.load(open(sys.argv[1] + '.json')), json.load(open(sys.argv[2] + '.json'))\n"
        "for k in a: assert b[k] == a[k], k\n"
        "print('carried', len(names), 'columns and', len(a), 'entries')\n");
    const fs::path fmriprep = study() / "derivatives/fmriprep/sub-01/ses-1/func" / (stem + "_desc-confounds_timeseries");
    const auto [clientStatus, clientText] = shell("/usr/bin/python3 " + quote((out.parent_path() / "client.py").string()) + " " +
                                                  quote(fmriprep.string()) + " " + quote((func / (stem + "_desc-confounds_timeseries")).string()));
    EXPECT_EQ(clientStatus, 0) << clientText;
    EXPECT_NE(clientText.find("carried 59 columns"), std::string::npos) << clientText;

    // The second call finds every run up to date and writes nothing.
    const auto before = tree(out);
    const fs::path map = func / (stem + "_desc-maxabs_displacement.nii.gz");
    const auto time = fs::last_write_time(map);
    const auto again = runCli({"bids", study().string(), out.string(), "participant"});
    EXPECT_NE(again.out.find("0 runs done, 6 up to date"), std::string::npos) << again.out << again.err;
    EXPECT_EQ(differences(tree(out), before), std::vector<std::string>{});
    EXPECT_EQ(fs::last_write_time(map), time);

    // The group page links every run's page; Snakemake's run of the workflow gives the same bytes.
    ASSERT_EQ(shell("command -v snakemake").first, 0) << "snakemake is missing: make deps installs it";
    ASSERT_EQ(runCli({"bids", study().string(), out.string(), "group"}).status, 0);
    const std::string html = support::readFile(out / "group_report.html");
    for (const auto& [name, bytes] : tree(out))
        if (name.ends_with("_desc-motion_report.html")) EXPECT_NE(html.find("href=\"" + name + "\""), std::string::npos) << "no link to " << name;
    EXPECT_EQ(html.find("<script"), std::string::npos);
    const fs::path snakemake = out.parent_path() / "snakemake";
    fs::create_directories(snakemake / "wd");
    const auto [snakeStatus, log] = shell("cd " + quote((snakemake / "wd").string()) + " && snakemake -s " +
                                          quote(std::string(TREMORA_SOURCE_DIR) + "/workflow/Snakefile") + " -j 2 --config " +
                                          quote("bids_dir=" + study().string()) + " " + quote("output_dir=" + (snakemake / "out").string()) + " " +
                                          quote(std::string("tremora=") + TREMORA_CLI_PATH) + " per=run");
    ASSERT_EQ(snakeStatus, 0) << log;
    EXPECT_NE(log.find("8 of 8 steps (100%) done"), std::string::npos) << "six runs, the group, all" << log;
    EXPECT_EQ(differences(tree(snakemake / "out"), tree(out)), std::vector<std::string>{});
}

TEST(Bids, OutputsAreTheSameBytesWhereverTheStudyLies)
{
    // A container binds the study at /data: only the link to the raw dataset may say where it lies.
    const fs::path moved = support::tempDir("moved") / "a" / "longer" / "way" / "study";
    fs::create_directories(moved.parent_path());
    fs::copy(study(), moved, fs::copy_options::recursive);
    const fs::path out = moved.parent_path() / "out";
    const auto r = runCli({"bids", moved.string(), out.string(), "participant", "--jobs", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(differences(tree(out), tree(reference())), std::vector<std::string>{"dataset_description.json"});
    const auto links = nlohmann::json::parse(support::readFile(out / "dataset_description.json"))["DatasetLinks"];
    EXPECT_EQ(links["raw"], "file://" + moved.string());
    EXPECT_EQ(links["derivatives"], "file://" + (moved / "derivatives" / "fmriprep").string());
}

TEST(Bids, ScratchSliceDataOfASixteenBitRunAreNoLargerThanItsData)
{
    // The sample's BOLD runs are 16-bit integers: their slice data stay so
    // (a float copy would be twice the run's data), and the outputs are
    // those of the reference all the same.
    const fs::path out = support::tempDir("keepwork") / "out";
    const auto r = runCli({"bids", study().string(), out.string(), "participant", "--jobs", "2", "--keep-work"});
    ASSERT_EQ(r.status, 0) << r.err;
    int runs = 0;
    for (const auto& e : fs::recursive_directory_iterator(out / "work"))
        if (e.path().extension() == ".fmr") {
            ++runs;
            FMR fmr(e.path().string(), false);
            EXPECT_EQ(fmr.DataType.value(), 1) << e.path();
            const auto values = std::uintmax_t(fmr.ResolutionX.value()) * std::uintmax_t(fmr.ResolutionY.value()) *
                                std::uintmax_t(fmr.NrOfSlices.value()) * std::uintmax_t(fmr.NrOfVolumes.value());
            EXPECT_EQ(fs::file_size(fmr.STCFileName()), values * 2) << e.path();
        }
    EXPECT_EQ(runs, 6);
    fs::remove_all(out / "work");
    EXPECT_EQ(differences(tree(out), tree(reference())), std::vector<std::string>{});
}

TEST(Bids, TouchedInputsAndOptionsRedoTheirRunsAndAKilledCallIsRedone)
{
    const fs::path out = support::tempDir("resume") / "out";
    fs::copy(reference(), out, fs::copy_options::recursive);
    const auto expected = tree(out);
    const std::string participant = study().string();
    // Each call's summary: a touched input redoes its run; another spike threshold the runs asked for.
    const auto call = [&](std::vector<std::string> extra, const std::vector<std::string>& says) {
        std::vector<std::string> args = {"bids", participant, out.string(), "participant", "--jobs", "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto r = runCli(args);
        EXPECT_EQ(r.status, 0) << r.err;
        for (const auto& text : says) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    };
    fs::last_write_time(study() / "derivatives/fmriprep/sub-01/ses-2/func/sub-01_ses-2_task-motor_run-1_desc-hmc_boldref.nii.gz",
                        fs::file_time_type::clock::now());
    call({}, {"sub-01_ses-2_task-motor_run-1: done", "1 run done, 5 up to date"});
    call({"--spike-threshold", "0.3", "--task", "rest"}, {"2 runs done, 0 up to date"});
    call({}, {"2 runs done, 4 up to date"});
    EXPECT_EQ(differences(tree(out), expected), std::vector<std::string>{}) << "the same options give the same bytes";

    // A call killed (with its process group) once its first run is done leaves
    // no run that looks complete unless it is; the next call redoes the others.
    const fs::path log = support::tempDir("killed") / "log";
    const auto killed = shell("(setsid " + quote(TREMORA_CLI_PATH) + " bids " + quote(participant) + " " + quote(out.string()) +
                              " participant --force --jobs 1 >" + quote(log.string()) + " 2>&1 & pid=$!; while kill -0 $pid 2>/dev/null && ! grep -q ': done' " +
                              quote(log.string()) + "; do sleep 0.005; done; kill -9 -$pid; wait $pid)");
    EXPECT_NE(killed.first, 0) << "the call ran to its end before it was killed";
    std::size_t complete = 0;
    const auto left = tree(out);
    for (const auto& [record, bytes] : left) {
        const auto at = record.find("_desc-tremora_provenance.json");
        if (at == std::string::npos) continue;
        ++complete;
        for (const auto& [name, content] : expected)
            if (name.rfind(record.substr(0, at) + "_", 0) == 0 && !name.ends_with("_status.json")) EXPECT_TRUE(left.count(name) && left.at(name) == content) << name;
    }
    // (Runs the call had not reached keep their earlier, complete outputs.)
    const auto group = runCli({"bids", participant, out.string(), "group"});
    EXPECT_EQ(group.status, complete < 6 ? 1 : 0) << "runs the killed call left undone make the group level fail";
    if (complete < 6) EXPECT_NE(group.err.find(std::to_string(6 - complete) + " interrupted"), std::string::npos) << group.err;
    if (complete > 0) {
        std::size_t done = 0, rows = 0;
        for (const auto& row : support::tsvRows(support::readFile(out / "group_motion.tsv")))
            done += std::find(row.begin(), row.end(), "done") != row.end(), ++rows;
        EXPECT_EQ(done, complete) << "only complete runs are done";
        EXPECT_EQ(rows, 7u) << "the others are listed as interrupted";
    }
    call({}, {std::to_string(6 - complete) + " run" + (6 - complete == 1 ? "" : "s") + " done, " + std::to_string(complete) + " up to date"});
    auto after = tree(out);
    after.erase("group_motion.tsv"), after.erase("group_motion.json"), after.erase("group_report.html");
    EXPECT_EQ(differences(after, expected), std::vector<std::string>{});
}

TEST(Bids, EveryRunIsAccountedForWithItsStatusAndALockedRunIsWaitedFor)
{
    // A study whose six runs end every way: one fails (a confounds table that
    // is no table), one has no motion, one is made with another spike
    // threshold, one is interrupted (started, never finished), one is being
    // processed by another call (its lock held here), one is done.
    const fs::path root = support::tempDir("accounting"), bids = root / "study", out = root / "out";
    fs::copy(study(), bids, fs::copy_options::recursive);
    const fs::path fmriprep = bids / "derivatives/fmriprep/sub-01";
    const std::string failed = "sub-01_ses-2_task-motor_run-2", noMotion = "sub-01_ses-2_task-rest", other = "sub-01_ses-1_task-motor_run-1",
                      interrupted = "sub-01_ses-1_task-motor_run-2", busy = "sub-01_ses-1_task-rest", done = "sub-01_ses-2_task-motor_run-1";
    support::writeFile(fmriprep / "ses-2/func" / (failed + "_desc-confounds_timeseries.tsv"), "no table\n");
    fs::remove(fmriprep / "ses-2/func" / (noMotion + "_desc-confounds_timeseries.tsv"));
    // A boldref of one intensity on the run's grid: it has no centre of gravity,
    // so the done run is done with warnings.
    const fs::path boldref = fmriprep / "ses-2/func" / (done + "_desc-hmc_boldref.nii.gz");
    ASSERT_EQ(shell("/usr/bin/python3 -c \"import nibabel as n, numpy as np, sys; i = n.load(sys.argv[1]); "
                    "n.save(n.Nifti1Image(np.full(i.shape, 100, np.float32), None, i.header), sys.argv[1])\" " + quote(boldref.string())).first, 0);
    const auto participant = runCli({"bids", bids.string(), out.string(), "participant", "--jobs", "2"});
    EXPECT_NE(participant.err.find("warning: " + done + ": the reference holds the same value"), std::string::npos) << participant.err;
    EXPECT_EQ(participant.status, 1) << "a run failed";
    const std::string log = (out / "work" / failed / "tremora.log").string();
    EXPECT_NE(participant.out.find(failed + ": failed: "), std::string::npos) << participant.out;
    EXPECT_NE(participant.out.find("(log: " + log + ")"), std::string::npos) << participant.out;
    EXPECT_TRUE(fs::exists(log)) << "the log the message names is kept";
    EXPECT_NE(participant.out.find("[4 done, 1 failed, 1 skipped, 0 up to date, 0 left"), std::string::npos) << participant.out;
    ASSERT_EQ(runCli({"bids", bids.string(), out.string(), "participant", "--bold", other, "--spike-threshold", "0.3"}).status, 0);
    fs::remove(out / "sub-01/ses-1/func" / (interrupted + "_desc-tremora_provenance.json"));
    support::writeFile(out / "sub-01/ses-1/func" / (interrupted + "_desc-tremora_status.json"), "{\"Status\": \"started\"}\n");

    const fs::path lockFile = out / "work" / (busy + ".lock");
    fs::create_directories(lockFile.parent_path());
    const int lock = open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_TRUE(lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) == 0);
    const auto group = runCli({"bids", bids.string(), out.string(), "group"});
    EXPECT_EQ(group.status, 1) << group.err;
    EXPECT_NE(group.err.find("6 runs: 2 done, 1 failed, 1 interrupted, 1 in progress, 1 skipped"), std::string::npos) << group.err;
    EXPECT_NE(group.err.find("warning: the runs were made with different options: spike_threshold: 0.3 (1 run), 0.5 (1 run)"),
              std::string::npos) << group.err;
    const auto rows = support::tsvRows(support::readFile(out / "group_motion.tsv"));
    ASSERT_EQ(rows.size(), 7u);
    std::map<std::string, std::vector<std::string>> byRun; // run: status, spike_threshold, note
    const auto column = [&](const std::string& name) { return std::size_t(std::find(rows[0].begin(), rows[0].end(), name) - rows[0].begin()); };
    for (std::size_t k = 1; k < rows.size(); ++k) {
        const auto& r = rows[k];
        ASSERT_EQ(r.size(), rows[0].size());
        const std::string stem = r[0] + "_" + r[1] + "_task-" + r[2] + (r[3] == "n/a" ? "" : "_run-" + r[3]);
        byRun[stem] = {r[column("status")], r[column("spike_threshold")], r[column("note")]};
    }
    const std::map<std::string, std::vector<std::string>> expected = {
        {done, {"done", "0.5", "warning: the reference holds the same value"}},
        {other, {"done", "0.3", "n/a"}},
        {failed, {"failed", "n/a", "(log: work/" + failed + "/tremora.log)"}},
        {noMotion, {"skipped", "n/a", "no motion estimates"}},
        {interrupted, {"interrupted", "n/a", "started but not finished"}},
        {busy, {"in_progress", "n/a", "being processed by another call"}},
    };
    for (const auto& [stem, want] : expected) {
        SCOPED_TRACE(stem);
        ASSERT_TRUE(byRun.count(stem));
        const auto& got = byRun[stem];
        EXPECT_EQ(got[0], want[0]);
        EXPECT_EQ(got[1], want[1]);
        EXPECT_NE(want[2] == "n/a" ? (got[2] == "n/a" ? 0 : std::string::npos) : got[2].find(want[2]), std::string::npos) << got[2];
    }
    const std::string html = support::readFile(out / "group_report.html");
    for (const char* text : {"id=\"not-done\"", "<td>in_progress</td>", "<td>interrupted</td>", "<td>failed</td>", "<td>skipped</td>",
                             "id=\"mixed-options\"", "spike_threshold: 0.3 (1 run), 0.5 (1 run)"})
        EXPECT_NE(html.find(text), std::string::npos) << text;

    // Another call waits for the locked run instead of failing it, and does it once the lock is free.
    const fs::path log2 = root / "second.log", rc = root / "second.rc";
    shell("(" + quote(TREMORA_CLI_PATH) + " bids " + quote(bids.string()) + " " + quote(out.string()) + " participant --force --bold " +
          busy + " >" + quote(log2.string()) + " 2>&1; echo $? >" + quote(rc.string()) + ") &");
    EXPECT_TRUE(appears(log2, busy + ": in progress in another call on " + out.string() + "; waiting for it"));
    close(lock);
    ASSERT_TRUE(appears(rc, "\n"));
    EXPECT_EQ(support::readFile(rc), "0\n") << support::readFile(log2);
    EXPECT_NE(support::readFile(log2).find(busy + ": done ["), std::string::npos) << support::readFile(log2);
    const auto accepted = runCli({"bids", bids.string(), out.string(), "group", "--allow-incomplete"});
    EXPECT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_NE(accepted.err.find("6 runs: 3 done, 1 failed, 1 interrupted, 1 skipped (group_motion.tsv lists each with a note); "
                                "accepted (--allow-incomplete)"), std::string::npos) << accepted.err;
    // Without the failed run, the interrupted one alone makes the group level fail.
    fs::remove_all(out / "work" / failed);
    fs::remove(out / "sub-01/ses-2/func" / (failed + "_desc-tremora_status.json"));
    const auto interruptedOnly = runCli({"bids", bids.string(), out.string(), "group"});
    EXPECT_EQ(interruptedOnly.status, 1);
    EXPECT_NE(interruptedOnly.err.find("5 runs: 3 done, 1 interrupted, 1 skipped"), std::string::npos) << interruptedOnly.err;
}

TEST(Bids, GroupPageOfALargeStudyListsTheRunsBeyondTheCriteriaAndLeavesEveryRunToTheTable)
{
    // The sample's six runs as a small study, and under 100 participants' names (600 runs, links to the same outputs) as a large one.
    const fs::path root = support::tempDir("large");
    const fs::path small = root / "small", large = root / "large";
    fs::copy(reference(), small, fs::copy_options::recursive);
    for (int p = 1; p <= 100; ++p) {
        const std::string label = "sub-" + std::string(p < 10 ? "00" : p < 100 ? "0" : "") + std::to_string(p);
        for (const auto& e : fs::recursive_directory_iterator(reference() / "sub-01")) {
            if (!e.is_regular_file()) continue;
            std::string rel = e.path().lexically_relative(reference()).string();
            for (std::size_t at = rel.find("sub-01"); at != std::string::npos; at = rel.find("sub-01", at + label.size()))
                rel.replace(at, 6, label);
            fs::create_directories((large / rel).parent_path());
            fs::create_symlink(e.path(), large / rel);
        }
    }
    // A criterion between the fourth and fifth smallest mean FD of the six runs puts two of them beyond it.
    ASSERT_EQ(runCli({"bids", study().string(), small.string(), "group"}).status, 0);
    const auto smallRows = support::tsvRows(support::readFile(small / "group_motion.tsv"));
    ASSERT_EQ(smallRows.size(), 7u);
    const auto column = std::find(smallRows[0].begin(), smallRows[0].end(), "mean_fd") - smallRows[0].begin();
    std::vector<std::pair<double, std::string>> byFD;
    for (std::size_t k = 1; k < smallRows.size(); ++k) {
        std::string stem;
        for (std::size_t c = 0; c < smallRows[k].size() && smallRows[0][c] != "status"; ++c) {
            const std::string& key = smallRows[0][c];
            const std::string& value = smallRows[k][c];
            if (value == "n/a") continue;
            stem += (stem.empty() ? "" : "_") + (key == "participant_id" || key == "session_id" ? value : key + "-" + value);
        }
        byFD.emplace_back(std::stod(smallRows[k][std::size_t(column)]), stem);
    }
    std::sort(byFD.begin(), byFD.end());
    ASSERT_LT(byFD[3].first, byFD[4].first);
    const std::string criterion = std::to_string((byFD[3].first + byFD[4].first) / 2);
    const std::vector<std::string> options = {"group", "--exclude-mean-fd", criterion, "--exclude-spike-share", "1"};
    const auto group = [&](const fs::path& out) {
        std::vector<std::string> args = {"bids", study().string(), out.string()};
        args.insert(args.end(), options.begin(), options.end());
        const auto r = runCli(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return support::readFile(out / "group_report.html");
    };
    const auto count = [](const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };

    // The small study's page lists every run; the large one's the 200 beyond the criterion, and says where the others are.
    const std::string smallPage = group(small), largePage = group(large);
    EXPECT_NE(smallPage.find("<table id=\"runs\">"), std::string::npos);
    EXPECT_EQ(smallPage.find("id=\"every-run-in-table\""), std::string::npos);
    EXPECT_EQ(largePage.find("<table id=\"runs\">"), std::string::npos);
    EXPECT_NE(largePage.find("<p>600 runs done; 200 beyond the criteria"), std::string::npos);
    EXPECT_NE(largePage.find("id=\"summary\""), std::string::npos);
    EXPECT_NE(largePage.find("id=\"every-run-in-table\""), std::string::npos);
    const auto table = [](const std::string& page, const std::string& id) {
        const std::size_t at = page.find("<table id=\"" + id + "\">");
        return at == std::string::npos ? std::string() : page.substr(at, page.find("</table>", at) - at);
    };
    const std::string everyRun = table(smallPage, "runs"), beyond = table(largePage, "excluded");
    for (std::size_t k = 0; k < 6; ++k) {
        SCOPED_TRACE(byFD[k].second);
        const std::string link = byFD[k].second.substr(std::string("sub-01").size()) + "_desc-motion_report.html\">";
        EXPECT_EQ(count(everyRun, link), 1u);
        // Beyond the criterion: in the table of such runs, under each participant's name; the others nowhere on the page
        // (the carpets shown are of the copies of the run of the highest mean FD).
        EXPECT_EQ(count(beyond, link), k >= 4 ? 100u : 0u);
        if (k < 4) EXPECT_EQ(count(largePage, link), 0u);
    }
    EXPECT_EQ(count(beyond, "<tr><td><a href="), 200u);
    // The table holds every run, as the small study's does.
    const auto largeRows = support::tsvRows(support::readFile(large / "group_motion.tsv"));
    ASSERT_EQ(largeRows.size(), 601u);
    const auto exclude = std::find(largeRows[0].begin(), largeRows[0].end(), "exclude") - largeRows[0].begin();
    std::size_t excluded = 0;
    for (std::size_t k = 1; k < largeRows.size(); ++k) excluded += largeRows[k][std::size_t(exclude)] == "1";
    EXPECT_EQ(excluded, 200u);
}

TEST(Bids, SampleStudyPassesTheBidsValidator)
{
    const std::string validator = std::string(TREMORA_SOURCE_DIR) + "/tests/validator/node_modules/.bin/bids-validator";
    ASSERT_TRUE(fs::exists(validator)) << "the BIDS validator is missing: make deps-validator installs it";
    const auto [status, text] = shell(quote(validator) + " " + quote(study().string()));
    EXPECT_EQ(status, 0) << text;
    EXPECT_EQ(text.find("[ERR]"), std::string::npos) << text;
    EXPECT_NE(text.find("1 - Subject"), std::string::npos) << text;
}
