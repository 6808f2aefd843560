// The tremora program under bad use. Every subcommand is given, in each of
// the places where it takes a file or a folder, a path that does not exist, a
// path through a file, a folder, a pipe, a file it cannot parse and a path
// longer than the host's 512-byte buffers; and non-numeric numbers, unknown
// options and options without their value. Each must end in exactly one line
// on standard error that names the option or the path, with exit status 2 for
// bad use and 1 for work that could not be done: never a crash, never a wait.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "nifti.h"
#include "testing.h"

namespace fs = std::filesystem;

namespace {

// A program that waits for a pipe instead of refusing it is stopped after this
// many seconds (a healthy run of these small inputs takes well under one).
constexpr int TimeLimit = 30;

// The files the cases need, made once: a valid synthetic run, a NIfTI run
// with its FSL motion, and the bad things.
struct Files {
    fs::path dir;
    std::map<std::string, std::string> good; // placeholder -> a path that works
};

const Files& files()
{
    static const Files f = [] {
        Files made;
        made.dir = support::tempDir("baduse");
        const fs::path ok = made.dir / "ok";
        const auto synth =
            support::runCli({"synth", "--out", ok.string(), "--dims", "4", "4", "2", "--volumes", "8", "--task-sdm"});
        if (synth.status != 0) throw std::runtime_error("cannot make the test run: " + synth.err);
        made.good = {{"{run}", (ok / "synth.fmr").string()},
                     {"{motion}", (ok / "synth_3DMC.sdm").string()},
                     {"{task}", (ok / "synth_task.sdm").string()},
                     {"{plots}", (made.dir / "plots").string()},
                     {"{out}", (made.dir / "out").string()},
                     {"{plugin}", TREMORA_PLUGIN_PATH},
                     {"{bold}", (made.dir / "bold.nii").string()},
                     {"{par}", (made.dir / "mc.par").string()},
                     {"{imported}", (made.dir / "imported").string()},
                     {"{report}", (made.dir / "report.html").string()},
                     {"{result}", (made.dir / "result.tsv").string()},
                     {"{summary}", (made.dir / "summary.tsv").string()},
                     {"{rundir}", ok.string()}};
        support::NiftiLayout bold;
        bold.dims = {4, 4, 2, 8};
        bold.pixdim = {3, 3, 3, 2};
        support::writeNifti(made.good.at("{bold}"), bold, std::vector<double>(4 * 4 * 2 * 8, 100.0));
        std::string rows;
        for (int v = 0; v < 8; ++v) rows += "0 0 0 0 0 0\n";
        support::writeFile(made.good.at("{par}"), rows);
        fs::create_directories(made.dir / "folder.sdm");
        fs::create_directories(made.dir / "folder.fmr");
        fs::create_directories(made.dir / "folder.nii");
        fs::create_directories(made.dir / "folder.par");
        fs::create_directories(made.dir / "norun");
        fs::create_directories(made.dir / "brokenrun");
        support::writeFile(made.dir / "brokenrun" / "r.fmr", "no run document here\n");
        support::writeFile(made.dir / "brokenrun" / "r_3DMC.sdm", support::readFile(ok / "synth_3DMC.sdm"));
        support::writeFile(made.dir / "afile", "a file, not a folder\n");
        support::writeFile(made.dir / "garbage.sdm", "no design matrix here\n");
        support::writeFile(made.dir / "garbage.fmr", "no run document here\n");
        support::writeFile(made.dir / "garbage.so", "no library here\n");
        support::writeFile(made.dir / "garbage.nii", "no image here\n");
        support::writeFile(made.dir / "garbage.par", "no motion here\n");
        support::writeFile(made.dir / "motion.txt", support::readFile(ok / "synth_3DMC.sdm"));
        for (const char* pipe : {"pipe.sdm", "pipe.fmr", "pipe.nii", "pipe.par"})
            if (::mkfifo((made.dir / pipe).c_str(), 0666) != 0) throw std::runtime_error("cannot make a pipe");
        return made;
    }();
    return f;
}

// A path of exactly length bytes below dir, in folder names of 100 bytes: a
// path the system takes, but longer than the host's buffers.
std::string longPath(const fs::path& dir, std::size_t length, const std::string& extension)
{
    std::string path = dir.string();
    while (path.size() + 101 + extension.size() < length) path += "/" + std::string(100, 'd');
    path += "/" + std::string(length - path.size() - 1 - extension.size(), 'n') + extension;
    return path;
}

// How a path option is used.
enum class Kind {
    Motion,  // an SDM or MDM of motion parameters
    Sdm,     // another SDM (task design, confound set)
    Run,     // an FMR document the command checks
    RawRun,  // an FMR document `run` hands to the host as it is
    Library, // the plug-in
    Folder,  // a folder the command writes into
    Output,  // a file the command writes
    Nifti,   // a NIfTI run to import
    Table,   // another package's motion file
    RunDir,  // the run folder `process` works on; a failure is its summary row
    RunDirs, // the run folders of `batch`, checked before any run starts
};

struct Slot {
    std::string label;       // the option, or the positional's name
    std::string placeholder; // its word in the command line
    Kind kind;
};

struct Command {
    std::vector<std::string> words; // placeholders stand for good paths
    std::vector<Slot> slots;
};

const std::vector<Command>& commands()
{
    static const std::vector<Command> all = {
        {{"select", "--fmr", "{run}", "{motion}"}, {{"--fmr", "{run}", Kind::Run}, {"MOTION", "{motion}", Kind::Motion}}},
        {{"confound", "--sdm", "{motion}", "--fmr", "{run}", "--sets", "detr", "--plots", "{plots}"},
         {{"--sdm", "{motion}", Kind::Motion}, {"--fmr", "{run}", Kind::Run}, {"--plots", "{plots}", Kind::Folder}}},
        {{"displacement", "--sdm", "{motion}", "--fmr", "{run}", "--threshold", "1", "--maps", "max-abs", "--plots", "{plots}"},
         {{"--sdm", "{motion}", Kind::Motion}, {"--fmr", "{run}", Kind::Run}, {"--plots", "{plots}", Kind::Folder}}},
        {{"analyze", "--fmr", "{run}", "--task-sdm", "{task}", "{motion}"},
         {{"--fmr", "{run}", Kind::Run}, {"--task-sdm", "{task}", Kind::Sdm}, {"CONFOUND.sdm", "{motion}", Kind::Sdm}}},
        {{"run", "confound", "--fmr", "{run}", "--param", "create_detrended=0", "--plots", "{plots}", "--plugin", "{plugin}"},
         {{"--fmr", "{run}", Kind::RawRun}, {"--plots", "{plots}", Kind::Folder}, {"--plugin", "{plugin}", Kind::Library}}},
        {{"synth", "--out", "{out}", "--dims", "4", "4", "2", "--volumes", "8"}, {{"--out", "{out}", Kind::Folder}}},
        {{"confound", "--sdm", "{motion}", "--sets", "detr,spikes", "--tsv", "--censor-before", "1", "--censor-after", "1", "--radius-fd", "40"},
         {{"--sdm", "{motion}", Kind::Motion}}},
        {{"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}", "--spike-threshold", "0.3", "--radius-fd", "40",
          "--fd-threshold", "0.2", "--threshold", "1", "--title", "bad use"},
         {{"--fmr", "{run}", Kind::Run}, {"--sdm", "{motion}", Kind::Motion}, {"--out", "{report}", Kind::Output}}},
        {{"import", "--bold", "{bold}", "--motion", "{par}", "--motion-format", "fsl", "--out", "{imported}", "--name", "run", "--tr", "2000"},
         {{"--bold", "{bold}", Kind::Nifti}, {"--motion", "{par}", Kind::Table}, {"--out", "{imported}", Kind::Folder}}},
        {{"process", "{rundir}", "--result", "{result}", "--spike-threshold", "0.5", "--plugin", "{plugin}"},
         {{"RUNDIR", "{rundir}", Kind::RunDir}, {"--result", "{result}", Kind::Output}, {"--plugin", "{plugin}", Kind::Library}}},
        {{"batch", "--jobs", "1", "{rundir}", "--summary", "{summary}", "--spike-threshold", "0.5", "--plugin", "{plugin}"},
         {{"RUNDIR", "{rundir}", Kind::RunDirs}, {"--summary", "{summary}", Kind::Output}, {"--plugin", "{plugin}", Kind::Library}}},
    };
    return all;
}

// The command's words with one placeholder given a bad path and the others good ones.
std::vector<std::string> withPath(const Command& c, const std::string& placeholder, const std::string& path)
{
    std::vector<std::string> args;
    for (const auto& w : c.words) {
        if (w == placeholder)
            args.push_back(path);
        else if (auto it = files().good.find(w); it != files().good.end())
            args.push_back(it->second);
        else
            args.push_back(w);
    }
    return args;
}

std::string joined(const std::vector<std::string>& args)
{
    std::string s = "tremora";
    for (const auto& a : args) s += " " + (a.size() > 80 ? a.substr(0, 40) + "...(" + std::to_string(a.size()) + " bytes)" : a);
    return s;
}

// One bad use: the words, the exit status it must give, and a text the one line must contain.
struct Case {
    std::vector<std::string> args;
    int status;
    std::string mentions;
};

void expectOneLineError(const Case& c)
{
    SCOPED_TRACE(joined(c.args));
    const support::CliResult r = support::runCli(c.args, "", TimeLimit);
    EXPECT_NE(r.status, 124) << "still running after " << TimeLimit << " s";
    EXPECT_EQ(r.status, c.status) << "stderr: " << r.err;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line ending in a line feed: " << r.err;
    EXPECT_NE(r.err.find(c.mentions), std::string::npos) << "names " << c.mentions << ": " << r.err;
    if (c.status == 2) EXPECT_EQ(r.out, "") << "nothing is done on bad use";
}

// The bad paths for a slot, with what the error must name.
std::vector<std::pair<std::string, std::string>> badPaths(Kind kind)
{
    const fs::path d = files().dir;
    const auto same = [](const fs::path& p) { return std::pair{p.string(), p.string()}; };
    const std::string ext = kind == Kind::Run || kind == Kind::RawRun ? ".fmr"
                            : kind == Kind::Library                  ? ".so"
                            : kind == Kind::Nifti                    ? ".nii"
                            : kind == Kind::Table                    ? ".par"
                                                                     : ".sdm";
    if (kind == Kind::Folder) return {same(d / "afile"), same(d / "afile" / "sub")};
    if (kind == Kind::Output) return {same(d / "folder.sdm"), same(d / "pipe.sdm"), same(d / "afile" / "x.sdm")};
    if (kind == Kind::RunDir || kind == Kind::RunDirs) {
        std::vector<std::pair<std::string, std::string>> bad = {same(d / "missing"), same(d / "afile"), same(d / "afile" / "sub"),
                                                                same(d / "pipe.fmr")};
        // What a folder holds is found by its run: batch has it in its summary.
        if (kind == Kind::RunDir) bad.insert(bad.end(), {same(d / "norun"), same(d / "brokenrun")});
        return bad;
    }
    std::vector<std::pair<std::string, std::string>> bad = {
        {(d / ("missing" + ext)).string(), (d / ("missing" + ext)).string()},
        {(d / "afile" / ("x" + ext)).string(), (d / "afile" / ("x" + ext)).string()},
    };
    if (kind != Kind::Library) {
        bad.push_back({(d / ("folder" + ext)).string(), (d / ("folder" + ext)).string()});
        bad.push_back({(d / ("pipe" + ext)).string(), (d / ("pipe" + ext)).string()});
    }
    // A file the reader cannot use; `run` hands any document to the host as it is.
    if (kind != Kind::RawRun) bad.push_back({(d / ("garbage" + ext)).string(), (d / ("garbage" + ext)).string()});
    if (kind == Kind::Motion) bad.push_back({(d / "motion.txt").string(), "neither an SDM (.sdm) nor an MDM (.mdm)"});
    return bad;
}

} // namespace

TEST(CliBadUse, UnusablePathsAreOneLineNamingThePathWithStatusOne)
{
    for (const Command& c : commands())
        for (const Slot& slot : c.slots)
            for (const auto& [path, mentions] : badPaths(slot.kind)) expectOneLineError({withPath(c, slot.placeholder, path), 1, mentions});
    std::vector<std::string> written;
    for (const auto& entry : fs::directory_iterator(files().dir / "ok")) written.push_back(entry.path().filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"synth.fmr", "synth.stc", "synth_3DMC.sdm", "synth_task.sdm"}))
        << "no task ran on a bad input";
    // (--result is process's summary row, written for a run folder that fails too.)
    for (const char* made : {"{plots}", "{imported}", "{report}", "{summary}"})
        EXPECT_FALSE(fs::exists(files().good.at(made))) << made << " is written only when every input is good";
}

TEST(CliBadUse, PathsLongerThanTheHostsBuffersAreRefusedNamingTheOption)
{
    const fs::path d = files().dir / "long";
    for (const Command& c : commands())
        for (const Slot& slot : c.slots) {
            const bool folder = slot.kind == Kind::Folder || slot.kind == Kind::RunDir || slot.kind == Kind::RunDirs;
            const std::string path = longPath(d, 600, folder ? "" : ".sdm");
            ASSERT_EQ(path.size(), 600u);
            expectOneLineError({withPath(c, slot.placeholder, path), 2, slot.label + ": the path is 600 bytes long"});
        }
    // The folder and the name of an imported run together make its paths.
    const auto& good = files().good;
    expectOneLineError({{"import", "--bold", good.at("{bold}"), "--motion", good.at("{par}"), "--motion-format", "fsl", "--out",
                         longPath(d, 500, ""), "--name", std::string(20, 'n')},
                        2, "--out and --name: the path is"});
    EXPECT_FALSE(fs::exists(d)) << "nothing is written under a shortened name";

    // 511 bytes fit the buffers: the path is taken and fails only for being
    // missing; 512 do not.
    const std::string fits = longPath(d, 511, ".fmr"), over = longPath(d, 512, ".fmr");
    expectOneLineError({{"run", "nothing", "--fmr", fits}, 1, fits});
    expectOneLineError({{"run", "nothing", "--fmr", over}, 2, "--fmr: the path is 512 bytes long"});
    // The host's raw parameters and dialog answers have the same buffers.
    expectOneLineError({{"run", "confound", "--param", "sdmfile=" + over}, 2, "--param sdmfile: the path is 512 bytes long"});
    expectOneLineError({{"run", "select_3dmcsdm", "--choose", over}, 2, "--choose: the path is 512 bytes long"});
    // The folder and the name of a synthetic run together make its paths.
    expectOneLineError({{"synth", "--out", longPath(d, 500, ""), "--name", std::string(20, 'n')}, 2, "--out and --name: the path is"});
}

TEST(CliBadUse, NumbersThatAreNoNumbersUnknownOptionsAndMissingValues)
{
    const auto good = [](std::vector<std::string> words) {
        for (auto& w : words)
            if (auto it = files().good.find(w); it != files().good.end()) w = it->second;
        return words;
    };
    std::vector<Case> cases = {
        {good({"confound", "--sdm", "{motion}", "--spike-threshold", "abc"}), 2, "--spike-threshold"},
        {good({"confound", "--sdm", "{motion}", "--spike-threshold", "0.5mm"}), 2, "--spike-threshold"},
        {good({"displacement", "--sdm", "{motion}", "--fmr", "{run}", "--threshold", "high"}), 2, "--threshold"},
        {good({"displacement", "--sdm", "{motion}", "--fmr", "{run}", "--threshold="}), 2, "--threshold"},
        {good({"displacement", "--sdm", "{motion}", "--fmr", "{run}", "--threshold", "nan"}), 2, "--threshold"},
        {good({"synth", "--out", "{out}", "--dims", "4", "four", "4"}), 2, "--dims"},
        {good({"synth", "--out", "{out}", "--seed", "1.5"}), 2, "--seed"},
        {good({"synth", "--out", "{out}", "--volumes", "1e3"}), 2, "--volumes"},
        {good({"run", "confound", "--host-version", "2.8.x"}), 2, "--host-version"},
        {good({"confound", "--sdm="}), 2, "--sdm"},
        {good({"confound", "--sdm", "{motion}", "--tsv", "--censor-before", "one"}), 2, "--censor-before"},
        {good({"confound", "--sdm", "{motion}", "--tsv", "--censor-after", "1.5"}), 2, "--censor-after"},
        {good({"confound", "--sdm", "{motion}", "--tsv", "--radius-fd", "50mm"}), 2, "--radius-fd"},
        {good({"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}", "--spike-threshold", "x"}), 2, "--spike-threshold"},
        {good({"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}", "--radius-fd", "inf"}), 2, "--radius-fd"},
        {good({"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}", "--fd-threshold", "0,5"}), 2, "--fd-threshold"},
        {good({"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}", "--threshold", "bright"}), 2, "--threshold"},
        {good({"import", "--bold", "{bold}", "--motion", "{par}", "--motion-format", "fsl", "--out", "{imported}", "--tr", "2s"}), 2, "--tr"},
        {good({"import", "--bold", "{bold}", "--motion", "{par}", "--motion-format", "fsl", "--out", "{imported}", "--tr", "nan"}), 2, "--tr"},
        {good({"process", "{rundir}", "--spike-threshold", "half"}), 2, "--spike-threshold"},
        {good({"batch", "{rundir}", "--jobs", "two"}), 2, "--jobs"},
        {good({"batch", "{rundir}", "--jobs", "1.5"}), 2, "--jobs"},
        // Numbers the runs would refuse only after the first steps are done.
        {good({"process", "{rundir}", "--spike-threshold", "-1"}), 2, "--spike-threshold"},
        {good({"batch", "{rundir}", "--summary", "{summary}", "--spike-threshold", "-1"}), 2, "--spike-threshold"},
    };
    // Every subcommand: an option it does not know.
    for (const Command& c : commands()) {
        std::vector<std::string> args = good(c.words);
        args.push_back("--frobnicate");
        cases.push_back({args, 2, "--frobnicate"});
    }
    // Every option that takes a value, given last without one.
    const std::vector<std::vector<std::string>> withoutValue = {
        {"select", "{motion}", "--fmr"},        {"confound", "--sdm"},
        {"confound", "--sdm", "{motion}", "--spike-threshold"}, {"confound", "--sdm", "{motion}", "--sets"},
        {"confound", "--sdm", "{motion}", "--plots"},           {"displacement", "--sdm", "{motion}", "--fmr"},
        {"displacement", "--fmr", "{run}", "--sdm", "{motion}", "--threshold"},
        {"displacement", "--fmr", "{run}", "--sdm", "{motion}", "--maps"},
        {"analyze", "--fmr", "{run}", "{motion}", "--task-sdm"}, {"run", "confound", "--param"},
        {"run", "confound", "--choose"},        {"synth", "--out"},
        {"synth", "--out", "{out}", "--dims", "4", "4"},
        {"confound", "--sdm", "{motion}", "--tsv", "--censor-before"},
        {"confound", "--sdm", "{motion}", "--tsv", "--censor-after"},
        {"confound", "--sdm", "{motion}", "--tsv", "--radius-fd"},
        {"report", "--sdm", "{motion}", "--out", "{report}", "--fmr"},
        {"report", "--fmr", "{run}", "--out", "{report}", "--sdm"},
        {"report", "--fmr", "{run}", "--sdm", "{motion}", "--out"},
        {"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}", "--spike-threshold"},
        {"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}", "--radius-fd"},
        {"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}", "--fd-threshold"},
        {"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}", "--threshold"},
        {"report", "--fmr", "{run}", "--sdm", "{motion}", "--out", "{report}", "--title"},
        {"import", "--motion", "{par}", "--motion-format", "fsl", "--out", "{imported}", "--bold"},
        {"import", "--bold", "{bold}", "--motion-format", "fsl", "--out", "{imported}", "--motion"},
        {"import", "--bold", "{bold}", "--motion", "{par}", "--out", "{imported}", "--motion-format"},
        {"import", "--bold", "{bold}", "--motion", "{par}", "--motion-format", "fsl", "--out"},
        {"import", "--bold", "{bold}", "--motion", "{par}", "--motion-format", "fsl", "--out", "{imported}", "--name"},
        {"import", "--bold", "{bold}", "--motion", "{par}", "--motion-format", "fsl", "--out", "{imported}", "--tr"},
        {"process", "{rundir}", "--result"},    {"process", "{rundir}", "--spike-threshold"},
        {"process", "{rundir}", "--plugin"},    {"batch", "{rundir}", "--jobs"},
        {"batch", "{rundir}", "--summary"},     {"batch", "{rundir}", "--spike-threshold"},
        {"batch", "{rundir}", "--plugin"},
    };
    for (const auto& words : withoutValue) {
        const std::string option = words.back() == "4" ? "--dims" : words.back();
        cases.push_back({good(words), 2, option});
    }
    for (const Case& c : cases) expectOneLineError(c);
    for (const char* made : {"{out}", "{imported}", "{report}", "{summary}"})
        EXPECT_FALSE(fs::exists(files().good.at(made))) << made << ": nothing is written on bad use";
}
